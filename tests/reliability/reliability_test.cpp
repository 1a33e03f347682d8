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
#include "tests/support/readers.hpp"
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
  ProcessResult r =
      run_process({LARKFIELD_SYSTEM_PYTHON, LARKFIELD_GEN_MAILBOX, out.string(), "--messages",
                   std::to_string(messages), "--folders", std::to_string(folders), "--seed",
                   std::to_string(seed), "--big-every", "97", "--big-size", "300000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

void write_file(const fs::path& p, std::string_view text) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << text;
}

std::string simple_message(std::string_view subject) {
  return "From: Ann Example <ann@example.org>\r\nTo: bob@example.net\r\nSubject: " +
         std::string(subject) + "\r\nDate: Tue, 03 Mar 2015 10:00:00 +0100\r\nMessage-ID: <" +
         std::string(subject) +
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
  if (!pstsdk_dump_tool().empty()) {
    const PstsdkResult sdk = run_pstsdk_dump(pst);
    EXPECT_EQ(sdk.exit_code, 0) << pst << "\n" << sdk.output.substr(0, 4000);
    EXPECT_EQ(sdk.problems, 0) << pst << "\n" << sdk.output.substr(0, 4000);
  }
}

// The end of the file the header names (ibFileEof).
std::uint64_t header_eof(const fs::path& pst) {
  std::ifstream in(pst, std::ios::binary);
  unsigned char b[8] = {};
  in.seekg(184);
  in.read(reinterpret_cast<char*>(b), 8);
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A run the PST's disk stopped (full, or the file-size limit): exit status 2, the reason
// on stderr under the PST's own name, the file cut back to its last commit and valid in
// every reader, and stderr and the log stating the number of messages it really holds.
// Returns that number.
std::size_t expect_stopped_by_the_disk(const fs::path& out, const std::string& err,
                                       const std::string& reason);

std::size_t expect_stopped_by_the_disk(const fs::path& out, const std::string& err,
                                       const std::string& reason) {
  EXPECT_NE(err.find(reason), std::string::npos) << err;
  EXPECT_EQ(err.find(".partial-"), std::string::npos) << "names the temporary file\n" << err;
  auto files = pst_files(out);
  EXPECT_EQ(files.size(), 1u) << err;
  if (files.size() != 1) return 0;
  const fs::path& pst = files[0];
  EXPECT_EQ(fs::file_size(pst), header_eof(pst)) << "the file does not end where its header says";
  // The file is its last commit, as after a kill: space released since the commit before
  // it is still marked in use (freed at the next commit), which the crash-state check allows.
  expect_opens_everywhere(pst, /*crashed=*/true);
  const std::size_t held = read_with_libpff(pst).messages;
  if (!pstsdk_dump_tool().empty()) {
    PstsdkResult sdk = run_pstsdk_dump(pst);
    EXPECT_EQ(sdk.counters["messages walked"], static_cast<std::int64_t>(held));
  }
  const std::string holds = " holds " + std::to_string(held) +
                            (held == 1 ? " message" : " messages") + " committed before the stop";
  EXPECT_NE(err.find(holds), std::string::npos) << "want \"" << holds << "\"\n" << err;
  fs::path log = pst;
  log.replace_extension(".log");
  EXPECT_NE(err.find("the full list: " + log.string()), std::string::npos) << err;
  const std::string log_text = read_text(log);
  EXPECT_NE(log_text.find("The run stopped at message"), std::string::npos) << log_text;
  EXPECT_NE(log_text.find(reason), std::string::npos) << log_text;
  EXPECT_NE(log_text.find("The PST holds " + std::to_string(held) +
                          (held == 1 ? " message," : " messages,")),
            std::string::npos)
      << log_text;
  return held;
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
  int rc = wait_for(spawn_convert(
      {"--quiet", "--commit-every", "25", "--output-dir", ref_dir.string(), src.string()}));
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

// The file size limit stops the run (EFBIG, as a full disk): see expect_stopped_by_the_disk.
TEST_F(Reliability, FileSizeLimitGivesAClearErrorAndAValidFile) {
  const fs::path src = tmp_.path() / "mail";
  generate_mailbox(src, 300, 4, 3);
  for (const char* every : {"20", ""}) {
    SCOPED_TRACE(std::string("--commit-every ") + every);
    const fs::path out = tmp_.path() / (std::string("out") + every);
    fs::create_directories(out);
    const fs::path err_file = tmp_.path() / "stderr.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_DFL);  // the converter itself must keep it from killing the run
      rlimit lim{3 << 20, 3 << 20};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      int err = ::open(err_file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      ::dup2(err, 2);
      if (*every) {
        ::execl(kConvert.c_str(), kConvert.c_str(), "--quiet", "--commit-every", every,
                "--output-dir", out.c_str(), src.c_str(), static_cast<char*>(nullptr));
      } else {
        ::execl(kConvert.c_str(), kConvert.c_str(), "--quiet", "--output-dir", out.c_str(),
                src.c_str(), static_cast<char*>(nullptr));
      }
      ::_exit(127);
    }
    ASSERT_EQ(wait_for(pid), 2);
    const std::string err = read_text(err_file);
    const std::size_t held = expect_stopped_by_the_disk(out, err, "File too large");
    if (*every) {
      EXPECT_GT(held, 0u) << "nothing was committed before the limit";
    }
    EXPECT_LT(held, 300u);
  }
}

// The output disk fills (a small tmpfs, when the test may mount one): the run stops as
// at the file-size limit, and the log, made when the PST was, is written in full.
TEST_F(Reliability, FullDiskGivesTheTrueCountAndALog) {
  const fs::path src = tmp_.path() / "mail";
  generate_mailbox(src, 300, 4, 5);
  const fs::path disk = tmp_.path() / "disk";
  fs::create_directories(disk);
  if (::geteuid() != 0 || ::access("/bin/mount", X_OK) != 0 ||
      run_process({"/bin/mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", disk.string()})
              .exit_code != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root and /bin/mount)";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() {
      try {
        run_process({"/bin/umount", at.string()});
      } catch (...) {
      }
    }
  } unmount{disk};
  for (const char* every : {"20", ""}) {
    SCOPED_TRACE(std::string("--commit-every ") + every);
    const fs::path out = disk / (std::string("out") + every);
    fs::create_directories(out);
    std::vector<std::string> args = {kConvert.string(), "--quiet"};
    if (*every) args.insert(args.end(), {"--commit-every", every});
    args.insert(args.end(), {"--output-dir", out.string(), src.string()});
    ProcessResult r = run_process(args);
    ASSERT_EQ(r.exit_code, 2) << r.err;
    const std::size_t held = expect_stopped_by_the_disk(out, r.err, "No space left on device");
    EXPECT_LT(held, 300u);
    fs::remove_all(out);
  }
}

// Odd entries among the sources are reported and the rest converts; nothing of the
// source tree changes.
TEST_F(Reliability, OddSourceFilesAreReportedAndTheRestConverts) {
  const fs::path src = tmp_.path() / "mail";
  write_file(src / "Inbox" / "good1.eml", simple_message("good1"));
  write_file(src / "Inbox" / "good2.emlx", std::to_string(simple_message("good2").size()) + "\n" +
                                               simple_message("good2") +
                                               "<?xml version=\"1.0\"?><plist/>\n");
  write_file(src / "Inbox" / "empty.eml", "");           // zero bytes
  fs::create_directories(src / "Inbox" / "folder.eml");  // a directory
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
