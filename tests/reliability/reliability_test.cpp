// The converter under faults: killed at random moments, stopped by the file size limit,
// fed odd and vanishing source files, pointed at an output folder it cannot use. Every
// PST left behind must open in the independent readers and in our structural check, and
// the source files must come out of every run untouched.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pst/check/check.hpp"
#include "tests/support/exporters.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace fs = std::filesystem;
using namespace larkfield::test;
using namespace std::chrono_literals;

namespace {

const fs::path kConvert = LARKFIELD_CONVERT_EXE;

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// Writes a deterministic mailbox-shaped tree with the benchmark generator.
void generate_mailbox(const fs::path& out, int messages, int folders, int seed) {
  ProcessResult r = run_process({LARKFIELD_SYSTEM_PYTHON, LARKFIELD_GEN_MAILBOX, out.string(),
                                 "--messages", std::to_string(messages), "--folders",
                                 std::to_string(folders), "--seed", std::to_string(seed),
                                 "--big-every", "97", "--big-size", "300000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

void write_file(const fs::path& p, std::string_view text) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << text;
}

std::string simple_message(std::string_view subject) {
  return "From: Ann Example <ann@example.org>\r\nTo: bob@example.net\r\nSubject: " +
         std::string(subject) +
         "\r\nDate: Tue, 03 Mar 2015 10:00:00 +0100\r\nMessage-ID: <" + std::string(subject) +
         "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
         "Body of " +
         std::string(subject) + "\r\n";
}

std::vector<fs::path> pst_files(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".pst") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<fs::path> all_files(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Content hash, mode, size and modification time of every entry below `root`: what a
// run must not change.
std::map<std::string, std::string> tree_state(const fs::path& root) {
  std::map<std::string, std::string> state;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    std::string v = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IRUSR)) v += " " + sha256_file(e.path());
    state[fs::relative(e.path(), root).string()] = v;
  }
  return state;
}

// Starts the converter as a child with its output thrown away; `file_size_limit` (bytes)
// sets RLIMIT_FSIZE in the child, with SIGXFSZ ignored so that writes fail with EFBIG.
pid_t spawn_convert(const std::vector<std::string>& args, rlim_t file_size_limit = 0) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (file_size_limit) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit lim{file_size_limit, file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    std::vector<char*> argv;
    std::string exe = kConvert.string();
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

struct Reading {
  // Per folder path, one fingerprint per message (subject, class, attachment names and
  // hashes), in contents-table order.
  std::map<std::string, std::vector<std::string>> folders;
  std::size_t messages = 0;
};

// What libpff reads of a PST: per folder, one fingerprint per message in table order.
Reading read_with_libpff(const fs::path& pst) {
  Reading out;
  OracleDump d = run_oracle(pst);
  EXPECT_EQ(d.exit_code, 0) << pst << "\n" << d.text.substr(0, 4000);
  for (const auto& f : d.folders) {
    auto& list = out.folders[f.path];
    for (const OracleMessage* m : d.messages_in(f)) {
      std::string print = m->subject + "|" + m->message_class;
      for (const auto& a : m->attachments) print += "|" + a.long_filename + ":" + a.sha256;
      list.push_back(print);
      ++out.messages;
    }
  }
  return out;
}

void expect_opens_everywhere(const fs::path& pst, bool crashed) {
  larkfield::pst::check::Options opt;
  opt.crash_state = crashed;
  auto report = larkfield::pst::check::verify_file(pst, opt);
  EXPECT_TRUE(report.readable && report.ok()) << pst << "\n" << report.text();
  ProcessResult info = run_process({LARKFIELD_PFFINFO_EXE, pst.string()});
  EXPECT_EQ(info.exit_code, 0) << info.out << info.err;
  if (readpst_available()) {
    ExportResult rp = run_readpst(pst);
    EXPECT_EQ(rp.exit_code, 0) << rp.output;
  }
}

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!oracle_available()) GTEST_SKIP() << "pypff is not installed";
  }
  TempDir tmp_{"larkfield-reliability"};
};

// Killed at random moments: every file left behind is a valid PST holding, folder by
// folder, a prefix of what the complete run writes, each message whole.
TEST_F(Reliability, KilledAtRandomMomentsLeavesAValidPrefix) {
  const int messages = env_int("LARKFIELD_KILL_MESSAGES", 400);
  const int kills = env_int("LARKFIELD_KILL_POINTS", 6);
  const fs::path src = tmp_.path() / "mail";
  generate_mailbox(src, messages, 6, 7);
  const auto before = tree_state(src);

  // The complete run, timed, as the reference.
  const fs::path ref_dir = tmp_.path() / "ref";
  fs::create_directories(ref_dir);
  auto t0 = std::chrono::steady_clock::now();
  int rc = wait_for(spawn_convert({"--quiet", "--commit-every", "25", "--output-dir",
                                   ref_dir.string(), src.string()}));
  auto full = std::chrono::steady_clock::now() - t0;
  ASSERT_EQ(rc, 0);
  auto ref_files = pst_files(ref_dir);
  ASSERT_EQ(ref_files.size(), 1u);
  const Reading reference = read_with_libpff(ref_files[0]);
  ASSERT_EQ(reference.messages, static_cast<std::size_t>(messages));

  std::mt19937 rng(20261207);
  const auto full_us = std::chrono::duration_cast<std::chrono::microseconds>(full).count();
  std::size_t largest_prefix = 0;
  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill point " + std::to_string(k));
    const fs::path out = tmp_.path() / ("kill" + std::to_string(k));
    fs::create_directories(out);
    std::uniform_int_distribution<long> when(full_us / 20, full_us);
    pid_t pid = spawn_convert(
        {"--quiet", "--commit-every", "25", "--output-dir", out.string(), src.string()});
    std::this_thread::sleep_for(std::chrono::microseconds(when(rng)));
    ::kill(pid, SIGKILL);
    wait_for(pid);

    auto files = pst_files(out);
    if (files.empty()) continue;  // killed before the file was created
    ASSERT_EQ(files.size(), 1u);
    expect_opens_everywhere(files[0], /*crashed=*/true);
    const Reading got = read_with_libpff(files[0]);
    for (const auto& [path, list] : got.folders) {
      auto it = reference.folders.find(path);
      ASSERT_NE(it, reference.folders.end()) << "folder not in the complete run: " << path;
      ASSERT_LE(list.size(), it->second.size()) << path;
      for (std::size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list[i], it->second[i]) << path << " message " << i;
    }
    largest_prefix = std::max(largest_prefix, got.messages);

    // A new run into the same folder writes a new file beside the old one.
    if (k == 0) {
      std::this_thread::sleep_for(1100ms);  // the file name carries the time to the second
      ASSERT_EQ(wait_for(spawn_convert({"--quiet", "--output-dir", out.string(), src.string()})),
                0);
      auto after = pst_files(out);
      ASSERT_EQ(after.size(), 2u);
      EXPECT_EQ(read_with_libpff(after[1] == files[0] ? after[0] : after[1]).messages,
                static_cast<std::size_t>(messages));
    }
  }
  // With commits every 25 messages, some kill must have found committed messages.
  EXPECT_GT(largest_prefix, 0u);
  EXPECT_EQ(tree_state(src), before) << "a source file changed";
}

// The file size limit stops the run: exit status 2, a clear message, the PST valid up to
// its last commit, and the log says where it stopped.
TEST_F(Reliability, FileSizeLimitGivesAClearErrorAndAValidFile) {
  const fs::path src = tmp_.path() / "mail";
  generate_mailbox(src, 300, 4, 3);
  const fs::path out = tmp_.path() / "out";
  fs::create_directories(out);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{3 << 20, 3 << 20};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    int err = ::open((out / "stderr.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ::dup2(err, 2);
    ::execl(kConvert.c_str(), kConvert.c_str(), "--quiet", "--commit-every", "20",
            "--output-dir", out.c_str(), src.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_EQ(wait_for(pid), 2);
  std::ifstream err_in(out / "stderr.txt");
  std::string err((std::istreambuf_iterator<char>(err_in)), {});
  EXPECT_NE(err.find("File too large"), std::string::npos) << err;
  auto files = pst_files(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_LE(fs::file_size(files[0]), 3u << 20);
  expect_opens_everywhere(files[0], /*crashed=*/true);
  const Reading got = read_with_libpff(files[0]);
  EXPECT_GT(got.messages, 0u) << "nothing was committed before the limit";
  EXPECT_LT(got.messages, 300u);
  fs::path log = files[0];
  log.replace_extension(".log");
  ASSERT_TRUE(fs::exists(log));
  std::ifstream log_in(log);
  std::string log_text((std::istreambuf_iterator<char>(log_in)), {});
  EXPECT_NE(log_text.find("stopped"), std::string::npos) << log_text;
}

// Odd entries among the sources are reported and the rest converts; nothing of the
// source tree changes.
TEST_F(Reliability, OddSourceFilesAreReportedAndTheRestConverts) {
  const fs::path src = tmp_.path() / "mail";
  write_file(src / "Inbox" / "good1.eml", simple_message("good1"));
  write_file(src / "Inbox" / "good2.emlx", std::to_string(simple_message("good2").size()) +
                                              "\n" + simple_message("good2") +
                                              "<?xml version=\"1.0\"?><plist/>\n");
  write_file(src / "Inbox" / "empty.eml", "");                         // zero bytes
  fs::create_directories(src / "Inbox" / "folder.eml");                // a directory
  write_file(src / "Inbox" / "colon: and \\ back.eml", simple_message("colon"));
  write_file(src / "Inbox" / std::string("latin1-\xe9t\xe9.eml"), simple_message("latin1"));
  std::string deep = "Deep";
  fs::path long_dir = src;
  for (int i = 0; i < 6; ++i) long_dir /= std::string(50, static_cast<char>('a' + i));
  write_file(long_dir / (std::string(60, 'm') + ".eml"), simple_message("longpath"));
  write_file(src / "Inbox" / "garbage.eml", std::string("\x00\xff\xfe garbage \x01\x02", 14));
  const auto before = tree_state(src);

  const fs::path out = tmp_.path() / "out";
  fs::create_directories(out);
  ProcessResult r = run_process(
      {kConvert.string(), "--quiet", "--json", "--output-dir", out.string(), src.string()});
  // Every readable file becomes an item (the empty and the garbage file as stand-ins, or
  // failures in the log); the run must not stop because of them.
  ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.err;
  auto files = pst_files(out);
  ASSERT_EQ(files.size(), 1u);
  expect_opens_everywhere(files[0], false);
  const Reading got = read_with_libpff(files[0]);
  std::set<std::string> subjects;
  for (const auto& [path, list] : got.folders)
    for (const auto& p : list) subjects.insert(p.substr(0, p.find('|')));
  for (const char* s : {"good1", "good2", "colon", "latin1", "longpath"})
    EXPECT_TRUE(subjects.count(s)) << "missing " << s << "\n" << r.out;
  EXPECT_NE(r.out.find("\"converted\""), std::string::npos) << r.out;
  EXPECT_EQ(tree_state(src), before) << "a source file changed";
}

// A source file that turns unreadable is a failure in the log, not the end of the run.
TEST_F(Reliability, UnreadableSourceIsLoggedAndTheRestConverts) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const fs::path src = tmp_.path() / "mail";
  write_file(src / "Inbox" / "a.eml", simple_message("a"));
  write_file(src / "Inbox" / "b.eml", simple_message("b"));
  fs::permissions(src / "Inbox" / "b.eml", fs::perms::none);
  const fs::path out = tmp_.path() / "out";
  fs::create_directories(out);
  ProcessResult r =
      run_process({kConvert.string(), "--quiet", "--output-dir", out.string(), src.string()});
  fs::permissions(src / "Inbox" / "b.eml", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  auto files = pst_files(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_with_libpff(files[0]).messages, 1u);
  fs::path log = files[0];
  log.replace_extension(".log");
  std::ifstream log_in(log);
  std::string log_text((std::istreambuf_iterator<char>(log_in)), {});
  EXPECT_NE(log_text.find("b.eml"), std::string::npos) << log_text;
}

// An output folder that is missing, is a file, or cannot take files: a clear message,
// exit status 2, nothing created anywhere.
TEST_F(Reliability, UnusableOutputFolderCreatesNothing) {
  const fs::path src = tmp_.path() / "mail";
  write_file(src / "Inbox" / "a.eml", simple_message("a"));
  const fs::path plain_file = tmp_.path() / "not-a-folder";
  write_file(plain_file, "x");
  const auto before = all_files(tmp_.path());
  for (const fs::path& out : {tmp_.path() / "missing", plain_file, fs::path("/proc/1")}) {
    SCOPED_TRACE(out.string());
    ProcessResult r =
        run_process({kConvert.string(), "--quiet", "--output-dir", out.string(), src.string()});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(all_files(tmp_.path()), before);
  }
}

}  // namespace
