#pragma once

// Collects findings for a Report, a bounded number per rule.

#include <map>
#include <string>
#include <string_view>

#include "pst/check/check.hpp"

namespace larkfield::pst::check::detail {

class Sink {
 public:
  Sink(Report& report, bool crash_state, bool outlook_made = false)
      : report_(report), crash_state_(crash_state), outlook_made_(outlook_made) {}
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void error(std::string_view rule, std::string message) {
    add(Finding::Severity::kError, rule, std::move(message));
  }
  void warning(std::string_view rule, std::string message) {
    add(Finding::Severity::kWarning, rule, std::move(message));
  }
  // Space or entries that are allocated but no longer used: what a killed writer leaves.
  void leak(std::string_view rule, std::string message) {
    add(crash_state_ ? Finding::Severity::kWarning : Finding::Severity::kError, rule,
        std::move(message));
  }
  // A rule that Outlook's own files break: an error for our files, a warning for Outlook's.
  void outlook(std::string_view rule, std::string message) {
    if (outlook_made_) {
      add(Finding::Severity::kWarning, rule, std::move(message) + " (as Outlook's own files do)");
    } else {
      add(Finding::Severity::kError, rule, std::move(message));
    }
  }
  bool crash_state() const { return crash_state_; }
  // While muted, findings are dropped (a second read of something already checked).
  void mute(bool on) { muted_ = on; }
  std::size_t count(std::string_view rule) const {
    auto it = counts_.find(std::string(rule));
    return it == counts_.end() ? 0 : it->second.total;
  }
  // Adds one line per rule whose findings were cut short.
  void finish();

 private:
  struct Count {
    std::size_t total = 0;
    Finding::Severity worst = Finding::Severity::kWarning;
  };
  static constexpr std::size_t kPerRule = 25;

  void add(Finding::Severity s, std::string_view rule, std::string message);

  Report& report_;
  bool crash_state_;
  bool outlook_made_;
  bool muted_ = false;
  std::map<std::string, Count> counts_;
};

}  // namespace larkfield::pst::check::detail
