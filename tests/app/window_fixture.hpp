#pragma once

// One main window per test, on the offscreen platform, with scripted dialogs and a file
// system that can be told to refuse folders.

#include <gtest/gtest.h>
#include <QPushButton>
#include <QStringList>
#include <QTest>

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "app/frm_step1.hpp"
#include "sources/file_system.hpp"
#include "sources/path_text.hpp"
#include "tests/sources/qt_print.hpp"
#include "tests/sources/scripted_dialogs.hpp"
#include "tests/sources/temp_tree.hpp"

namespace larkfield::testing {

// The real file system, except that listing a folder in `refused` is refused.
class RefusingFileSystem final : public sources::FileSystem {
 public:
  explicit RefusingFileSystem(const std::set<std::string>* refused) : refused_(refused) {}
  bool FolderExists(const std::filesystem::path& path) override { return real_.FolderExists(path); }
  sources::FolderListing List(const std::filesystem::path& folder) override {
    if (refused_->count(sources::AddTrailingSeparator(folder.native()))) {
      throw sources::Error(sources::Error::Code::kAccessDenied, "Permission denied");
    }
    return real_.List(folder);
  }

 private:
  const std::set<std::string>* refused_;
  sources::RealFileSystem real_;
};

class WindowTest : public ::testing::Test {
 protected:
  WindowTest()
      : window_(dialogs_, [this] { return std::make_unique<RefusingFileSystem>(&refused_); }) {
    // Yield on every call, so that events posted by a test run at the first yield.
    window_.pump().SetInterval(std::chrono::milliseconds(0));
    window_.show();
  }
  ~WindowTest() override { EXPECT_TRUE(dialogs_.Done()) << "scripted answers were not used"; }

  template <class W = QWidget>
  W* Child(const char* name) {
    W* w = window_.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QPushButton* Button(const char* name) { return Child<QPushButton>(name); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }

  QStringList Rows() const {
    QStringList rows;
    for (int i = 0; i < window_.grdFiles1().Rows(); ++i)
      rows.append(window_.grdFiles1().RowText(i));
    return rows;
  }
  QString Count() { return Child<QLabel>("lblCount1")->text(); }

  // A path below the temporary tree as the window shows it.
  QString Path(const std::string& relative = {}) const {
    std::string p = tree_.root().native();
    if (!relative.empty()) p += "/" + relative;
    return sources::TextFromNative(p);
  }
  // Refuses to list this folder of the tree.
  void Refuse(const std::string& relative) {
    refused_.insert(tree_.root().native() + "/" + relative + "/");
  }

  TempTree tree_;
  ScriptedDialogs dialogs_;
  std::set<std::string> refused_;
  app::frmStep1 window_;
};

}  // namespace larkfield::testing
