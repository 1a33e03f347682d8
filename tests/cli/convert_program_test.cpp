// larkfield-convert as a user runs it, its PST read back by the independent readers.

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include "tests/support/exporters.hpp"
#include "tests/support/oracle.hpp"
#include "tests/support/process.hpp"
#include "tests/support/readers.hpp"
#include "tests/support/sha256.hpp"

namespace fs = std::filesystem;
using namespace larkfield::test;

namespace {

const fs::path kConvert = LARKFIELD_CONVERT_EXE;
const fs::path kSamples = LARKFIELD_SAMPLE_MAILBOX;

std::vector<fs::path> Files(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

fs::path PstIn(const fs::path& dir) {
  for (const fs::path& p : Files(dir)) {
    if (p.extension() == ".pst") return p;
  }
  return {};
}

// "/Top of Personal Folders" and the folder's absolute path below "/".
std::string StorePath(const fs::path& folder) {
  std::string p = "/Top of Personal Folders";
  for (const auto& part : folder.relative_path()) p += "/" + part.string();
  return p;
}

TEST(ConvertProgram, SampleMailboxConvertsAndEveryReaderSeesIt) {
  if (!oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir out("larkfield-cli-sample");
  const ProcessResult r = run_process({kConvert.string(), "--quiet", "--json", "--output-dir",
                                       out.path().string(), kSamples.string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("\"converted\":28"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"failed\":0"), std::string::npos) << r.out;
  // The bytes read are the message files' sizes, every one of them.
  std::uintmax_t source_bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(kSamples)) {
    if (e.is_regular_file()) source_bytes += e.file_size();
  }
  ASSERT_GT(source_bytes, 0u);
  EXPECT_NE(r.out.find("\"bytes\":" + std::to_string(source_bytes) + ","), std::string::npos)
      << r.out;
  const auto files = Files(out.path());
  const auto pst = std::find_if(files.begin(), files.end(),
                                [](const fs::path& p) { return p.extension() == ".pst"; });
  ASSERT_NE(pst, files.end());
  EXPECT_TRUE(std::regex_match(
      pst->filename().string(),
      std::regex(R"(Larkfield\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d\.pst)")))
      << *pst;
  EXPECT_NE(r.out.find(pst->string()), std::string::npos);

  const OracleDump d = run_oracle(*pst);
  ASSERT_EQ(d.exit_code, 0) << d.text.substr(0, 3000);
  ASSERT_TRUE(d.store_name);
  EXPECT_EQ(d.store_name->rfind("Larkfield : Created - ", 0), 0u) << *d.store_name;

  // Every source folder is a folder of the store with as many messages as files.
  std::map<fs::path, std::size_t> expected;
  for (const auto& e : fs::recursive_directory_iterator(kSamples)) {
    if (e.is_regular_file()) ++expected[e.path().parent_path()];
  }
  std::size_t total = 0;
  for (const auto& [folder, count] : expected) {
    const OracleFolder* f = d.folder(StorePath(folder));
    ASSERT_NE(f, nullptr) << StorePath(folder) << "\n" << d.text.substr(0, 2000);
    EXPECT_EQ(f->messages, count) << folder;
    total += count;
  }
  EXPECT_EQ(total, 28u);
  // Ancestors without files of their own are there too, empty.
  const OracleFolder* projects = d.folder(StorePath(kSamples / "Inbox" / "Projects"));
  ASSERT_NE(projects, nullptr);
  EXPECT_GE(projects->subfolders, 1u);

  // Every message is read; a message's subject, sender and body arrive.
  const OracleFolder* inbox = d.folder(StorePath(kSamples / "Inbox"));
  ASSERT_NE(inbox, nullptr);
  const OracleMessage* invoice = nullptr;
  for (const OracleMessage* m : d.messages_in(*inbox)) {
    if (m->subject == "Rechnung M\xc3\xa4rz") invoice = m;
    const OracleProperty* flags = m->property(0x0E070003);
    ASSERT_NE(flags, nullptr);
    ASSERT_TRUE(flags->value);
    const int v = std::stoi(*flags->value);
    EXPECT_EQ(v & 0x01, 0x01) << m->subject;  // read
    EXPECT_EQ((v & 0x10) != 0, !m->attachments.empty()) << m->subject;
  }
  ASSERT_NE(invoice, nullptr) << d.text.substr(0, 3000);
  EXPECT_EQ(invoice->sender, "J\xc3\xb6rg M\xc3\xbcller");
  const OracleBody* body = invoice->body("plain");
  ASSERT_NE(body, nullptr);
  ASSERT_TRUE(body->text);
  EXPECT_NE(body->text->find("anbei die Rechnung"), std::string::npos);

  if (readpst_available()) {
    const ExportResult rp = run_readpst(*pst);
    EXPECT_EQ(rp.exit_code, 0) << rp.output;
    EXPECT_EQ(rp.total_messages(), 28u) << rp.output;
  }
  if (pffexport_available()) {
    const ExportResult pe = run_pffexport(*pst);
    EXPECT_EQ(pe.exit_code, 0) << pe.output;
    EXPECT_EQ(pe.total_messages(), 28u);
  }
}

// The sample mailbox's PST through the two readers written against Outlook's files:
// pstsdk reports no problem, pst-extractor lists every message (and ends).
TEST(ConvertProgram, SampleMailboxReadsInPstsdkAndPstExtractor) {
  const std::string missing = readers_missing();
  if (!missing.empty()) GTEST_SKIP() << "readers missing: " << missing;
  TempDir out("larkfield-cli-readers");
  const ProcessResult r = run_process(
      {kConvert.string(), "--quiet", "--output-dir", out.path().string(), kSamples.string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const fs::path pst = PstIn(out.path());
  ASSERT_FALSE(pst.empty());
  const PstsdkResult sdk = run_pstsdk_dump(pst, 300);
  EXPECT_EQ(sdk.exit_code, 0) << sdk.output.substr(0, 4000);
  EXPECT_EQ(sdk.problems, 0) << sdk.output.substr(0, 4000);
  auto counter = [&](const char* name) {
    return sdk.counters.count(name) ? sdk.counters.at(name) : 0;
  };
  // pstsdk walks attached messages as messages too.
  EXPECT_EQ(counter("messages walked") - counter("embedded messages"), 28) << sdk.output;
  const ExtractorResult px = run_pst_extractor(pst, 300);
  ASSERT_EQ(px.exit_code, 0) << "(124: pst-extractor did not end)\n" << px.output;
  EXPECT_EQ(px.totals.at("messages"), 28) << px.output;
}

// A message of our own with an attachment and an attached message, in a nested tree with
// a non-ASCII folder name: every part arrives, in every reader.
TEST(ConvertProgram, AMessageArrivesWholeInEveryReader) {
  if (!oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir tmp("larkfield-cli-whole");
  const fs::path folder = tmp.path() / "mail" / "Entw\xc3\xbcrfe" / "Projekt";
  fs::create_directories(folder);
  const std::string csv = "date,amount\r\n2015-03-01,12.50\r\n";
  std::ofstream(folder / "m.eml", std::ios::binary)
      << "From: =?utf-8?b?SsO2cmcgTcO8bGxlcg==?= <joerg@example.de>\r\n"
         "To: Ann Example <ann@example.org>\r\n"
         "Subject: =?utf-8?q?Rechnung_M=C3=A4rz?=\r\n"
         "Date: Tue, 10 Mar 2015 16:45:00 +0100\r\nMessage-ID: <whole@example.de>\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nanbei die Rechnung.\r\n"
         "--b1\r\nContent-Type: text/csv; name=\"r.csv\"\r\n"
         "Content-Disposition: attachment; filename=\"r.csv\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nZGF0ZSxhbW91bnQNCjIwMTUtMDMtMDEsMTIuNTANCg==\r\n"
         "--b1\r\nContent-Type: message/rfc822\r\n\r\n"
         "From: bob@example.net\r\nSubject: Inner note\r\nMessage-ID: <inner@x>\r\n\r\nhi\r\n"
         "--b1--\r\n";
  const fs::path out = tmp.path() / "out";
  fs::create_directories(out);
  const ProcessResult r = run_process(
      {kConvert.string(), "--quiet", "--output-dir", out.string(), (tmp.path() / "mail").string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const fs::path pst = PstIn(out);
  const OracleDump d = run_oracle(pst);
  ASSERT_EQ(d.exit_code, 0) << d.text.substr(0, 3000);
  const OracleFolder* f = d.folder(StorePath(folder));
  ASSERT_NE(f, nullptr) << d.text.substr(0, 3000);
  ASSERT_EQ(d.messages_in(*f).size(), 1u);
  const OracleMessage& m = *d.messages_in(*f)[0];
  EXPECT_EQ(m.subject, "Rechnung M\xc3\xa4rz");
  EXPECT_EQ(m.sender, "J\xc3\xb6rg M\xc3\xbcller");
  ASSERT_NE(m.body("plain"), nullptr);
  EXPECT_NE(m.body("plain")->text.value_or("").find("anbei die Rechnung."), std::string::npos);
  ASSERT_EQ(m.recipients.size(), 1u);
  EXPECT_EQ(m.recipients[0].email, "ann@example.org");
  ASSERT_EQ(m.attachments.size(), 2u);
  EXPECT_EQ(m.attachments[0].long_filename, "r.csv");
  EXPECT_EQ(m.attachments[0].sha256, sha256_hex(csv));
  EXPECT_TRUE(m.attachments[1].embedded);
  const OracleMessage* inner = d.message(m.attachments[1].key);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->subject, "Inner note");
  EXPECT_EQ(std::stoi(m.property(0x0E070003)->value.value_or("0")), 0x11);

  if (readpst_available()) {
    const ExportResult rp = run_readpst(pst);
    ASSERT_EQ(rp.exit_code, 0) << rp.output;
    ASSERT_EQ(rp.total_messages(), 1u);
    const ExportedMessage* got = nullptr;
    for (const auto& ef : rp.folders) {
      if (!ef.messages.empty()) got = &ef.messages[0];
    }
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->subject, "Rechnung M\xc3\xa4rz");
    bool csv_found = false;
    for (const auto& a : got->attachments) csv_found |= a.sha256 == sha256_hex(csv);
    EXPECT_TRUE(csv_found);
  }
}

TEST(ConvertProgram, UsageErrorsHelpAndVersion) {
  TempDir tmp("larkfield-cli-usage");
  const ProcessResult version = run_process({kConvert.string(), "--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("larkfield-convert", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("License: MIT"), std::string::npos) << version.out;
  const ProcessResult help = run_process({kConvert.string(), "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Usage: larkfield-convert [options] SOURCE..."), std::string::npos);
  EXPECT_NE(help.out.find("  130  stopped by SIGINT"), std::string::npos) << help.out;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--bogus", "x"}, {"--commit-every", "0", "x"}}) {
    std::vector<std::string> argv{kConvert.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = run_process(argv, tmp.path());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("larkfield-convert: "), std::string::npos) << r.err;
  }
  // --json answers whatever the outcome, bad usage too.
  const ProcessResult bad = run_process({kConvert.string(), "--json", "--out=x", "a"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out.rfind("{\"schema\":1,\"outcome\":\"usage-error\",\"exit\":2,", 0), 0u)
      << bad.out;
  EXPECT_NE(bad.err.find("unrecognized option '--out'"), std::string::npos) << bad.err;
  // A missing source alone: the system's reason, and nothing written.
  const ProcessResult missing =
      run_process({kConvert.string(), "--json", (tmp.path() / "nope").string()}, tmp.path());
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
  EXPECT_NE(missing.out.find("\"outcome\":\"not-started\""), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find("\"kind\":\"source-not-read\""), std::string::npos) << missing.out;
  // A folder without message files: nothing to write.
  fs::create_directories(tmp.path() / "empty");
  std::ofstream(tmp.path() / "empty" / "readme.txt") << "x";
  const ProcessResult none = run_process({kConvert.string(), "empty"}, tmp.path());
  EXPECT_EQ(none.exit_code, 2);
  EXPECT_EQ(Files(tmp.path()).size(), 1u);  // only "empty"
}

TEST(ConvertProgram, TheLegacyCharsetReadsRaw8BitHeaders) {
  if (!oracle_available()) GTEST_SKIP() << "pypff is not installed";
  TempDir tmp("larkfield-cli-charset");
  fs::create_directories(tmp.path() / "mail" / "Inbox");
  // "Привет" in KOI8-R, unlabelled.
  std::ofstream(tmp.path() / "mail" / "Inbox" / "k.eml", std::ios::binary)
      << "From: a@example.org\r\nSubject: \xf0\xd2\xc9\xd7\xc5\xd4\r\nMessage-ID: <k@x>\r\n"
         "Date: Tue, 03 Mar 2015 10:00:00 +0100\r\n\r\nbody\r\n";
  fs::create_directories(tmp.path() / "out");
  const ProcessResult r =
      run_process({kConvert.string(), "--quiet", "--legacy-charset", "koi8-r", "--output-dir",
                   (tmp.path() / "out").string(), (tmp.path() / "mail").string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const OracleDump d = run_oracle(PstIn(tmp.path() / "out"));
  const OracleFolder* inbox = d.folder(StorePath(tmp.path() / "mail" / "Inbox"));
  ASSERT_NE(inbox, nullptr) << d.text.substr(0, 2000);
  ASSERT_EQ(d.messages_in(*inbox).size(), 1u);
  EXPECT_EQ(d.messages_in(*inbox)[0]->subject, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
}

// Sources from standard input and from a list, one of them missing and one given twice:
// the others convert, each file once, and the exit status says something was left out.
TEST(ConvertProgram, SourcesFromListsMissingAndRepeatedOnes) {
  TempDir tmp("larkfield-cli-lists");
  const fs::path mail = tmp.path() / "mail" / "Inbox";
  fs::create_directories(mail);
  for (const char* name : {"a.eml", "b.eml", "c.eml"}) {
    std::ofstream(mail / name) << "Subject: " << name << "\r\nMessage-ID: <" << name
                               << "@x>\r\n\r\nbody\r\n";
  }
  std::ofstream(tmp.path() / "list") << (mail / "c.eml").string() << "\n"
                                     << (tmp.path() / "gone").string() << "\n";
  std::ofstream(tmp.path() / "stdin") << (mail / "a.eml").string() << "\n"
                                      << (tmp.path() / "mail").string() << "\n";
  const fs::path out = tmp.path() / "out";
  fs::create_directories(out);
  // The folder comes after one of its files and again from the list: each file once.
  const ProcessResult r =
      run_process({"/bin/sh", "-c", "exec \"$0\" \"$@\" < stdin", kConvert.string(), "--json", "-q",
                   "-o", out.string(), "-", "-T", "list", (tmp.path() / "mail").string()},
                  tmp.path());
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.out.find("\"messages\":3,\"converted\":3,"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("{\"kind\":\"source-not-read\",\"path\":\"" + (tmp.path() / "gone").string() +
                 "\",\"reason\":\"No such file or directory\"}"),
      std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find("{\"kind\":\"source-repeated\",\"path\":\"" + (mail / "c.eml").string() + "\""),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("cannot read " + (tmp.path() / "gone").string() +
                       ": No such file or directory; left out"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find((tmp.path() / "mail").string() +
                       ": given more than once; its files are converted once"),
            std::string::npos)
      << r.err;
  const OracleDump d = run_oracle(PstIn(out));
  if (d.exit_code == 0) {
    const OracleFolder* inbox = d.folder(StorePath(mail));
    ASSERT_NE(inbox, nullptr);
    EXPECT_EQ(d.messages_in(*inbox).size(), 3u);
  }
}

// File names and headers that a terminal or a log reader would act on: nothing reaches
// standard error, the log or the JSON unescaped, and the JSON keeps each name's bytes.
TEST(ConvertProgram, HostileNamesReachNoOutputUnescaped) {
  TempDir tmp("larkfield-cli-hostile");
  const fs::path mail = tmp.path() / "mail" / "Inbox";
  fs::create_directories(mail);
  const std::string names[] = {"two\nlines.eml", "\x1b]0;owned\x07\x1b[2J.eml",
                               "invoice\xe2\x80\xae"
                               "lme.eml",
                               "latin1-\xe9t\xe9.eml", "empty.eml"};
  for (const std::string& name : names) {
    std::ofstream(mail / name, std::ios::binary)
        << (name == "empty.eml" ? "" : "GARBAGE \x1b[31m\x07 no headers here\n");
  }
  const fs::path out = tmp.path() / "out";
  fs::create_directories(out);
  const ProcessResult r = run_process(
      {kConvert.string(), "--json", "-o", out.string(), (tmp.path() / "mail").string()});
  ASSERT_EQ(r.exit_code, 1) << r.err;
  auto clean = [](const std::string& text) {
    for (unsigned char c : text) {
      if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    }
    return text.find("\xe2\x80\xae") == std::string::npos;
  };
  EXPECT_TRUE(clean(r.err)) << r.err;
  EXPECT_TRUE(clean(r.out)) << r.out;
  fs::path log = PstIn(out);
  log.replace_extension(".log");
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_TRUE(clean(text)) << text;
  EXPECT_NE(text.find("/two\\x0Alines.eml: "), std::string::npos) << text;
  EXPECT_NE(text.find("/invoice\\u{202E}lme.eml: "), std::string::npos) << text;
  EXPECT_NE(text.find("/latin1-\\xE9t\\xE9.eml: "), std::string::npos) << text;
  EXPECT_EQ(text.find("empty.eml: empty.eml:"), std::string::npos) << text;
  EXPECT_NE(text.find("/empty.eml: "), std::string::npos) << text;

  // Every failure's path, read as JSON and turned back into bytes, is a file that exists.
  std::ofstream(tmp.path() / "summary.json", std::ios::binary) << r.out;
  const ProcessResult check = run_process(
      {LARKFIELD_SYSTEM_PYTHON, "-c",
       "import json, os, sys\n"
       "s = json.load(open(sys.argv[1], encoding='utf-8'))\n"
       "assert s['schema'] == 1 and s['exit'] == 1, s\n"
       "paths = [os.fsencode(f['path']) for f in s['failures'] if f['kind'] == 'message']\n"
       "print(len(paths), all(os.path.isfile(p) for p in paths))\n",
       (tmp.path() / "summary.json").string()});
  EXPECT_EQ(check.out, "5 True\n") << check.err << r.out;
}

// Runs the converter with standard input and error on a new terminal and standard output
// into a file. `watch` sees what the terminal showed so far, each time more arrives, and
// may act on the program. The exit status, or 128 + the signal that ended it.
struct TerminalRun {
  int exit_code = -1;
  std::string terminal;
};
TerminalRun RunOnTerminal(const std::vector<std::string>& args, const char* term,
                          const fs::path& stdout_file, bool ignore_hangup,
                          const std::function<void(pid_t, const std::string&)>& watch = {}) {
  std::vector<std::string> argv{kConvert.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    const int fd = ::open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, 1) < 0) ::_exit(126);
    ::setenv("TERM", term, 1);
    if (ignore_hangup) std::signal(SIGHUP, SIG_IGN);  // as nohup leaves it
    ::execv(cargs[0], cargs.data());
    ::_exit(127);
  }
  TerminalRun run;
  if (pid < 0) return run;
  char buffer[4096];
  while (true) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 60000) <= 0) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    run.terminal.append(buffer, static_cast<std::size_t>(n));
    if (watch) watch(pid, run.terminal);
  }
  ::close(master);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// A mailbox of `n` small messages in one folder.
fs::path SmallMailbox(const fs::path& root, int n) {
  const fs::path inbox = root / "mail" / "Inbox";
  fs::create_directories(inbox);
  for (int i = 0; i < n; ++i) {
    std::ofstream(inbox / (std::to_string(i) + ".eml"))
        << "Subject: m" << i << "\r\nMessage-ID: <" << i << "@x>\r\n\r\nbody\r\n";
  }
  return root / "mail";
}

TEST(ConvertProgram, TheProgressBarUsesEscapeCodesOnlyWhereTheTerminalHasThem) {
  TempDir tmp("larkfield-cli-term");
  const fs::path mail = SmallMailbox(tmp.path(), 20);
  for (const char* term : {"xterm", "dumb"}) {
    SCOPED_TRACE(term);
    const fs::path out = tmp.path() / term;
    fs::create_directories(out);
    const TerminalRun r =
        RunOnTerminal({"-o", out.string(), mail.string()}, term, tmp.path() / "stdout", false);
    ASSERT_EQ(r.exit_code, 0) << r.terminal;
    EXPECT_NE(r.terminal.find("20/20 ["), std::string::npos) << r.terminal;
    EXPECT_NE(r.terminal.find("20 converted, 0 failed"), std::string::npos) << r.terminal;
    EXPECT_EQ(r.terminal.find('\x1b') != std::string::npos, std::string(term) == "xterm")
        << r.terminal;
  }
}

// Ctrl-C, kill and a closed terminal stop the run at the next message with the PST and its
// log kept, and the exit status says which signal it was; a hangup that nohup ignores
// stays ignored.
TEST(ConvertProgram, SignalsStopTheRunWithTheirStatusAndNohupIsKept) {
  TempDir tmp("larkfield-cli-signals");
  constexpr int kMessages = 1500;
  const fs::path mail = SmallMailbox(tmp.path(), kMessages);
  struct Case {
    int signal;
    bool ignored;
    int exit_code;
  };
  for (const Case c : {Case{SIGINT, false, 130}, Case{SIGTERM, false, 143},
                       Case{SIGHUP, false, 129}, Case{SIGHUP, true, 0}}) {
    SCOPED_TRACE(strsignal(c.signal) + std::string(c.ignored ? " (ignored)" : ""));
    const fs::path out = tmp.path() / ("out" + std::to_string(c.signal) + (c.ignored ? "i" : ""));
    fs::create_directories(out);
    bool sent = false;
    const TerminalRun r = RunOnTerminal({"--json", "-o", out.string(), mail.string()}, "xterm",
                                        tmp.path() / "summary.json", c.ignored,
                                        [&](pid_t pid, const std::string& shown) {
                                          // The progress bar shows once messages are being written.
                                          if (!sent && shown.find("/1500 [") != std::string::npos) {
                                            ::kill(pid, c.signal);
                                            sent = true;
                                          }
                                        });
    ASSERT_TRUE(sent) << r.terminal;
    EXPECT_EQ(r.exit_code, c.exit_code) << r.terminal;
    std::ifstream in(tmp.path() / "summary.json");
    const std::string json((std::istreambuf_iterator<char>(in)), {});
    const fs::path pst = PstIn(out);
    ASSERT_FALSE(pst.empty());
    fs::path log = pst;
    log.replace_extension(".log");
    EXPECT_TRUE(fs::exists(log));
    if (c.exit_code == 0) {
      EXPECT_NE(json.find("\"converted\":1500,"), std::string::npos) << json;
      continue;
    }
    EXPECT_NE(json.find("\"outcome\":\"interrupted\",\"exit\":" + std::to_string(c.exit_code)),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"pst\":\"" + pst.string() + "\""), std::string::npos) << json;
    EXPECT_EQ(json.find("\"converted\":1500,"), std::string::npos) << json;
    EXPECT_NE(r.terminal.find("stopped by SIG"), std::string::npos) << r.terminal;
  }
}

}  // namespace
