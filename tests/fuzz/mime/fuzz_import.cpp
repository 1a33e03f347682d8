// The whole importer over arbitrary bytes, as .eml or .emlx by the first byte. Every input
// becomes an item with a message class; a stand-in carries the input unchanged. With the
// second bit of the first byte the input is also imported from a file, parsed there with
// every attachment left in it: the data read back must be those of the in-memory import.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <variant>

#include "mime/importer.hpp"

namespace {

using larkfield::mime::Attachment;
using larkfield::mime::Bytes;
using larkfield::mime::Message;

const Bytes* data_of(const Attachment& a) {
  for (const auto& p : a.properties)
    if (p.tag == 0x37010102) return std::get_if<Bytes>(&p.value);
  return nullptr;
}

void compare(const Message& memory, const Message& file) {
  if (memory.attachments.size() != file.attachments.size()) std::abort();
  for (std::size_t i = 0; i < memory.attachments.size(); ++i) {
    const Attachment& m = memory.attachments[i];
    const Attachment& f = file.attachments[i];
    if (f.content) {
      Bytes read;
      std::byte buf[777];
      while (const std::size_t n = f.content->read(buf)) read.insert(read.end(), buf, buf + n);
      const Bytes* expected = data_of(m);
      if (expected == nullptr || *expected != read) std::abort();
    } else {
      const Bytes* a = data_of(m);
      const Bytes* b = data_of(f);
      if ((a == nullptr) != (b == nullptr) || (a != nullptr && *a != *b)) std::abort();
    }
    if ((m.embedded_message == nullptr) != (f.embedded_message == nullptr)) std::abort();
    if (m.embedded_message) compare(*m.embedded_message, *f.embedded_message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bytes = std::as_bytes(std::span(data, size));
  larkfield::mime::ImportOptions options;
  options.max_parts = 2000;
  const char* name = size > 0 && (data[0] & 1) ? "f.emlx" : "f.eml";
  const auto r = larkfield::mime::import_bytes(bytes, name, options);
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
  if (size > 0 && (data[0] & 2)) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("larkfield-fuzz-import-" + std::to_string(getpid()) + (data[0] & 1 ? ".emlx" : ".eml"));
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
      const bool written = std::fwrite(data, 1, size, f) == size;
      std::fclose(f);
      if (!written) std::abort();
      larkfield::mime::ImportOptions from_file = options;
      from_file.parse_in_memory_up_to = 0;
      from_file.stream_attachments_over = 0;
      const auto rf = larkfield::mime::import_file(path, from_file);
      const auto rm = larkfield::mime::import_bytes(bytes, path.filename().string(), options);
      if (rf.stand_in != rm.stand_in || rf.warnings != rm.warnings) std::abort();
      compare(rm.message, rf.message);
      std::filesystem::remove(path);
    }
  }
  return 0;
}
