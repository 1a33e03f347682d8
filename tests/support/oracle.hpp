#pragma once

// What libpff reads back from a PST, through tests/tools/pst_oracle.py, as plain structs.
//
//   auto dump = larkfield::test::run_oracle(pst_path);
//   const auto* inbox = dump.folder("/Top of Personal Folders/Inbox");
//   EXPECT_EQ(inbox->messages, 3u);
//   const auto& m = dump.messages_in(*inbox)[0];
//   EXPECT_EQ(m->subject, "Hello");
//   EXPECT_EQ(m->property(0x0E080003)->value, "1234");
//
// Keys follow the dump: a folder path is "/" and then display names joined by "/" (a "%"
// or "/" inside a name is written %25 / %2F); a message key is "<folder path>#<row>", an
// embedded message's key is its attachment key "<message key>:a<index>".

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkfield::test {

struct OracleProperty {
  std::uint32_t tag = 0;              // 0xIIIITTTT
  std::string type;                   // "unicode", "long", "mv_binary", ...
  std::string named;                  // "{guid} lid:0x8580" or "{guid} name:x-..." or empty
  std::optional<std::uint64_t> size;  // byte size of variable-size values
  std::optional<std::string> value;   // text form; absent when the value was long
  std::string sha256;                 // set instead of value for long values
};

struct OracleBody {
  std::string kind;  // "plain", "html", "rtf"
  std::uint64_t size = 0;
  std::string sha256;
  std::optional<std::string> text;  // plain bodies up to 64 KiB
};

struct OracleRecipient {
  std::string key;
  int index = 0;
  std::optional<int> type;  // 1 To, 2 Cc, 3 Bcc
  std::string name, addrtype, email, smtp;
  std::vector<OracleProperty> properties;
};

struct OracleAttachment {
  std::string key;
  int index = 0;
  std::uint32_t id = 0;
  std::optional<int> method;
  std::string filename, long_filename, mime;
  std::uint64_t size = 0;  // bytes read with read_buffer
  std::string sha256;
  bool embedded = false;  // an embedded message; it is in OracleDump::messages under `key`
  std::vector<OracleProperty> properties;
};

struct OracleMessage {
  std::string key;
  std::uint32_t id = 0;
  std::string message_class, subject, sender;
  bool has_recipient_table = true;
  std::vector<OracleProperty> properties;
  std::vector<OracleBody> bodies;
  std::optional<OracleBody> headers;  // transport headers, kind "headers"
  std::vector<OracleRecipient> recipients;
  std::vector<OracleAttachment> attachments;

  const OracleProperty* property(std::uint32_t tag) const;
  const OracleBody* body(std::string_view kind) const;
};

struct OracleFolder {
  std::string path;
  std::uint32_t id = 0;
  std::optional<std::string> name;  // the root folder has none
  std::uint64_t messages = 0;       // rows pypff sees in the contents table
  std::uint64_t subfolders = 0;     // rows pypff sees in the hierarchy table
  std::optional<std::int64_t> content_count, content_unread, has_subfolders;  // from the PC
  std::vector<OracleProperty> properties;
  std::vector<std::string> message_keys;  // in contents-table order

  const OracleProperty* property(std::uint32_t tag) const;
};

struct OracleDump {
  int exit_code = 0;  // 0 all read, 1 some items failed (see errors), 2 unreadable
  std::uint64_t file_size = 0;
  int encryption = -1;
  std::uint64_t orphans = 0;
  std::optional<std::string> store_name;
  std::vector<OracleProperty> store_properties;
  std::vector<OracleFolder> folders;              // in the order pypff walked them
  std::map<std::string, OracleMessage> messages;  // by key, embedded ones included
  std::vector<std::string> errors;                // "key: message"
  std::string text;                               // the raw dump, for diffs and logs

  const OracleFolder* folder(std::string_view path) const;
  const OracleMessage* message(std::string_view key) const;
  std::vector<const OracleMessage*> messages_in(const OracleFolder& folder) const;
  const OracleProperty* store_property(std::uint32_t tag) const;
};

// Parses the text the oracle prints. Throws SupportError (kParse) on a malformed line.
OracleDump parse_oracle_dump(std::string_view text);

// Runs the oracle on `pst` with the Debian python and parses what it printed. Throws
// SupportError when the script cannot run (kMissing when pypff's python is absent) or
// when its output does not parse; a file libpff cannot open gives exit_code 2 and no
// folders. With `full`, long values are printed in full instead of as a hash.
OracleDump run_oracle(const std::filesystem::path& pst, bool full = false);

// True when the interpreter and the script the oracle needs are present.
bool oracle_available();

// One line of the dump split into its kind and fields (exposed for the other readers'
// helpers and for tests).
struct DumpLine {
  std::string kind;
  std::map<std::string, std::string> fields;
  const std::string* get(std::string_view name) const;
};
DumpLine parse_dump_line(std::string_view line);

// The value of a property as text would appear in a dump, for building expectations:
// "unicode" values are the UTF-8 text, integers decimal, binary lower-case hex.
std::string filetime_to_iso(std::uint64_t filetime);

}  // namespace larkfield::test
