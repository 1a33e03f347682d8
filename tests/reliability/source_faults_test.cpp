// Source files that change under a running conversion: files that vanish, shrink, grow
// or turn unreadable after they were listed, a folder that cannot be listed, a message
// file of 2 GiB, and a varied source tree that must come out of a run unchanged, down to
// modes and time stamps.
//
// The changes between listing and import go through the run's own observer: Counts is
// called after each message, before the next file is touched, so the test changes the
// next file at a known moment instead of racing the converter.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/folder_path.hpp"
#include "convert/mailstore/backend.hpp"
#include "convert/run.hpp"
#include "pst/check/check.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace fs = std::filesystem;
using namespace larkfield;
using namespace larkfield::test;

namespace {

const fs::path kConvert = LARKFIELD_CONVERT_EXE;

void write_file(const fs::path& p, std::string_view text) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << text;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string message(std::string_view subject, std::string_view body = "") {
  std::string m = "From: Ann Example <ann@example.org>\r\nTo: bob@example.net\r\nSubject: ";
  m += subject;
  m += "\r\nDate: Tue, 03 Mar 2015 10:00:00 +0100\r\nMessage-ID: <";
  m += subject;
  m += "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
  m += body.empty() ? "Body of " + std::string(subject) + "\r\n" : std::string(body);
  return m;
}

// Everything a run must leave alone: content, type and mode, size, modification and
// status-change times of every entry, links included.
std::map<std::string, std::string> tree_state(const fs::path& root) {
  std::map<std::string, std::string> state;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    std::string v = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " m" +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                    " c" + std::to_string(st.st_ctim.tv_sec) + "." +
                    std::to_string(st.st_ctim.tv_nsec);
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IRUSR)) v += " " + sha256_file(e.path());
    if (S_ISLNK(st.st_mode)) v += " -> " + fs::read_symlink(e.path()).string();
    state[fs::relative(e.path(), root).string()] = v;
  }
  return state;
}

std::set<std::string> subjects_in(const fs::path& pst) {
  std::set<std::string> out;
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << d.text.substr(0, 2000);
  for (const auto& f : d.folders)
    for (const OracleMessage* m : d.messages_in(f)) out.insert(m->subject);
  return out;
}

void expect_valid(const fs::path& pst) {
  const auto report = pst::check::verify_file(pst);
  EXPECT_TRUE(report.readable && report.ok()) << report.text();
}

// Calls `before(i)` just before row i is read: for row 0 before the run, for the others
// from the observer's report on the row before.
// The PST files a run left in `dir`.
std::vector<fs::path> psts_in(const fs::path& dir) {
  std::vector<fs::path> psts;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".pst") psts.push_back(e.path());
  return psts;
}

class ChangeBeforeRead final : public convert::RunObserver {
 public:
  explicit ChangeBeforeRead(std::function<void(std::size_t)> before) : before_(std::move(before)) {}
  void Counts(std::size_t done, std::size_t total, std::uint64_t) override {
    if (done < total) before_(done);
  }

 private:
  std::function<void(std::size_t)> before_;
};

class SourceFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!oracle_available()) GTEST_SKIP() << "pypff is not installed";
    fs::create_directories(out_);
  }

  convert::RunResult convert_rows(const std::vector<fs::path>& files,
                                  std::function<void(std::size_t)> before) {
    convert::RunOptions o;
    o.destination = out_;
    o.backend = mailstore::PstBackendFactory();
    o.importer = mailstore::MimeImporter();
    const auto rows = convert::RowsFromPaths(files);
    ChangeBeforeRead observer(before);
    before(0);
    return convert::Convert(rows, o, observer);
  }

  TempDir tmp_{"larkfield-source-faults"};
  fs::path src_ = tmp_.path() / "mail";
  fs::path out_ = tmp_.path() / "out";
};

// Listed files that vanish, shrink, grow, turn into a folder or turn unreadable before
// they are read: each one that cannot be read is a failure named in the log, the others
// convert as they are when read, and the run completes.
TEST_F(SourceFaults, FilesChangingAfterTheListingAreReportedAndTheRestConverts) {
  const bool root = ::geteuid() == 0;
  std::vector<std::string> names = {"keep1",     "vanish",     "shrink", "grow",
                                    "to-folder", "unreadable", "keep2"};
  std::vector<fs::path> files;
  for (const auto& n : names) {
    files.push_back(src_ / "Inbox" / (n + ".eml"));
    write_file(files.back(), message(n));
  }
  const std::string grown_body(3 << 20, 'g');  // past what one block or one buffer holds
  auto change = [&](std::size_t i) {
    const std::string& n = names[i];
    const fs::path& f = files[i];
    if (n == "vanish") fs::remove(f);
    if (n == "shrink") write_file(f, message(n).substr(0, message(n).find("\r\n\r\n") + 4));
    if (n == "grow") write_file(f, message("grown", grown_body));
    if (n == "to-folder") {
      fs::remove(f);
      fs::create_directories(f);
    }
    if (n == "unreadable") fs::permissions(f, fs::perms::none);
  };
  const convert::RunResult r = convert_rows(files, change);
  fs::permissions(files[5], fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_EQ(r.outcome, convert::RunResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.rows, names.size());
  const std::size_t unreadable = root ? 2 : 3;  // vanished, a folder, no read permission
  EXPECT_EQ(r.failed, unreadable);
  EXPECT_EQ(r.converted, names.size() - unreadable);
  ASSERT_FALSE(r.pst_path.empty());
  expect_valid(r.pst_path);
  const auto subjects = subjects_in(r.pst_path);
  for (const char* s : {"keep1", "shrink", "grown", "keep2"}) EXPECT_TRUE(subjects.count(s)) << s;
  EXPECT_FALSE(subjects.count("vanish"));
  EXPECT_FALSE(subjects.count("to-folder"));

  ASSERT_FALSE(r.log_path.empty()) << "failures were not logged";
  const std::string log = read_file(r.log_path);
  for (const char* f : {"vanish.eml", "to-folder.eml"})
    EXPECT_NE(log.find(f), std::string::npos) << log;
  if (!root) {
    EXPECT_NE(log.find("unreadable.eml"), std::string::npos) << log;
  }
  EXPECT_EQ(log.find("keep1.eml"), std::string::npos) << log;
}

// A file that turns unreadable right after the one before it is written, on every row:
// the run goes on to the end and logs every one of them.
TEST_F(SourceFaults, EveryFileVanishingBeforeItIsReadEndsInACompleteLog) {
  std::vector<fs::path> files;
  for (int i = 0; i < 20; ++i) {
    files.push_back(src_ / ("F" + std::to_string(i % 3)) / ("m" + std::to_string(i) + ".eml"));
    write_file(files.back(), message("m" + std::to_string(i)));
  }
  const convert::RunResult r = convert_rows(files, [&](std::size_t i) {
    if (i % 2) fs::remove(files[i]);
  });
  ASSERT_EQ(r.outcome, convert::RunResult::Outcome::kCompleted) << r.error;
  EXPECT_EQ(r.converted, 10u);
  EXPECT_EQ(r.failed, 10u);
  ASSERT_FALSE(r.pst_path.empty());
  expect_valid(r.pst_path);
  EXPECT_EQ(subjects_in(r.pst_path).size(), 10u);
  const std::string log = read_file(r.log_path);
  for (int i = 1; i < 20; i += 2)
    EXPECT_NE(log.find("m" + std::to_string(i) + ".eml"), std::string::npos) << i << "\n" << log;
}

// Runs the converter; as root, as the user nobody, so that permissions count.
ProcessResult run_convert_unprivileged(const std::vector<std::string>& args, const fs::path& tmp) {
  if (::geteuid() != 0) {
    std::vector<std::string> argv{kConvert.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
  }
  // Let the other user through the test's folders.
  for (fs::path p = tmp; p != p.root_path(); p = p.parent_path()) {
    if (p == fs::temp_directory_path()) break;
    fs::permissions(p, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  }
  const fs::path out = tmp / "stdout.txt", err = tmp / "stderr.txt";
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
    int e = ::open(err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
    ::dup2(o, 1);
    ::dup2(e, 2);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    std::vector<std::string> copy = args;
    std::string exe = kConvert.string();
    std::vector<char*> argv{exe.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ProcessResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

// A folder the scan cannot list is named, its files are left out, the rest converts and
// the run says it was incomplete.
TEST_F(SourceFaults, UnlistableFolderIsReportedAndTheRestConverts) {
  write_file(src_ / "Inbox" / "a.eml", message("a"));
  write_file(src_ / "Locked" / "b.eml", message("b"));
  write_file(src_ / "Locked" / "Deeper" / "c.eml", message("c"));
  write_file(src_ / "Sent" / "d.eml", message("d"));
  fs::permissions(out_, fs::perms::all);
  fs::permissions(src_ / "Locked", fs::perms::none);
  ProcessResult r = run_convert_unprivileged(
      {"--quiet", "--output-dir", out_.string(), src_.string()}, tmp_.path());
  fs::permissions(src_ / "Locked", fs::perms::owner_all);
  ASSERT_NE(r.exit_code, 126) << "cannot run as another user";
  EXPECT_NE(r.err.find("Locked"), std::string::npos) << r.err;
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  expect_valid(psts[0]);
  EXPECT_EQ(subjects_in(psts[0]), (std::set<std::string>{"a", "d"}));
  EXPECT_EQ(r.exit_code, 1) << r.err;  // messages were left out
}

// Messages were left out, so the log names the folder with the reason, the summary
// counts it and the exit status is 1.
TEST_F(SourceFaults, UnlistableFolderIsInTheLogAndTheExitStatus) {
  write_file(src_ / "Inbox" / "a.eml", message("a"));
  write_file(src_ / "Locked" / "b.eml", message("b"));
  fs::permissions(out_, fs::perms::all);
  fs::permissions(src_ / "Locked", fs::perms::none);
  // Root runs the converter as nobody; any other user who can still list the folder
  // (a capability that overrides modes) cannot see the fault.
  if (::geteuid() != 0 && ::access((src_ / "Locked").c_str(), R_OK | X_OK) == 0) {
    fs::permissions(src_ / "Locked", fs::perms::owner_all);
    GTEST_SKIP() << "this user can list a folder of mode 000";
  }
  ProcessResult r = run_convert_unprivileged(
      {"--quiet", "--json", "--output-dir", out_.string(), src_.string()}, tmp_.path());
  fs::permissions(src_ / "Locked", fs::perms::owner_all);
  ASSERT_NE(r.exit_code, 126) << "cannot run as another user";
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("{\"kind\":\"folder-not-read\",\"path\":"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"exit\":1"), std::string::npos) << r.out;
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  EXPECT_EQ(subjects_in(psts[0]), (std::set<std::string>{"a"}));
  fs::path log = psts[0];
  log.replace_extension(".log");
  ASSERT_TRUE(fs::exists(log)) << "no log for a run that left a folder out";
  const std::string text = read_file(log);
  const std::string line = (src_ / "Locked").string() + "/: Permission denied";
  EXPECT_NE(text.find("Folders not read:\n" + line + "\n"), std::string::npos) << text;
}

// A listed file without read permission, converted by a user who is not root.
TEST_F(SourceFaults, FileWithoutReadPermissionIsLoggedAndTheRestConverts) {
  write_file(src_ / "Inbox" / "a.eml", message("a"));
  write_file(src_ / "Inbox" / "b.eml", message("b"));
  fs::permissions(out_, fs::perms::all);
  fs::permissions(src_ / "Inbox" / "b.eml", fs::perms::none);
  ProcessResult r = run_convert_unprivileged(
      {"--quiet", "--output-dir", out_.string(), src_.string()}, tmp_.path());
  ASSERT_NE(r.exit_code, 126) << "cannot run as another user";
  EXPECT_EQ(r.exit_code, 1) << r.err;
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  EXPECT_EQ(subjects_in(psts[0]), (std::set<std::string>{"a"}));
  fs::path log = psts[0];
  log.replace_extension(".log");
  EXPECT_NE(read_file(log).find("b.eml"), std::string::npos) << read_file(log);
}

// A file-symlink loop and a folder that can be read but not searched: each failure
// gives the system's own reason, never "no such file".
TEST_F(SourceFaults, LinkLoopAndUnsearchableFolderGiveTheSystemsReason) {
  write_file(src_ / "Inbox" / "a.eml", message("a"));
  fs::create_symlink("loop2.eml", src_ / "Inbox" / "loop1.eml");
  fs::create_symlink("loop1.eml", src_ / "Inbox" / "loop2.eml");
  write_file(src_ / "Shut" / "c.eml", message("c"));
  fs::permissions(out_, fs::perms::all);
  fs::permissions(src_ / "Shut", fs::perms::owner_read | fs::perms::owner_write |
                                     fs::perms::group_read | fs::perms::others_read);
  ProcessResult r = run_convert_unprivileged(
      {"--quiet", "--output-dir", out_.string(), src_.string()}, tmp_.path());
  fs::permissions(src_ / "Shut", fs::perms::owner_all);
  ASSERT_NE(r.exit_code, 126) << "cannot run as another user";
  EXPECT_EQ(r.exit_code, 1) << r.err;
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  EXPECT_EQ(subjects_in(psts[0]), (std::set<std::string>{"a"}));
  fs::path log = psts[0];
  log.replace_extension(".log");
  const std::string text = read_file(log);
  EXPECT_EQ(text.find("no such file"), std::string::npos) << text;
  EXPECT_NE(text.find("loop1.eml: Too many levels of symbolic links\n"), std::string::npos) << text;
  EXPECT_NE(text.find("loop2.eml: Too many levels of symbolic links\n"), std::string::npos) << text;
  EXPECT_NE(text.find("c.eml: Permission denied\n"), std::string::npos) << text;
}

// Makes `levels` nested folders of 200-byte names below `root`, each with one message
// file, through directory descriptors (a path past PATH_MAX cannot be made by name).
void make_deep_tree(const fs::path& root, int levels) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const std::string name(200, 'd');
  for (int i = 1; i <= levels; ++i) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    const std::string file = "level" + std::to_string(i) + ".eml";
    const int f = ::openat(fd, file.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(f, 0);
    const std::string text = message("level" + std::to_string(i));
    ASSERT_EQ(::write(f, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(f);
  }
  ::close(fd);
}

// Removes a tree whatever its depth (std::filesystem works by whole paths).
void remove_deep_tree(int parent, const char* name) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    ::unlinkat(parent, name, 0);
    return;
  }
  if (DIR* dir = ::fdopendir(fd)) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
      if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
        names.emplace_back(e->d_name);
    }
    for (const std::string& n : names) remove_deep_tree(::dirfd(dir), n.c_str());
    ::closedir(dir);
  } else {
    ::close(fd);
  }
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

// Folders whose path is longer than the system takes (PATH_MAX, 4,096 bytes): the scan
// names the first of them as not listed, with the system's reason, and the exit status
// says the run was incomplete; every message above them converts. None is dropped
// silently.
TEST_F(SourceFaults, FoldersPastThePathLimitAreReportedNotSkipped) {
  write_file(src_ / "top.eml", message("top"));
  constexpr int kLevels = 25;  // 25 x 201 bytes: levels 20 and below lie past 4,096 bytes
  make_deep_tree(src_, kLevels);
  ProcessResult r = run_process(
      {kConvert.string(), "--quiet", "--json", "--output-dir", out_.string(), src_.string()});
  remove_deep_tree(AT_FDCWD, src_.c_str());
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("{\"kind\":\"folder-not-read\""), std::string::npos) << r.out;
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  expect_valid(psts[0]);
  // Each message whose path fits converts; the first folder that does not is reported.
  const std::size_t base = src_.native().size() + 1;
  std::set<std::string> expected{"top"};
  for (int i = 1; i <= kLevels; ++i) {
    const std::string name = "level" + std::to_string(i);
    if (base + 201 * static_cast<std::size_t>(i) + name.size() + 4 >= PATH_MAX) break;
    expected.insert(name);
  }
  EXPECT_GT(expected.size(), 10u);
  EXPECT_LT(expected.size(), static_cast<std::size_t>(kLevels) + 1);
  EXPECT_EQ(subjects_in(psts[0]), expected);
}

// A message file of 2 GiB (sparse, so it costs no disk) next to ordinary ones: with the
// address space limited to 1 GiB, a converter that read it whole could not go on; it
// must convert it or report it, and convert the others.
TEST_F(SourceFaults, BigTwoGigabyteMessageIsConvertedOrReportedWithinBoundedMemory) {
  write_file(src_ / "Inbox" / "a.eml", message("a"));
  write_file(src_ / "Inbox" / "z.eml", message("z"));
  const fs::path huge = src_ / "Inbox" / "huge.eml";
  write_file(huge, message("huge", "start of a long body\r\n"));
  fs::resize_file(huge, (2ull << 30) + 12345);
  const auto before = tree_state(src_);

  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    rlimit lim{1ull << 30, 1ull << 30};
    ::setrlimit(RLIMIT_AS, &lim);
    ::execl(kConvert.c_str(), kConvert.c_str(), "--quiet", "--output-dir", out_.c_str(),
            src_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage use{};
  ::wait4(pid, &status, 0, &use);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  const int rc = WEXITSTATUS(status);
  EXPECT_TRUE(rc == 0 || rc == 1) << rc;
  EXPECT_LT(use.ru_maxrss, 1L << 20) << "kB resident at most";  // 1 GiB in kB
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u);
  expect_valid(psts[0]);
  const auto subjects = subjects_in(psts[0]);
  EXPECT_TRUE(subjects.count("a") && subjects.count("z"));
  if (!subjects.count("huge")) {
    EXPECT_EQ(rc, 1);
    fs::path log = psts[0];
    log.replace_extension(".log");
    EXPECT_NE(read_file(log).find("huge.eml"), std::string::npos);
  }
  EXPECT_EQ(tree_state(src_), before);
}

// A varied tree (nested folders, .emlx, read-only files and folders, links, files that
// are no messages, an odd name) is read and never changed: content, modes, modification
// and status-change times all stay.
TEST_F(SourceFaults, SourceTreeIsUnchangedDownToModesAndTimes) {
  write_file(src_ / "Inbox" / "1.eml", message("one"));
  write_file(src_ / "Inbox" / "Sub" / "2.eml",
             message("two", "--b\r\n") + "");  // a body that looks like a boundary, harmless
  const std::string emlx = message("three");
  write_file(src_ / "Archive" / "3.emlx",
             std::to_string(emlx.size()) + "\n" + emlx +
                 "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>flags</key>"
                 "<integer>1</integer></dict></plist>\n");
  write_file(src_ / "Archive" / "notes.txt", "not a message");
  write_file(src_ / "Archive" / std::string("na\xefve \xff.eml"), message("four"));
  write_file(src_ / "ReadOnly" / "5.eml", message("five"));
  fs::permissions(src_ / "ReadOnly" / "5.eml", fs::perms::owner_read);
  fs::permissions(src_ / "ReadOnly", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_symlink("../Inbox/1.eml", src_ / "Archive" / "link.eml");
  // Old time stamps, so a rewrite within the same second would still show.
  for (const auto& e : fs::recursive_directory_iterator(src_)) {
    if (e.is_symlink()) continue;
    timespec t[2] = {{1000000000, 123}, {1000000000, 456}};
    ::utimensat(AT_FDCWD, e.path().c_str(), t, 0);
  }
  const auto before = tree_state(src_);
  ProcessResult r =
      run_process({kConvert.string(), "--quiet", "--output-dir", out_.string(), src_.string()});
  EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.err;
  const auto after = tree_state(src_);
  fs::permissions(src_ / "ReadOnly", fs::perms::owner_all);
  EXPECT_EQ(after, before);
  const std::vector<fs::path> psts = psts_in(out_);
  ASSERT_EQ(psts.size(), 1u) << r.err;
  const auto subjects = subjects_in(psts[0]);
  for (const char* s : {"one", "two", "three", "four", "five"}) EXPECT_TRUE(subjects.count(s)) << s;
}

}  // namespace
