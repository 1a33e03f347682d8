// The command line: arguments, sources, the summary and the exit status.

#include <gtest/gtest.h>

#include <fstream>

#include "cli/options.hpp"
#include "tests/support/process.hpp"

namespace larkfield::cli {
namespace {

Parsed P(std::vector<std::string> args) { return ParseArguments(args); }

TEST(CliOptions, ParsesEveryOptionAndRefusesBadOnes) {
  const Parsed all = P({"--output-dir", "out", "--quiet", "--json", "--legacy-charset=koi8-r",
                        "--commit-every", "25", "a", "--", "--b"});
  ASSERT_EQ(all.error, "");
  EXPECT_EQ(all.options.output_dir, "out");
  EXPECT_TRUE(all.options.quiet);
  EXPECT_TRUE(all.options.json);
  EXPECT_EQ(all.options.legacy_charset, "koi8-r");
  EXPECT_EQ(all.options.commit_every, 25u);
  EXPECT_EQ(all.options.sources, (std::vector<std::string>{"a", "--b"}));

  const Parsed defaults = P({"mail"});
  EXPECT_EQ(defaults.options.output_dir, ".");
  EXPECT_FALSE(defaults.options.quiet);
  EXPECT_EQ(defaults.options.commit_every, 0u);

  EXPECT_TRUE(P({"--help"}).error.empty());
  EXPECT_TRUE(P({"--version"}).options.version);
  EXPECT_NE(P({}).error, "");                              // no source
  EXPECT_NE(P({"--bogus", "a"}).error, "");                // unknown option
  EXPECT_NE(P({"a", "--output-dir"}).error, "");           // value missing
  EXPECT_NE(P({"--commit-every", "0", "a"}).error, "");    // not above 0
  EXPECT_NE(P({"--commit-every", "12x", "a"}).error, "");  // not a number
  EXPECT_NE(P({"--quiet=yes", "a"}).error, "");            // takes no value
  EXPECT_EQ(VersionText().rfind("larkfield-convert ", 0), 0u);
  EXPECT_NE(UsageText().find("--legacy-charset"), std::string::npos);
}

TEST(CliOptions, GathersMessageFilesBreadthFirst) {
  test::TempDir tmp("larkfield-cli");
  auto write = [&](const std::string& rel) {
    const auto p = tmp.path() / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << "x";
    return p;
  };
  write("mail/b/deep/3.eml");
  write("mail/a/2.EML");
  write("mail/1.emlx");
  write("mail/notes.txt");
  std::filesystem::create_directories(tmp.path() / "mail/folder.eml");  // a folder, not a file
  const auto single = write("other/x.txt");  // named directly: taken as it is

  const Gathered g =
      GatherSources(std::vector<std::string>{(tmp.path() / "mail").string(), single.string()});
  EXPECT_TRUE(g.errors.empty());
  std::vector<std::string> names;
  for (const auto& f : g.files) names.push_back(std::filesystem::relative(f, tmp.path()).string());
  EXPECT_EQ(names, (std::vector<std::string>{"mail/1.emlx", "mail/a/2.EML", "mail/b/deep/3.eml",
                                             "other/x.txt"}));

  const Gathered missing = GatherSources(std::vector<std::string>{(tmp.path() / "nope").string()});
  ASSERT_EQ(missing.errors.size(), 1u);
  EXPECT_NE(missing.errors[0].find("No such file or directory"), std::string::npos);
}

TEST(CliOptions, SummaryAndExitStatus) {
  convert::RunResult r;
  r.outcome = convert::RunResult::Outcome::kCompleted;
  r.pst_path = "/out/Larkfield1.1.26 1.1.01.pst";
  r.rows = 3;
  r.converted = 2;
  r.failed = 1;
  r.bytes = 2500000;
  r.seconds = 1.25;
  r.failures.push_back({u"/m/\"q\".eml", "cannot read"});
  EXPECT_EQ(ExitStatus(r), 1);
  const std::string json = SummaryJson(r);
  EXPECT_NE(json.find("\"converted\":2"), std::string::npos) << json;
  EXPECT_NE(json.find("\"failed\":1"), std::string::npos);
  EXPECT_NE(json.find("\"file\":\"/m/\\\"q\\\".eml\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"log\":null"), std::string::npos);
  EXPECT_EQ(SummaryText(r), "2 converted, 1 failed, 0 warnings, 2.5 MB read in 1.2 s");
  r.failed = 0;
  EXPECT_EQ(ExitStatus(r), 0);
  r.bytes = 20566;
  EXPECT_EQ(SummaryText(r), "2 converted, 0 failed, 0 warnings, 20.6 kB read in 1.2 s");
  // A folder left out by the scan: the PST is incomplete.
  r.unlisted_folders.push_back({u"/m/Locked/", "Permission denied"});
  EXPECT_EQ(ExitStatus(r), 1);
  EXPECT_NE(SummaryText(r).find("1 folder could not be read"), std::string::npos);
  EXPECT_NE(
      SummaryJson(r).find(
          "\"unlisted_folders\":[{\"folder\":\"/m/Locked/\",\"reason\":\"Permission denied\"}]"),
      std::string::npos)
      << SummaryJson(r);
  r.unlisted_folders.clear();
  r.outcome = convert::RunResult::Outcome::kStopped;
  EXPECT_EQ(ExitStatus(r), 2);
  r.outcome = convert::RunResult::Outcome::kNotStarted;
  EXPECT_EQ(ExitStatus(r), 2);

  EXPECT_EQ(ProgressLine(50, 200, 10.0, 10), "50/200 [##--------]  25% 5 msg/s 0:30 left");
  EXPECT_EQ(ProgressLine(0, 200, 0.0, 4), "0/200 [----]   0% 0 msg/s --:-- left");
}

}  // namespace
}  // namespace larkfield::cli
