// The command line: arguments, source lists, sources, the summary and the exit status.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "cli/options.hpp"
#include "tests/support/process.hpp"

namespace larkfield::cli {
namespace {

using Source = Options::Source;

Parsed P(std::vector<std::string> args) { return ParseArguments(args); }

TEST(CliOptions, ParsesInTheUsualConventionsAndChecksEveryValue) {
  const Parsed all =
      P({"-qo", "out", "a", "--json", "--legacy-charset=koi8-r", "-", "--commit-every", "25",
         "--log-format", "json", "-Tlist", "--files-from=l2", "--", "--b", "-x"});
  ASSERT_EQ(all.error, "");
  const Options& o = all.options;
  EXPECT_EQ(o.output_dir, "out");
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.legacy_charset, "koi8-r");
  EXPECT_EQ(o.commit_every, 25u);
  EXPECT_EQ(o.log_format, convert::LogFormat::kJsonLines);
  EXPECT_EQ(
      o.sources,
      (std::vector<Source>{
          {"a", false}, {"-", true}, {"list", true}, {"l2", true}, {"--b", false}, {"-x", false}}));
  EXPECT_EQ(P({"-oDIR", "a"}).options.output_dir, "DIR");
  EXPECT_EQ(P({"--output-dir=D", "a"}).options.output_dir, "D");
  const Parsed defaults = P({"mail"});
  EXPECT_EQ(defaults.options.output_dir, ".");
  EXPECT_FALSE(defaults.options.quiet);
  EXPECT_EQ(defaults.options.log_format, convert::LogFormat::kText);
  EXPECT_TRUE(P({"--help"}).error.empty());
  EXPECT_TRUE(P({"--version"}).options.version);

  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{}, "no SOURCE given"},
      {{"--out=X", "a"}, "unrecognized option '--out'"},
      {{"--bogus", "a"}, "unrecognized option '--bogus'"},
      {{"-qz", "a"}, "invalid option -- 'z'"},
      {{"a", "--output-dir"}, "option '--output-dir' requires an argument"},
      {{"a", "-o"}, "option requires an argument -- 'o'"},
      {{"--quiet=yes", "a"}, "option '--quiet' doesn't allow an argument"},
      {{"--legacy-charset", "klingon", "a"}, "unknown charset 'klingon' for --legacy-charset"},
      {{"--log-format=xml", "a"}, "invalid --log-format 'xml' (\"text\" or \"json\")"},
      {{"--commit-every", "0", "a"}, "--commit-every needs a number of messages above 0, not '0'"},
      {{"--commit-every", "12x", "a"},
       "--commit-every needs a number of messages above 0, not '12x'"},
      {{"--commit-every", "99999999999999999999999", "a"},
       "--commit-every needs a number of messages above 0, not '99999999999999999999999'"},
      {{"-o", "", "a"}, "--output-dir needs a folder"},
      {{"-", "--files-from", "-"}, "standard input can give only one list of sources"},
      {{"--null", "a"}, "--null needs a list: --files-from FILE or a SOURCE of '-'"},
      // What the user typed is shown, but never as codes a terminal would act on.
      {{"--\x1b[2J", "a"}, "unrecognized option '--\\x1B[2J'"},
  };
  for (const auto& [args, error] : refused) {
    const Parsed p = P(args);
    EXPECT_EQ(p.error, error) << (args.empty() ? std::string() : args[0]);
  }
  // What was parsed before an error is kept, so that --json can still answer.
  EXPECT_TRUE(P({"--json", "--bogus"}).options.json);
}

TEST(CliOptions, SourceListsHoldOnePathALineOrNulSeparatedOnes) {
  test::TempDir tmp("larkfield-cli-lists");
  const auto list = tmp.path() / "list";
  std::ofstream(list, std::ios::binary) << "b\n\nwith space\n";
  Options o = P({"a", "-T", list.string(), "-", "z"}).options;
  std::istringstream in("from stdin\nsecond\n");
  std::vector<std::string> got;
  std::string error;
  ASSERT_TRUE(ExpandSourceLists(o, in, got, error)) << error;
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "with space", "from stdin", "second", "z"}));

  o = P({"--null", "-"}).options;
  std::istringstream nul(std::string("one\nname\0two\0\0", 14));
  got.clear();
  ASSERT_TRUE(ExpandSourceLists(o, nul, got, error)) << error;
  EXPECT_EQ(got, (std::vector<std::string>{"one\nname", "two"}));

  o = P({"--files-from", (tmp.path() / "missing").string()}).options;
  EXPECT_FALSE(ExpandSourceLists(o, in, got, error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST(CliOptions, GathersEachFileOnceAndLeavesUnreadableSourcesOut) {
  test::TempDir tmp("larkfield-cli");
  auto write = [&](const std::string& rel) {
    const auto p = tmp.path() / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << "x";
    return p;
  };
  write("mail/b/deep/3.eml");
  const auto two = write("mail/a/2.EML");
  write("mail/1.emlx");
  write("mail/notes.txt");
  std::filesystem::create_directories(tmp.path() / "mail/folder.eml");  // a folder, not a file
  const auto single = write("other/x.txt");  // named directly: taken as it is
  const std::string mail = (tmp.path() / "mail").string();

  const Gathered g = GatherSources(std::vector<std::string>{
      mail, (tmp.path() / "nope").string(), single.string(), mail + "/./", two.string()});
  std::vector<std::string> names;
  for (const auto& f : g.files) names.push_back(std::filesystem::relative(f, tmp.path()).string());
  EXPECT_EQ(names, (std::vector<std::string>{"mail/1.emlx", "mail/a/2.EML", "mail/b/deep/3.eml",
                                             "other/x.txt"}));
  // The missing source is left out with the system's reason; the rest still count.
  ASSERT_EQ(g.unread.size(), 1u);
  EXPECT_EQ(g.unread[0].file, tmp.path() / "nope");
  EXPECT_EQ(g.unread[0].reason, "No such file or directory");
  // The folder given again under another spelling, and a file it already gave.
  ASSERT_EQ(g.repeated.size(), 2u);
  EXPECT_EQ(g.repeated[0].reason, "given more than once; its files are converted once");
  EXPECT_EQ(g.repeated[1].file, two);
  EXPECT_EQ(g.repeated[1].reason,
            "its file came from an earlier SOURCE too; each file is converted once");
}

TEST(CliOptions, TheSummaryAndTheExitStatusCoverEveryOutcome) {
  convert::RunResult r;
  r.outcome = convert::RunResult::Outcome::kCompleted;
  r.pst_path = "/out/Larkfield1.1.26 1.1.01.pst";
  r.rows = 3;
  r.converted = 2;
  r.failed = 1;
  r.warnings = 1;
  r.bytes = 2500000;
  r.seconds = 1.25;
  r.failures.push_back({u"/m/\"q\".eml", "cannot read", "/m/\"q\"\xe9.eml"});
  r.row_warnings.push_back({u"/m/a.eml", "odd date", "/m/a.eml"});
  EXPECT_EQ(EndingOf(r).exit_status, 1);
  EXPECT_EQ(SummaryJson(r, EndingOf(r)),
            "{\"schema\":1,\"outcome\":\"completed\",\"exit\":1,\"signal\":null,\"error\":null,"
            "\"pst\":\"/out/Larkfield1.1.26 1.1.01.pst\",\"log\":null,\"store\":null,"
            "\"messages\":3,\"converted\":2,\"failed\":1,\"bytes\":2500000,\"pst_bytes\":0,"
            "\"seconds\":1.250,\"stopped_at\":null,"
            "\"failures\":[{\"kind\":\"message\",\"path\":\"/m/\\\"q\\\"\\udce9.eml\","
            "\"reason\":\"cannot read\"}],"
            "\"warnings\":[{\"kind\":\"message\",\"path\":\"/m/a.eml\",\"reason\":\"odd date\"}]}");
  EXPECT_EQ(SummaryText(r), "2 converted, 1 failed, 1 warning, 2.5 MB read in 1.2 s");
  r.failed = 0;
  EXPECT_EQ(EndingOf(r).exit_status, 0);
  r.bytes = 20566;
  r.warnings = 0;
  EXPECT_EQ(SummaryText(r), "2 converted, 0 failed, 0 warnings, 20.6 kB read in 1.2 s");
  // Left out by the scan, or a source that could not be read: the PST is incomplete.
  r.unlisted_folders.push_back({u"/m/Locked/", "Permission denied", "/m/Locked/"});
  EXPECT_EQ(EndingOf(r).exit_status, 1);
  EXPECT_NE(SummaryText(r).find("1 folder could not be read and was left out"), std::string::npos);
  EXPECT_NE(SummaryJson(r, EndingOf(r))
                .find("{\"kind\":\"folder-not-read\",\"path\":\"/m/Locked/\","
                      "\"reason\":\"Permission denied\"}"),
            std::string::npos);
  r.unlisted_folders.clear();
  r.unread_sources.push_back({u"nope", "No such file or directory", "nope"});
  EXPECT_EQ(EndingOf(r).exit_status, 1);
  r.outcome = convert::RunResult::Outcome::kStopped;
  r.error = "No space left on device";
  r.stopped_at = 1;
  EXPECT_EQ(EndingOf(r).exit_status, 2);
  EXPECT_NE(SummaryJson(r, EndingOf(r))
                .find("\"outcome\":\"stopped\",\"exit\":2,\"signal\":null,"
                      "\"error\":\"No space left on device\""),
            std::string::npos);
  EXPECT_NE(SummaryJson(r, EndingOf(r)).find("\"stopped_at\":2,"), std::string::npos);
  r.outcome = convert::RunResult::Outcome::kNotStarted;
  EXPECT_EQ(EndingOf(r).exit_status, 2);
  EXPECT_EQ(InterruptedBy(SIGINT, r).exit_status, 130);
  EXPECT_EQ(InterruptedBy(SIGTERM, r).exit_status, 143);
  EXPECT_NE(SummaryJson(r, InterruptedBy(SIGTERM, r))
                .find("\"outcome\":\"interrupted\",\"exit\":143,\"signal\":\"SIGTERM\""),
            std::string::npos);

  EXPECT_EQ(ProgressLine(50, 200, 10.0, 10), "50/200 [##--------]  25% 5 msg/s 0:30 left");
  EXPECT_EQ(ProgressLine(0, 200, 0.0, 4), "0/200 [----]   0% 0 msg/s --:-- left");
}

}  // namespace
}  // namespace larkfield::cli
