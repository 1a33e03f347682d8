#pragma once

// Owning handles for GMime and GLib objects, and the one-time library set-up.

#include <gmime/gmime.h>

#include <memory>
#include <string>

namespace larkfield::mime::detail {

struct GObjectUnref {
  void operator()(void* object) const noexcept {
    if (object != nullptr) g_object_unref(object);
  }
};

// A GObject reference we own. Borrowed pointers (most GMime getters) stay raw.
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a reference of our own to a borrowed object.
template <typename T>
GPtr<T> add_ref(T* object) {
  if (object != nullptr) g_object_ref(object);
  return GPtr<T>(object);
}

struct GFree {
  void operator()(void* p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

// Copies and frees a newly allocated C string; null becomes "".
inline std::string take_string(char* s) {
  GCharPtr owned(s);
  return owned ? std::string(owned.get()) : std::string();
}

struct ParserOptionsFree {
  void operator()(GMimeParserOptions* o) const noexcept { g_mime_parser_options_free(o); }
};
using ParserOptionsPtr = std::unique_ptr<GMimeParserOptions, ParserOptionsFree>;

struct DateTimeUnref {
  void operator()(GDateTime* d) const noexcept { g_date_time_unref(d); }
};
using DateTimePtr = std::unique_ptr<GDateTime, DateTimeUnref>;

struct ChecksumFree {
  void operator()(GChecksum* c) const noexcept { g_checksum_free(c); }
};
using ChecksumPtr = std::unique_ptr<GChecksum, ChecksumFree>;

struct FormatOptionsFree {
  void operator()(GMimeFormatOptions* o) const noexcept { g_mime_format_options_free(o); }
};
using FormatOptionsPtr = std::unique_ptr<GMimeFormatOptions, FormatOptionsFree>;

// Initialises GMime once per process, from any thread.
void ensure_gmime();

}  // namespace larkfield::mime::detail
