#pragma once

// The other two independent readers: pffexport (libpff's exporter) and readpst (libpst).
// Each runs into a temporary folder that is removed afterwards; what it wrote is reported
// as plain structs with SHA-256 sums of the exported files.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkfield::test {

struct ExportedFile {
  std::string name;  // file name as the exporter wrote it
  std::uint64_t size = 0;
  std::string sha256;
};

struct ExportedMessage {
  std::string dir;      // pffexport: the item's folder; readpst: the message file
  std::string subject;  // pffexport: OutlookHeaders.txt; readpst: the decoded Subject header
  // One line per recipient. pffexport: "<type>: <display name> <<email address>>" from
  // Recipients.txt; readpst: its unfolded, decoded To:/Cc:/Bcc: header lines.
  std::vector<std::string> recipient_lines;
  // pffexport only: every "Key: value" of each recipient block of Recipients.txt.
  std::vector<std::map<std::string, std::string>> recipients;
  std::vector<ExportedFile> attachments;  // attachment files (not embedded messages)
  std::vector<ExportedFile> bodies;       // pffexport: Message.txt/.html/.rtf
  // pffexport: the embedded messages under Attachments/AttachmentNNNNN/. readpst keeps
  // them inside the message file as message/rfc822 parts; only their subjects are filled.
  std::vector<ExportedMessage> embedded;
};

struct ExportedFolder {
  std::string path;  // "/" + folder names as on disk, joined by "/"
  std::vector<ExportedMessage> messages;
};

struct ExportResult {
  int exit_code = -1;
  std::string output;                   // standard output and error of the tool
  std::uint64_t skipped = 0;            // pffexport: items it reported as skipped
  std::vector<ExportedFolder> folders;  // sorted by path

  const ExportedFolder* folder(std::string_view path) const;
  std::uint64_t total_messages() const;
};

bool pffexport_available();
bool readpst_available();

// pffexport -f all: every folder (empty ones too), each item with its text files.
// Paths start below the export folder, e.g. "/Top of Personal Folders/Inbox".
ExportResult run_pffexport(const std::filesystem::path& pst);

// readpst -S (one file per message, attachments beside it). readpst names the folder of
// the IPM subtree after the store and writes folders only when they hold messages, so
// paths look like "/<store name>/Inbox".
ExportResult run_readpst(const std::filesystem::path& pst);

// Decodes RFC 2047 encoded words (UTF-8, US-ASCII, ISO-8859-1; others are left as they
// are) in a header value. Exposed for tests.
std::string decode_header_words(std::string_view value);

}  // namespace larkfield::test
