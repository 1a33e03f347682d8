#pragma once

// A temporary folder tree for one test, removed with everything in it when the test ends.

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace larkfield::testing {

class TempTree {
 public:
  TempTree() {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "larkfield-";
    name += info ? info->name() : "test";
    name += "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    root_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // Creates a file (and its folders) under the root; `relative` uses "/" between parts.
  std::filesystem::path File(const std::string& relative, const std::string& content = "x") {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::filesystem::path Folder(const std::string& relative) {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path);
    return path;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace larkfield::testing
