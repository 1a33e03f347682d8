// Large attachment data read from the message file only when the store asks for them: the
// bytes must be those the in-memory path gives, and a file that changed must be refused.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "helpers.hpp"
#include "mime/file_content.hpp"
#include "tests/support/process.hpp"

namespace larkfield::mime::test {
namespace {

namespace fs = std::filesystem;

using TempDir = larkfield::test::TempDir;

void write_file(const fs::path& p, std::string_view content) {
  std::ofstream out(p, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good());
}

std::string random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string base64_lines(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<unsigned char>(data[i + k]) : 0U);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[v & 63] : '=';
    if ((column += 4) == 76) {
      out += "\r\n";
      column = 0;
    }
  }
  return out + "\r\n";
}

// Text with long lines and 8-bit bytes, quoted-printable encoded.
std::string qp_lines(std::string_view data) {
  std::string out;
  std::size_t column = 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : data) {
    const auto b = static_cast<unsigned char>(c);
    std::string piece;
    if (c == '\r') continue;
    if (c == '\n') {  // a line end of the text (CRLF), not an encoded one
      out += "\r\n";
      column = 0;
      continue;
    }
    if (b >= 33 && b <= 126 && c != '=')
      piece = std::string(1, c);
    else
      piece = {'=', kHex[b >> 4], kHex[b & 15]};
    if (column + piece.size() > 75) {
      out += "=\r\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  }
  return out + "\r\n";
}

std::string read_all(ContentSource& source, std::size_t chunk = 100000) {
  std::string out;
  std::string buf(chunk, '\0');
  while (true) {
    const std::size_t n = source.read(std::as_writable_bytes(std::span(buf)));
    if (n == 0) return out;
    out.append(buf, 0, n);
  }
}

// Three large parts in three transfer encodings, and a small one that stays in memory.
struct LargeMessage {
  std::string binary = random_bytes(3 * 1024 * 1024 + 7, 1);
  std::string text = [] {
    std::string t;
    std::mt19937 rng(2);
    while (t.size() < 2 * 1024 * 1024) {
      const std::size_t len = rng() % 200;
      for (std::size_t i = 0; i < len; ++i)
        t += static_cast<char>(rng() % 3 == 0 ? 0xE9 : 'a' + rng() % 26);
      t += "\r\n";
    }
    return t;
  }();
  std::string raw = [] {
    std::string r;
    for (int i = 0; r.size() < 1536 * 1024; ++i)
      r += "line " + std::to_string(i) + " of plain data\r\n";
    return r;
  }();

  std::string eml() const {
    return "From: a@example.com\r\nTo: b@example.com\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
           "--b1\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           base64_lines(binary) +
           "--b1\r\nContent-Type: application/octet-stream; name=\"text.dat\"\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           qp_lines(text) +
           "--b1\r\nContent-Type: application/octet-stream; name=\"raw.dat\"\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n" +
           raw +
           "\r\n--b1\r\nContent-Type: application/octet-stream; name=\"small.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\nc21hbGw=\r\n--b1--\r\n";
  }
};

void expect_large_parts(const ImportResult& r, const LargeMessage& m) {
  ASSERT_EQ(r.message.attachments.size(), 4U);
  const auto& as = r.message.attachments;
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(str(as[i].properties, t::kAttachLongFilename));
    ASSERT_TRUE(as[i].content) << "large data were read into memory";
    EXPECT_FALSE(has(as[i].properties, t::kAttachDataBin));
  }
  // Compared as booleans: a failure would otherwise print megabytes.
  EXPECT_TRUE(read_all(*as[0].content) == m.binary);
  EXPECT_TRUE(read_all(*as[1].content, 4096) == m.text);
  EXPECT_TRUE(read_all(*as[2].content, 1) == m.raw);
  EXPECT_FALSE(as[3].content);
  EXPECT_EQ(bin(as[3].properties, t::kAttachDataBin), "small");
}

TEST(Streamed, LargeAttachmentsComeFromTheFileByteExact) {
  TempDir dir;
  const LargeMessage m;
  const std::string eml = m.eml();
  write_file(dir.path() / "large.eml", eml);
  write_file(dir.path() / "large.emlx", std::to_string(eml.size()) + "\n" + eml +
                                            "<?xml version=\"1.0\"?>\n<plist><dict><key>flags</key>"
                                            "<integer>1</integer></dict></plist>\n");
  // Parsed in memory (the default for files of this size) and parsed from the file.
  ImportOptions from_file;
  from_file.parse_in_memory_up_to = 0;
  for (const char* name : {"large.eml", "large.emlx"}) {
    for (const ImportOptions& o : {ImportOptions{}, from_file}) {
      SCOPED_TRACE(std::string(name) + (o.parse_in_memory_up_to == 0 ? " from the file" : ""));
      const ImportResult r = import_file(dir.path() / name, o);
      EXPECT_FALSE(r.stand_in);
      expect_large_parts(r, m);
    }
  }
  // The data stay readable after the file is gone from its folder: the source holds it open.
  ImportResult r = import_file(dir.path() / "large.eml", from_file);
  fs::remove(dir.path() / "large.eml");
  expect_large_parts(r, m);
  // In memory, import_bytes keeps everything in memory.
  const ImportResult bytes = import(eml);
  ASSERT_EQ(bytes.message.attachments.size(), 4U);
  EXPECT_FALSE(bytes.message.attachments[0].content);
  EXPECT_TRUE(bin(bytes.message.attachments[0].properties, t::kAttachDataBin) == m.binary);
  EXPECT_TRUE(bin(bytes.message.attachments[1].properties, t::kAttachDataBin) == m.text);
}

// A text body too large to decode and convert in memory (a 2 GiB one aborted the whole
// run when GLib could not grow its buffer) is kept, byte for byte, as an attachment
// streamed from the file, with a warning; the message is not lost.
TEST(Streamed, OversizedTextBodyBecomesAStreamedAttachment) {
  TempDir dir;
  const std::string text(3 << 20, 'x');
  write_file(dir.path() / "big.eml",
             "From: a@example.com\r\nSubject: big\r\nContent-Type: text/plain\r\n\r\n" + text);
  ImportOptions o;
  o.max_body_bytes = 1 << 20;
  const ImportResult r = import_file(dir.path() / "big.eml", o);
  EXPECT_FALSE(r.stand_in);
  ASSERT_EQ(r.message.attachments.size(), 1U);
  ASSERT_TRUE(r.message.attachments[0].content);
  EXPECT_TRUE(read_all(*r.message.attachments[0].content) == text);
  EXPECT_TRUE(std::any_of(r.warnings.begin(), r.warnings.end(), [](const std::string& w) {
    return w.find("too large for the body") != std::string::npos;
  }));
}

TEST(Streamed, FileThatShrankOrGrewIsRefusedNotCut) {
  TempDir dir;
  const LargeMessage m;
  const fs::path p = dir.path() / "large.eml";
  for (const bool midway : {false, true}) {
    SCOPED_TRACE(midway ? "changed while reading" : "changed before reading");
    write_file(p, m.eml());
    const ImportResult r = import_file(p);
    ASSERT_EQ(r.message.attachments.size(), 4U);
    ContentSource& source = *r.message.attachments[0].content;
    std::string buf(4096, '\0');
    if (midway) {
      ASSERT_EQ(source.read(std::as_writable_bytes(std::span(buf))), buf.size());
      EXPECT_EQ(buf, m.binary.substr(0, buf.size()));
    }
    fs::resize_file(p, fs::file_size(p) / 2);
    EXPECT_THROW(read_all(source), ReadError);
  }
  // A file that grew is no longer the parsed file either.
  write_file(p, m.eml());
  const ImportResult r = import_file(p);
  std::ofstream(p, std::ios::binary | std::ios::app) << "more";
  EXPECT_THROW(read_all(*r.message.attachments[2].content), ReadError);
}

// A large file cut short after it was opened: its first and last bytes are read, not
// mapped, so the cut is the "file changed" error the other paths give, never SIGBUS.
TEST(Streamed, LargeFileCutShortIsAReadErrorNotASignal) {
  TempDir dir;
  const LargeMessage m;
  const fs::path p = dir.path() / "cut.eml";
  for (const std::uint64_t cut : {std::uint64_t{4096}, std::uint64_t{2} << 20}) {
    SCOPED_TRACE(cut);
    write_file(p, m.eml());
    const auto file = detail::MessageFile::open(p);
    ASSERT_GT(file->size(), 4U << 20);
    fs::resize_file(p, cut);
    try {
      const detail::FileBytes bytes(*file, 1 << 20, 1 << 20);
      // Touching every byte is what raised SIGBUS over a mapping.
      std::size_t lines = 0;
      for (const char c : bytes.view()) lines += c == '\n' ? 1 : 0;
      ADD_FAILURE() << "read a file that changed (" << lines << " lines)";
    } catch (const ReadError& e) {
      EXPECT_EQ(e.code(), ESTALE);
      EXPECT_NE(std::string(e.what()).find("changed while it was being converted"),
                std::string::npos)
          << e.what();
    }
  }
}

// An attached message as large as its sparse file, beside a message before it: memory stays
// bounded (its parts are read from the file, nothing copies it whole), so the import
// succeeds under a data limit far below the message's size. Run in a child so that the
// limit binds only there; GLib aborts the process when an allocation fails.
TEST(Streamed, HugeAttachedMessageInASparseFileStaysBounded) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory counts against the data limit";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer's shadow memory counts against the data limit";
#endif
#endif
  TempDir dir;
  const fs::path p = dir.path() / "sparse.eml";
  constexpr std::uint64_t kHole = 384ULL << 20;
  const std::string head =
      "From: a@example.com\r\nTo: b@example.com\r\nSubject: outer\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"o\"\r\n\r\n"
      "--o\r\nContent-Type: text/plain\r\n\r\nsee the attached message\r\n"
      "--o\r\nContent-Type: message/rfc822\r\n\r\n"
      "From: c@example.com\r\nSubject: inner\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"i\"\r\n\r\n"
      "--i\r\nContent-Type: text/plain\r\n\r\ninner text\r\n"
      "--i\r\nContent-Type: application/octet-stream; name=\"zeros.bin\"\r\n"
      "Content-Transfer-Encoding: binary\r\n\r\n";
  const std::string end = "\r\n--i--\r\n\r\n--o--\r\n";
  {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd, end.data(), end.size(), static_cast<off_t>(head.size() + kHole)),
              static_cast<ssize_t>(end.size()));
    ::close(fd);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{256ULL << 20, 256ULL << 20};
    if (::setrlimit(RLIMIT_DATA, &limit) != 0) ::_exit(10);
    int code = 0;
    try {
      const ImportResult r = import_file(p);
      if (r.stand_in || r.message.attachments.size() != 1) {
        code = 11;
      } else if (const Message* inner = r.message.attachments[0].embedded_message.get();
                 inner == nullptr || inner->attachments.size() != 1 ||
                 !inner->attachments[0].content) {
        code = 12;
      } else if (i32(r.message.attachments[0].properties, t::kAttachSize) <
                 static_cast<std::int32_t>(kHole)) {
        code = 13;
      }
    } catch (...) {
      code = 14;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the import died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Every message of the corpus, parsed from its file with every attachment streamed, gives
// what the in-memory import gives: the same properties, warnings and bytes.
void expect_same(const Message& a, const Message& b, const std::string& where);

void expect_same_properties(const std::vector<Property>& a, const std::vector<Property>& b,
                            const std::string& where) {
  ASSERT_EQ(a.size(), b.size()) << where;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].tag, b[i].tag) << where;
    // Times taken from the clock (items without a date) may differ by the seconds between
    // the two imports.
    const auto* ta = std::get_if<FileTime>(&a[i].value);
    const auto* tb = std::get_if<FileTime>(&b[i].value);
    if (ta != nullptr && tb != nullptr) {
      const std::uint64_t d = ta->ticks > tb->ticks ? ta->ticks - tb->ticks : tb->ticks - ta->ticks;
      EXPECT_LE(d, 30ULL * 10000000) << where << " property 0x" << std::hex << a[i].tag;
      continue;
    }
    EXPECT_TRUE(a[i].value == b[i].value) << where << " property 0x" << std::hex << a[i].tag;
  }
}

int streamed_count = 0;

void expect_same_attachment(const Attachment& memory, const Attachment& file,
                            const std::string& where) {
  ASSERT_FALSE(memory.content) << where;
  if (!file.content) {
    expect_same_properties(memory.properties, file.properties, where);
  } else {
    ++streamed_count;
    // The streamed attachment has no PR_ATTACH_SIZE unless the size is known without
    // decoding (the whole file of a stand-in item).
    const bool sized = has(file.properties, t::kAttachSize);
    std::vector<Property> kept;
    for (const auto& p : memory.properties)
      if ((sized || p.tag != t::kAttachSize) && p.tag != t::kAttachDataBin) kept.push_back(p);
    expect_same_properties(kept, file.properties, where);
    EXPECT_EQ(read_all(*file.content, 7), bin(memory.properties, t::kAttachDataBin)) << where;
  }
  ASSERT_EQ(memory.embedded_message != nullptr, file.embedded_message != nullptr) << where;
  if (memory.embedded_message) expect_same(*memory.embedded_message, *file.embedded_message, where);
}

void expect_same(const Message& a, const Message& b, const std::string& where) {
  expect_same_properties(a.properties, b.properties, where);
  ASSERT_EQ(a.named.size(), b.named.size()) << where;
  for (std::size_t i = 0; i < a.named.size(); ++i)
    EXPECT_TRUE(a.named[i].value == b.named[i].value && a.named[i].name == b.named[i].name)
        << where;
  ASSERT_EQ(a.recipients.size(), b.recipients.size()) << where;
  for (std::size_t i = 0; i < a.recipients.size(); ++i)
    expect_same_properties(a.recipients[i].properties, b.recipients[i].properties, where);
  ASSERT_EQ(a.attachments.size(), b.attachments.size()) << where;
  for (std::size_t i = 0; i < a.attachments.size(); ++i)
    expect_same_attachment(a.attachments[i], b.attachments[i],
                           where + " attachment " + std::to_string(i));
}

TEST(Streamed, CorpusFromTheFileMatchesTheImportInMemory) {
  ImportOptions everything;
  everything.parse_in_memory_up_to = 0;
  everything.stream_attachments_over = 0;
  streamed_count = 0;
  int files = 0;
  std::vector<fs::path> paths;
  for (const char* dir : {LARKFIELD_MAIL_CORPUS, LARKFIELD_MIME_TEST_DATA})
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string ext = entry.path().extension().string();
      // A .partial.emlx takes attachment bodies from beside its file, which bytes in
      // memory do not have.
      if (entry.path().filename().string().ends_with(".partial.emlx")) continue;
      if (ext == ".eml" || ext == ".emlx") paths.push_back(entry.path());
    }
  // The import fuzzer's seeds, among them inputs it found where the two paths differed.
  for (const auto& entry : fs::directory_iterator(LARKFIELD_FUZZ_IMPORT_CORPUS))
    paths.push_back(entry.path());
  for (const fs::path& path : paths) {
    const fs::directory_entry entry(path);
    ++files;
    const std::string where = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const ImportResult memory = import(bytes, where);
    const ImportResult file = import_file(entry.path(), everything);
    EXPECT_EQ(memory.stand_in, file.stand_in) << where;
    EXPECT_EQ(memory.warnings, file.warnings) << where;
    expect_same(memory.message, file.message, where);
  }
  EXPECT_GT(files, 50);
  EXPECT_GT(streamed_count, 30) << "the corpus should exercise the streamed path";
}

}  // namespace
}  // namespace larkfield::mime::test
