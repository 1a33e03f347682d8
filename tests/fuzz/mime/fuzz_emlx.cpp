// .emlx framing over arbitrary bytes: the message it cuts out lies inside the input (a
// repaired copy may hold one more line end, the blank line before a body that had none).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mime/framing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const auto framed = larkfield::mime::framing::frame(file, "fuzz.emlx");
  const auto message = larkfield::mime::framing::message(framed, file);
  if (message.size() > size + 2) std::abort();
  if (!framed.use_cleaned && (framed.offset > size || framed.length > size - framed.offset))
    std::abort();
  const auto hb = larkfield::mime::framing::find_header_block(message);
  if (hb.end > hb.body || hb.body > message.size()) std::abort();
  return 0;
}
