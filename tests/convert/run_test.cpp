// The conversion run over a store in memory: phases, captions, progress, the folder tree,
// flags, and what happens to failures.

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "convert/folder_path.hpp"
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
