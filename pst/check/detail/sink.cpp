#include "pst/check/detail/sink.hpp"

namespace larkfield::pst::check::detail {

void Sink::add(Finding::Severity s, std::string_view rule, std::string message) {
  if (muted_) return;
  Count& c = counts_[std::string(rule)];
  ++c.total;
  if (s == Finding::Severity::kError) c.worst = s;
  if (c.total <= kPerRule) {
    report_.findings.push_back(Finding{s, std::string(rule), std::move(message)});
  }
}

void Sink::finish() {
  for (const auto& [rule, c] : counts_) {
    if (c.total > kPerRule) {
      report_.findings.push_back(Finding{
          c.worst, rule, "... and " + std::to_string(c.total - kPerRule) + " more of this rule"});
    }
  }
}

}  // namespace larkfield::pst::check::detail
