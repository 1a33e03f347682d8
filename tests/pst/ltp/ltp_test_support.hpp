#pragma once

// Shared pieces of the LTP tests: a temp file database, the verifier's findings for the
// layers below the messaging objects, byte patterns.

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pst/check/check.hpp"
#include "pst/ltp/property.hpp"
#include "tests/pst/ltp/ltp_reader.hpp"

namespace larkfield::test::ltp {

// Errors of the verifier outside the store-level rules (mandatory nodes, folders,
// messages), which do not apply to a file of bare nodes. `pending_free`: the file was
// read after a commit, not a close, so space released since the previous commit is
// still marked allocated.
inline std::string structural_errors(const std::filesystem::path& path, bool pending_free = false) {
  auto report = pst::check::verify_file(path);
  if (!report.readable) return "unreadable\n";
  std::string out;
  static const char* kSkipped[] = {"store.",   "folder.",   "message.",  "attachment.",
                                   "namemap.", "template.", "nbt.parent"};
  for (const auto& f : report.findings) {
    if (f.severity != pst::check::Finding::Severity::kError) continue;
    bool skip = pending_free && (f.rule == "amap.leak" || f.rule == "root.amap-free");
    for (const char* s : kSkipped) skip = skip || f.rule.rfind(s, 0) == 0;
    if (!skip) out += f.rule + ": " + f.message + "\n";
  }
  return out;
}

inline pst::Bytes pattern(std::size_t n, unsigned seed) {
  pst::Bytes v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<std::byte>(rng());
  return v;
}

inline Buf u8(const pst::Bytes& v) {
  Buf out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<std::uint8_t>(v[i]);
  return out;
}

inline Buf utf16(const std::u16string& s) {
  Buf out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

}  // namespace larkfield::test::ltp
