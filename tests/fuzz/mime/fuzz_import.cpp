// The whole importer over arbitrary bytes, as .eml or .emlx by the first byte. Every input
// becomes an item with a message class; a stand-in carries the input unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "mime/importer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::as_bytes(std::span(data, size));
  larkfield::mime::ImportOptions options;
  options.max_parts = 2000;
  const auto r =
      larkfield::mime::import_bytes(bytes, size > 0 && (data[0] & 1) ? "f.emlx" : "f.eml", options);
  bool has_class = false;
  for (const auto& p : r.message.properties)
    if (p.tag == 0x001A001F) has_class = !std::get<std::u16string>(p.value).empty();
  if (!has_class) std::abort();
  if (r.stand_in) {
    if (r.message.attachments.size() != 1) std::abort();
    for (const auto& p : r.message.attachments[0].properties)
      if (p.tag == 0x37010102 && std::get<larkfield::mime::Bytes>(p.value).size() != size)
        std::abort();
  }
  return 0;
}
