// The TNEF reader over arbitrary bytes: it either decodes or says why not.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mime/tnef.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto s = larkfield::mime::tnef::decode(
      std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!s && error.empty()) std::abort();
  return 0;
}
