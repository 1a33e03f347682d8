// Python's email package as a second opinion on our own message files: decoded subject,
// addresses and attachment bytes must agree.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "tests/mime/helpers.hpp"
#include "tests/support/process.hpp"
#include "tests/support/sha256.hpp"

namespace larkfield::mime::test {
namespace {

namespace fs = std::filesystem;

std::string unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}

struct Opinion {
  std::string subject;
  std::vector<std::string> from, recipients;
  std::map<std::string, std::string> attachments;  // name -> sha256
};

Opinion python_opinion(const fs::path& file) {
  const auto r = larkfield::test::run_process(
      {LARKFIELD_SYSTEM_PYTHON, LARKFIELD_MIME_PYTHON_EMAIL, file.string()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  Opinion o;
  std::istringstream in(r.out);
  std::string kind, a, b;
  while (in >> kind) {
    in >> a;
    if (kind == "S")
      o.subject = unhex(a);
    else if (kind == "F")
      o.from.push_back(unhex(a));
    else if (kind == "R")
      o.recipients.push_back(unhex(a));
    else if (kind == "A") {
      in >> b;
      o.attachments[unhex(a)] = b;
    }
  }
  return o;
}

TEST(MimeSecondOpinion, PythonEmailAgrees) {
  std::size_t files = 0, attachments = 0;
  for (const auto& entry : fs::directory_iterator(LARKFIELD_MIME_TEST_DATA)) {
    const fs::path& p = entry.path();
    if (p.filename() == "not-mail.eml") continue;
    SCOPED_TRACE(p.filename().string());
    const Opinion o = python_opinion(p);
    const ImportResult r = import_file(p);
    ++files;
    EXPECT_EQ(str(r.message.properties, t::kSubject), o.subject);
    ASSERT_FALSE(o.from.empty());
    EXPECT_EQ(str(r.message.properties, t::kSentRepresentingEmail), o.from.front());
    std::vector<std::string> ours;
    for (const auto& row : r.message.recipients)
      if (has(row.properties, t::kEmailAddress))
        ours.push_back(str(row.properties, t::kEmailAddress));
    EXPECT_EQ(ours, o.recipients);
    for (const auto& [name, sha] : o.attachments) {
      bool found = false;
      for (const auto& a : r.message.attachments) {
        if (str(a.properties, t::kAttachLongFilename) != name) continue;
        found = true;
        larkfield::test::Sha256 h;
        h.update(bin(a.properties, t::kAttachDataBin));
        EXPECT_EQ(h.finish_hex(), sha) << name;
        ++attachments;
      }
      EXPECT_TRUE(found) << "no attachment named " << name;
    }
  }
  EXPECT_GE(files, 6u);
  EXPECT_GE(attachments, 5u);
}

}  // namespace
}  // namespace larkfield::mime::test
