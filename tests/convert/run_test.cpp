// The conversion run over a store in memory: phases, captions, progress, the folder tree,
// flags, and what happens to failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "convert/folder_path.hpp"
#include "convert/mailstore/backend.hpp"
#include "convert/run.hpp"
#include "convert/text_escape.hpp"
#include "mime/text.hpp"
#include "tests/convert/fakes.hpp"
#include "tests/support/process.hpp"

namespace larkfield::convert {
namespace {

using testing::FakeStoreData;

struct Recorder : RunObserver {
  std::vector<std::u16string> captions, current;
  std::vector<float> progress;
  int yields = 0;
  std::function<void()> on_yield;
  std::optional<RunResult> abandoned;
  void Yield() override {
    ++yields;
    if (on_yield) on_yield();
  }
  void Abandoned(const RunResult& r) override { abandoned = r; }
  void Caption(std::u16string_view t) override { captions.emplace_back(t); }
  void Current(std::u16string_view t) override { current.emplace_back(t); }
  void Progress(float v) override { progress.push_back(v); }
};

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    options_.destination = tmp_.path() / "out";
    std::filesystem::create_directories(options_.destination);
    options_.backend = testing::FakeFactory(&stores_);
    options_.importer = testing::FakeImporter();
    options_.time_stamp = [] { return std::u16string(u"6.12.26 7.5.03"); };
  }
  // A message file below the source tree; returns its row.
  SourceRow File(const std::string& relative, const std::string& text) {
    const auto p = tmp_.path() / "src" / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return SourceRow{p, TextOfPath(p)};
  }
  std::u16string Src() const { return TextOfPath(tmp_.path() / "src"); }
  // The source tree's folder path below "/", as the store shows it.
  std::string Base() const {
    std::string b = (tmp_.path() / "src").string().substr(1);
    return b;
  }
  RunResult Go(const std::vector<SourceRow>& rows) { return Convert(rows, options_, rec_); }

  larkfield::test::TempDir tmp_{"larkfield-run"};
  std::vector<std::shared_ptr<FakeStoreData>> stores_;
  RunOptions options_;
  Recorder rec_;
};

TEST_F(RunTest, ConvertsEveryRowIntoItsFolderWithCaptionsAndProgress) {
  const std::vector<SourceRow> rows = {File("Mail/Inbox/a.eml", "Subject: a\nAttach: x.pdf\n"),
                                       File("Mail/Sent/b.eml", "Subject: b\nHidden: logo.png\n"),
                                       File("Mail/Inbox/c.emlx", "Subject: c\nFlags: 0\n")};
  const RunResult r = Go(rows);
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.converted, 3u);
  EXPECT_EQ(r.failed, 0u);
  // Every run that made a PST leaves its log, also one with nothing to report.
  EXPECT_NE(ReadAll(r.log_path).find("Messages: 3 listed, 3 converted, 0 failed, 0 warnings\n"),
            std::string::npos);
  EXPECT_EQ(r.pst_path, options_.destination / "Larkfield6.12.26 7.5.03.pst");
  EXPECT_TRUE(std::filesystem::exists(r.pst_path));
  ASSERT_EQ(stores_.size(), 1u);
  const FakeStoreData& s = *stores_[0];
  EXPECT_EQ(s.options.display_name, u"Larkfield : Created - 6.12.26 7.5.03");
  EXPECT_TRUE(s.closed);

  // The tree mirrors the source folders below "/", every ancestor included.
  const std::string base = Base();
  std::vector<std::string> expected;
  std::string path;
  for (std::size_t at = 0, next; at <= base.size(); at = next + 1) {
    next = base.find('/', at);
    if (next == std::string::npos) next = base.size();
    path += (path.empty() ? "" : "/") + base.substr(at, next - at);
    expected.push_back(path);
  }
  expected.push_back(base + "/Mail");
  expected.push_back(base + "/Mail/Inbox");
  expected.push_back(base + "/Mail/Sent");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(s.FolderPaths(), expected);

  const auto* inbox = s.Folder(testing::U16(base + "/Mail/Inbox"));
  ASSERT_NE(inbox, nullptr);
  ASSERT_EQ(inbox->messages.size(), 2u);
  EXPECT_EQ(testing::Subject(*inbox->messages[0]), u"a");
  EXPECT_EQ(testing::Subject(*inbox->messages[1]), u"c");
  auto flags = [](const pst::Message& m) {
    return std::get<std::int32_t>(testing::Find(m.properties, 0x0E070003)->value);
  };
  EXPECT_EQ(flags(*inbox->messages[0]), 0x11);  // read, with an attachment
  EXPECT_EQ(flags(*inbox->messages[1]), 0x01);  // read; the file's own flags are replaced
  const auto* sent = s.Folder(testing::U16(base + "/Mail/Sent"));
  ASSERT_NE(sent, nullptr);
  ASSERT_EQ(sent->messages.size(), 1u);
  EXPECT_EQ(flags(*sent->messages[0]), 0x11);  // hidden, but an attachment to the store

  EXPECT_EQ(rec_.progress, (std::vector<float>{static_cast<float>(100.0 / 3),
                                               static_cast<float>(200.0 / 3), 100.0f}));
  const std::u16string folder = RowFolderPath(rows[0].text).value();
  EXPECT_EQ(rec_.captions.front(), u"Reading File System Folders...   (" + folder + u")");
  EXPECT_EQ(
      std::count(rec_.captions.begin(), rec_.captions.end(), u"Preparing Email Folders... ()"), 2);
  EXPECT_NE(std::find(rec_.captions.begin(), rec_.captions.end(),
                      u"Creating Outlook Folders... (" + folder + u")"),
            rec_.captions.end());
  EXPECT_EQ(rec_.captions.back(), u"Converting Messages... from (" + folder + u")");
  EXPECT_EQ(rec_.current.back(), rows[2].text);  // a POSIX row is shown whole
}

TEST_F(RunTest, WindowsRowsMapBelowTheDriveAndCaseTwinsShareAFolder) {
  // The files do not exist here, so nothing is written, but the folders are made.
  const std::vector<SourceRow> rows = {{"C:\\Mail\\Inbox\\a.eml", u"C:\\Mail\\Inbox\\a.eml"},
                                       {"D:\\Mail\\Inbox\\b.eml", u"D:\\Mail\\Inbox\\b.eml"},
                                       {"C:\\Mail\\Sent\\c.eml", u"C:\\Mail\\Sent\\c.eml"},
                                       {"C:\\mail\\d.eml", u"C:\\mail\\d.eml"},
                                       {"C:\\a\\b\\c\\d.eml", u"C:\\a\\b\\c\\d.eml"}};
  const RunResult r = Go(rows);
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(stores_[0]->FolderPaths(),
            (std::vector<std::string>{"Mail", "Mail/Inbox", "Mail/Sent", "a", "a/b", "a/b/c"}));
  EXPECT_EQ(r.failed, 5u);
  EXPECT_EQ(r.converted, 0u);
  EXPECT_TRUE(r.folder_problems.empty());      // "mail" is "Mail", not a problem
  EXPECT_EQ(stores_[0]->messages.size(), 0u);  // an unreadable file writes no item
  EXPECT_EQ(rec_.current[0], u"\\Mail\\Inbox\\a.eml");
  ASSERT_FALSE(r.log_path.empty());
  const std::string log = ReadAll(r.log_path);
  EXPECT_NE(log.find("C:\\Mail\\Inbox\\a.eml: cannot read"), std::string::npos) << log;
  EXPECT_EQ(log.find("stopped"), std::string::npos) << log;
}

TEST_F(RunTest, RowsThatCannotBeConvertedCreateNothing) {
  RunResult empty = Go({});
  EXPECT_EQ(empty.outcome, RunResult::Outcome::kNotStarted);
  EXPECT_EQ(Go({SourceRow{"", u""}}).outcome, RunResult::Outcome::kNotStarted);

  const std::vector<SourceRow> rows = {File("Inbox/a.eml", "Subject: a\n"),
                                       {"C:\\root.eml", u"C:\\root.eml"},
                                       {"\\\\server\\share\\x.eml", u"\\\\server\\share\\x.eml"}};
  const RowCheck check = CheckRows(rows);
  EXPECT_EQ(check.no_folder,
            (std::vector<std::u16string>{u"C:\\root.eml", u"\\\\server\\share\\x.eml"}));
  const RunResult r = Go(rows);
  EXPECT_EQ(r.outcome, RunResult::Outcome::kNotStarted);
  EXPECT_NE(r.error.find("C:\\root.eml"), std::string::npos);

  options_.destination = tmp_.path() / "missing";
  const RunResult d = Go({File("Inbox/a.eml", "Subject: a\n")});
  EXPECT_EQ(d.outcome, RunResult::Outcome::kNotStarted);
  EXPECT_NE(d.error.find("No such file or directory"), std::string::npos) << d.error;
  EXPECT_TRUE(stores_.empty());
  EXPECT_TRUE(std::filesystem::is_empty(tmp_.path() / "out"));
}

TEST_F(RunTest, FailuresAreCountedAndListedAndNothingIsLost) {
  const std::vector<SourceRow> rows = {
      File("Inbox/good.eml", "Subject: good\nWARN: odd date\n"),
      File("Inbox/bad.eml", "GARBAGE"),
      {tmp_.path() / "src/Inbox/vanished.eml", TextOfPath(tmp_.path() / "src/Inbox/vanished.eml")}};
  const RunResult r = Go(rows);
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted);
  EXPECT_EQ(r.converted, 1u);
  EXPECT_EQ(r.failed, 2u);
  EXPECT_EQ(r.warnings, 1u);
  // The unparsable file is kept as a stand-in item; the vanished one writes nothing.
  EXPECT_EQ(stores_[0]->messages.size(), 2u);
  EXPECT_EQ(testing::Subject(*stores_[0]->messages[1]), u"bad.eml");
  ASSERT_EQ(r.failures.size(), 2u);
  EXPECT_EQ(r.failures[0].row, rows[1].text);
  EXPECT_EQ(r.failures[1].row, rows[2].text);
  EXPECT_EQ(r.log_path, options_.destination / "Larkfield6.12.26 7.5.03.log");
  const std::string log = ReadAll(r.log_path);
  EXPECT_NE(log.find("1 converted, 2 failed, 1 warning\n"), std::string::npos) << log;
  EXPECT_NE(log.find("vanished.eml"), std::string::npos);
  EXPECT_NE(log.find("odd date"), std::string::npos);
  EXPECT_EQ(rec_.progress.back(), 100.0f);  // every row counts for the progress
  // Bytes read: the two files that were there, not the vanished one.
  EXPECT_EQ(r.bytes,
            std::filesystem::file_size(rows[0].file) + std::filesystem::file_size(rows[1].file));
}

// Folders the scan could not list reach the result and the log even when every listed
// row converts: the PST is missing their messages.
TEST_F(RunTest, FoldersTheScanCouldNotListAreInTheResultAndTheLog) {
  options_.unlisted_folders = {{u"/m/Locked/", "Permission denied"},
                               {u"/m/Gone/", "No such file or directory"}};
  const RunResult r = Go({File("Inbox/a.eml", "Subject: a\n")});
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted);
  EXPECT_EQ(r.converted, 1u);
  EXPECT_EQ(r.failed, 0u);
  ASSERT_EQ(r.unlisted_folders.size(), 2u);
  EXPECT_EQ(r.unlisted_folders[1].row, u"/m/Gone/");
  ASSERT_FALSE(r.log_path.empty()) << "a run that left folders out wrote no log";
  const std::string log = ReadAll(r.log_path);
  EXPECT_NE(log.find("Folders not read: 2"), std::string::npos) << log;
  EXPECT_NE(log.find("\nFolders not read:\n/m/Locked/: Permission denied\n"
                     "/m/Gone/: No such file or directory\n"),
            std::string::npos)
      << log;
}

// Rows that alternate between folders each land in their own; the messages of a folder
// that could not be created each fail and name it, and the rest still convert.
TEST_F(RunTest, AlternatingFoldersAndAFolderThatCannotBeCreated) {
  const std::vector<SourceRow> rows = {
      File("X/1.eml", "Subject: 1\n"), File("Y/2.eml", "Subject: 2\n"),
      File("X/3.eml", "Subject: 3\n"), File("Bad/4.eml", "Subject: 4\n"),
      File("Y/5.eml", "Subject: 5\n"), File("Bad/6.eml", "Subject: 6\n")};
  options_.backend = [this, inner = options_.backend](const std::filesystem::path& path,
                                                      const pst::StoreOptions& o) {
    auto backend = inner(path, o);
    stores_.back()->fail_folder = u"Bad";
    return backend;
  };
  const RunResult r = Go(rows);
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.converted, 4u);
  EXPECT_EQ(r.failed, 2u);
  ASSERT_EQ(r.folder_problems.size(), 1u);
  ASSERT_EQ(r.failures.size(), 2u);
  EXPECT_EQ(r.failures[0].row, rows[3].text);
  EXPECT_EQ(r.failures[1].row, rows[5].text);
  EXPECT_NE(r.failures[1].reason.find("is not in the PST"), std::string::npos)
      << r.failures[1].reason;
  const FakeStoreData& s = *stores_[0];
  auto subjects = [&](const std::string& folder) {
    std::vector<std::u16string> out;
    const auto* f = s.Folder(testing::U16(Base() + "/" + folder));
    if (f)
      for (const pst::Message* m : f->messages) out.push_back(testing::Subject(*m));
    return out;
  };
  EXPECT_EQ(subjects("X"), (std::vector<std::u16string>{u"1", u"3"}));
  EXPECT_EQ(subjects("Y"), (std::vector<std::u16string>{u"2", u"5"}));
}

TEST_F(RunTest, ATakenNameGetsANumberAndTheOldFileIsUntouched) {
  std::ofstream(options_.destination / "Larkfield6.12.26 7.5.03.pst") << "old";
  std::ofstream(options_.destination / "Larkfield6.12.26 7.5.03 (2).log") << "old log";
  const RunResult r = Go({File("Inbox/a.eml", "Subject: a\n")});
  ASSERT_EQ(r.outcome, RunResult::Outcome::kCompleted);
  EXPECT_EQ(r.pst_path, options_.destination / "Larkfield6.12.26 7.5.03 (3).pst");
  EXPECT_EQ(ReadAll(options_.destination / "Larkfield6.12.26 7.5.03.pst"), "old");
  EXPECT_EQ(ReadAll(options_.destination / "Larkfield6.12.26 7.5.03 (2).log"), "old log");
}

TEST_F(RunTest, AStoreThatCannotBeWrittenStopsTheRunAndTheLogSaysWhere) {
  std::vector<SourceRow> rows;
  for (int i = 0; i < 5; ++i)
    rows.push_back(File("Inbox/m" + std::to_string(i) + ".eml", "Subject: m\n"));
  options_.commit_every = 2;
  // The store refuses the third message.
  auto factory = options_.backend;
  options_.backend = [&, factory](const std::filesystem::path& p, const pst::StoreOptions& o) {
    auto b = factory(p, o);
    stores_.back()->fail_message_after = 2;
    return b;
  };
  const RunResult r = Go(rows);
  EXPECT_EQ(r.outcome, RunResult::Outcome::kStopped);
  EXPECT_EQ(r.converted, 2u);
  EXPECT_EQ(r.stopped_at, 2u);
  EXPECT_NE(r.error.find("File too large"), std::string::npos);
  EXPECT_EQ(stores_[0]->options.commit_every_messages, 2u);
  EXPECT_TRUE(stores_[0]->closed);  // what was written is committed
  const std::string log = ReadAll(r.log_path);
  EXPECT_NE(log.find("stopped at message 3 of 5"), std::string::npos) << log;
  EXPECT_NE(log.find("m2.eml"), std::string::npos) << log;
}

TEST_F(RunTest, EndingTheRunFromAYieldCommitsWhatWasWritten) {
  std::vector<SourceRow> rows;
  for (int i = 0; i < 4; ++i)
    rows.push_back(File("Inbox/m" + std::to_string(i) + ".eml", "Subject: m\n"));
  struct Ended {};
  rec_.on_yield = [this] {
    if (!stores_.empty() && stores_[0]->messages.size() == 2) throw Ended{};
  };
  EXPECT_THROW(Go(rows), Ended);
  ASSERT_EQ(stores_.size(), 1u);
  EXPECT_TRUE(stores_[0]->closed);
  EXPECT_EQ(stores_[0]->messages.size(), 2u);
  const auto log = options_.destination / "Larkfield6.12.26 7.5.03.log";
  EXPECT_NE(ReadAll(log).find("stopped"), std::string::npos);
  // The caller learns what the run did before the exception reaches it.
  ASSERT_TRUE(rec_.abandoned);
  EXPECT_EQ(rec_.abandoned->outcome, RunResult::Outcome::kStopped);
  EXPECT_EQ(rec_.abandoned->converted, 2u);
  EXPECT_EQ(rec_.abandoned->log_path, log);
}

// Equal stored values; times taken from the clock (items without a date) may differ by
// the seconds between two imports, and data left in the file are compared as read.
void ExpectSameProperties(const std::vector<pst::Property>& a, const std::vector<pst::Property>& b,
                          const std::string& where) {
  ASSERT_EQ(a.size(), b.size()) << where;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].tag, b[i].tag) << where;
    const auto* ta = std::get_if<pst::FileTime>(&a[i].value);
    const auto* tb = std::get_if<pst::FileTime>(&b[i].value);
    const auto* sa = std::get_if<std::shared_ptr<pst::ByteSource>>(&a[i].value);
    const auto* sb = std::get_if<std::shared_ptr<pst::ByteSource>>(&b[i].value);
    if (ta != nullptr && tb != nullptr) {
      const std::uint64_t d = ta->ticks > tb->ticks ? ta->ticks - tb->ticks : tb->ticks - ta->ticks;
      EXPECT_LE(d, 30ULL * 10000000) << where << " property 0x" << std::hex << a[i].tag;
    } else if (sa != nullptr && sb != nullptr) {
      auto drain = [](pst::ByteSource& source) {
        std::vector<std::byte> all, buffer(65536);
        while (const std::size_t n = source.read(buffer))
          all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        return all;
      };
      EXPECT_TRUE(drain(**sa) == drain(**sb)) << where << " streamed data";
    } else if (a[i].tag == 0x00710102) {
      // PR_CONVERSATION_INDEX: bytes 1 to 5 are a time, the clock's for an item without
      // a date.
      auto without_time = [](const pst::PropValue& v) {
        pst::Bytes bytes = std::get<pst::Bytes>(v);
        for (std::size_t k = 1; k < 6 && k < bytes.size(); ++k) bytes[k] = std::byte{0};
        return bytes;
      };
      EXPECT_TRUE(without_time(a[i].value) == without_time(b[i].value)) << where;
    } else {
      EXPECT_TRUE(a[i].value == b[i].value) << where << " property 0x" << std::hex << a[i].tag;
    }
  }
}

void ExpectSameMessage(const pst::Message& a, const pst::Message& b, const std::string& where) {
  ExpectSameProperties(a.properties, b.properties, where);
  ASSERT_EQ(a.recipients.size(), b.recipients.size()) << where;
  for (std::size_t r = 0; r < a.recipients.size(); ++r) {
    ExpectSameProperties(a.recipients[r].properties, b.recipients[r].properties,
                         where + " recipient " + std::to_string(r));
  }
  ASSERT_EQ(a.attachments.size(), b.attachments.size()) << where;
  for (std::size_t n = 0; n < a.attachments.size(); ++n) {
    const std::string at = where + " attachment " + std::to_string(n);
    ExpectSameProperties(a.attachments[n].properties, b.attachments[n].properties, at);
    ASSERT_EQ(a.attachments[n].embedded_message == nullptr,
              b.attachments[n].embedded_message == nullptr)
        << at;
    if (a.attachments[n].embedded_message) {
      ExpectSameMessage(*a.attachments[n].embedded_message, *b.attachments[n].embedded_message, at);
    }
  }
}

// The message corpus spread over folders, with a message whose attachment stays in its
// file, an unparsable file, a vanished one and a row whose folder cannot be made.
class PipelineTest : public RunTest {
 protected:
  PipelineTest() {
    // The MIME importer, noting the thread of each import.
    options_.importer = mailstore::Importer::ThreadSafe(
        [this, inner = mailstore::MimeImporter()](const std::filesystem::path& p,
                                                  const mime::ImportOptions& o) {
          {
            std::lock_guard lock(mutex_);
            import_threads_.push_back(std::this_thread::get_id());
          }
          return inner(p, o);
        });
    options_.backend = [this, inner = testing::FakeFactory(&stores_)](
                           const std::filesystem::path& p, const pst::StoreOptions& o) {
      auto backend = inner(p, o);
      stores_.back()->fail_folder = u"Refused";
      stores_.back()->fail_message_after = fail_message_after_;
      return backend;
    };
    std::vector<std::filesystem::path> corpus;
    for (const auto& e : std::filesystem::directory_iterator(LARKFIELD_MAIL_CORPUS)) {
      const std::string ext = e.path().extension().string();
      if (ext == ".eml" || ext == ".emlx") corpus.push_back(e.path());
    }
    std::sort(corpus.begin(), corpus.end());
    for (std::size_t i = 0; i < corpus.size(); ++i) {
      const std::string folder = i % 7 == 3 ? "Refused" : "F" + std::to_string(i % 4);
      rows_.push_back(File(folder + "/" + corpus[i].filename().string(), ReadAll(corpus[i])));
      if (i == corpus.size() / 3) {
        std::string big =
            "Subject: big\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
            "boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n--b\r\n"
            "Content-Type: application/octet-stream; name=big.bin\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n";
        for (int line = 0; line < 40000; ++line) big += std::string(76, 'A' + line % 26) + "\r\n";
        big += "--b--\r\n";
        rows_.push_back(File("F1/big.eml", big));
        rows_.push_back(File("F2/garbage.eml", std::string("\0\1\2 no message", 15)));
        const auto gone = tmp_.path() / "src/F3/gone.eml";
        rows_.push_back({gone, TextOfPath(gone)});
      }
    }
  }
  RunResult GoWith(std::size_t threads) {
    options_.import_threads = threads;
    import_threads_.clear();
    return Go(rows_);
  }
  std::vector<SourceRow> rows_;
  std::mutex mutex_;
  std::vector<std::thread::id> import_threads_;
  std::size_t fail_message_after_ = SIZE_MAX;
};

// Files read ahead on several threads come out as when each is read just before it is
// written: the same messages in the same folders and order, with the same properties,
// counts, failures and warnings.
TEST_F(PipelineTest, ReadingAheadWritesWhatOneThreadWrites) {
  const RunResult one = GoWith(0);
  const std::size_t imports = import_threads_.size();
  EXPECT_EQ(std::count(import_threads_.begin(), import_threads_.end(), std::this_thread::get_id()),
            static_cast<std::ptrdiff_t>(imports));
  const RunResult many = GoWith(3);
  // Each file was read once, ahead, on the other threads.
  EXPECT_EQ(import_threads_.size(), imports);
  EXPECT_EQ(std::count(import_threads_.begin(), import_threads_.end(), std::this_thread::get_id()),
            0);
  ASSERT_EQ(stores_.size(), 2u);
  for (const RunResult* r : {&one, &many}) {
    ASSERT_EQ(r->outcome, RunResult::Outcome::kCompleted) << r->error;
  }
  EXPECT_GT(one.converted, 80u);
  EXPECT_EQ(one.converted, many.converted);
  EXPECT_EQ(one.failed, many.failed);
  EXPECT_EQ(one.warnings, many.warnings);
  EXPECT_EQ(one.bytes, many.bytes);
  ASSERT_EQ(one.failures.size(), many.failures.size());
  for (std::size_t i = 0; i < one.failures.size(); ++i) {
    EXPECT_EQ(one.failures[i].row, many.failures[i].row);
    EXPECT_EQ(one.failures[i].reason, many.failures[i].reason);
  }
  ASSERT_EQ(one.row_warnings.size(), many.row_warnings.size());
  for (std::size_t i = 0; i < one.row_warnings.size(); ++i) {
    EXPECT_EQ(one.row_warnings[i].row, many.row_warnings[i].row);
    EXPECT_EQ(one.row_warnings[i].reason, many.row_warnings[i].reason);
  }
  const FakeStoreData& a = *stores_[0];
  const FakeStoreData& b = *stores_[1];
  EXPECT_EQ(a.FolderPaths(), b.FolderPaths());
  EXPECT_EQ(a.named, b.named);
  ASSERT_EQ(a.messages.size(), b.messages.size());
  for (std::size_t i = 0; i < a.messages.size(); ++i) {
    ExpectSameMessage(*a.messages[i], *b.messages[i], "message " + std::to_string(i));
  }
  for (const auto& [id, folder] : a.folders) {
    ASSERT_TRUE(b.folders.count(id));
    ASSERT_EQ(folder.messages.size(), b.folders.at(id).messages.size());
    for (std::size_t i = 0; i < folder.messages.size(); ++i) {
      EXPECT_EQ(testing::Subject(*folder.messages[i]),
                testing::Subject(*b.folders.at(id).messages[i]));
    }
  }
}

// Stopping while files are read ahead, from a yield or by a write the store refuses:
// the store holds the rows before the stop, in order, and nothing read ahead of it.
TEST_F(PipelineTest, StoppingWhileReadingAheadKeepsWhatWasWrittenInOrder) {
  const RunResult one = GoWith(0);
  ASSERT_EQ(one.outcome, RunResult::Outcome::kCompleted) << one.error;
  const FakeStoreData& all = *stores_[0];
  ASSERT_GT(all.messages.size(), 40u);

  struct Ended {};
  rec_.on_yield = [this] {
    if (stores_.size() == 2 && stores_[1]->messages.size() == 30) throw Ended{};
  };
  EXPECT_THROW(GoWith(3), Ended);
  rec_.on_yield = nullptr;
  ASSERT_TRUE(rec_.abandoned);
  EXPECT_EQ(rec_.abandoned->outcome, RunResult::Outcome::kStopped);
  EXPECT_NE(ReadAll(rec_.abandoned->log_path).find("stopped"), std::string::npos);

  // The store refuses the 21st message as a full disk would.
  fail_message_after_ = 20;
  const RunResult full = GoWith(3);
  EXPECT_EQ(full.outcome, RunResult::Outcome::kStopped);
  // Every row before the refused one was handled, and none after it.
  EXPECT_EQ(full.converted + full.failed, full.stopped_at);
  EXPECT_NE(ReadAll(full.log_path).find("stopped at message"), std::string::npos);

  ASSERT_EQ(stores_.size(), 3u);
  for (const auto& [stopped, kept] : {std::pair{stores_[1].get(), std::size_t{30}},
                                      std::pair{stores_[2].get(), std::size_t{20}}}) {
    EXPECT_TRUE(stopped->closed);
    ASSERT_EQ(stopped->messages.size(), kept);
    for (std::size_t i = 0; i < kept; ++i) {
      EXPECT_EQ(testing::Subject(*stopped->messages[i]), testing::Subject(*all.messages[i])) << i;
    }
  }
}

// A name can hold line breaks, terminal escape codes, a direction override and bytes that
// are not UTF-8: the log shows each entry on one line of clean UTF-8, by the file's own
// bytes, and its JSON lines form keeps those bytes.
TEST_F(RunTest, HostileNamesStayOneEntryALineInBothLogFormats) {
  const std::filesystem::path dir = tmp_.path() / "src" / "Inbox";
  const std::string hostile[] = {"two\nlines.eml", "\x1b]0;owned\a\x1b[2J.eml",
                                 "invoice\xe2\x80\xae"
                                 "lme.exe",
                                 "latin1-\xe9t\xe9.eml"};
  std::vector<SourceRow> rows = {File("Inbox/good.eml", "Subject: good\nWARN: odd date\n")};
  for (const std::string& name : hostile) rows.push_back({dir / name, TextOfPath(dir / name)});

  const RunResult r = Go(rows);  // the hostile files do not exist: each fails
  ASSERT_EQ(r.failed, 4u);
  std::string log = ReadAll(r.log_path);
  EXPECT_TRUE(mime::text::is_valid_utf8(log));
  for (unsigned char c : log) EXPECT_TRUE(c >= 0x20 || c == '\n') << static_cast<int>(c);
  EXPECT_EQ(log.find("\xe2\x80\xae"), std::string::npos);
  EXPECT_NE(log.find("\\xHH"), std::string::npos) << "the header says how names are escaped";
  const std::string failed = log.substr(log.find("\nFailed:\n") + 9);
  const std::string shown[] = {"two\\x0Alines.eml", "\\x1B]0;owned\\x07\\x1B[2J.eml",
                               "invoice\\u{202E}lme.exe", "latin1-\\xE9t\\xE9.eml"};
  std::size_t at = 0;
  for (const std::string& name : shown) {
    const std::string line = EscapePath(dir) + "/" + name + ": cannot read";
    EXPECT_EQ(failed.find(line, at), at) << failed;
    at = failed.find('\n', at) + 1;
  }
  EXPECT_NE(log.find("Messages: 5 listed, 1 converted, 4 failed, 1 warning\n"), std::string::npos);

  options_.log_format = LogFormat::kJsonLines;
  const RunResult j = Go(rows);
  ASSERT_NE(j.log_path, r.log_path);
  log = ReadAll(j.log_path);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = log.find('\n', start);
    lines.push_back(log.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 6u) << log;  // the run, four failures, one warning
  EXPECT_EQ(lines[0].rfind("{\"schema\":1,\"type\":\"run\",\"outcome\":\"completed\",", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[4].find("\"path\":" + JsonPath(dir).substr(0, JsonPath(dir).size() - 1) +
                          "/latin1-\\udce9t\\udce9.eml\""),
            std::string::npos)
      << lines[4];
  EXPECT_EQ(lines[5].rfind("{\"type\":\"warning\",\"kind\":\"message\",", 0), 0u) << lines[5];
}

TEST_F(RunTest, APreparedFolderListHoldsEveryAncestorInOrder) {
  Recorder rec;
  const std::vector<std::u16string> folders = {u"b\\x", u"a\\b\\c", u"b\\x", u"a", u"A\\z"};
  EXPECT_EQ(PrepareFolderList(folders, rec),
            (StringList{u"A", u"A\\z", u"a", u"a\\b", u"a\\b\\c", u"b", u"b\\x"}));
}

}  // namespace
}  // namespace larkfield::convert
