#include "cli/options.hpp"

#include <charconv>
#include <cstdio>
#include <system_error>

#include "convert/folder_path.hpp"
#include "sources/file_system.hpp"
#include "sources/native_path.hpp"
#include "sources/path_logger.hpp"

#ifndef LARKFIELD_VERSION
#define LARKFIELD_VERSION "0"
#endif

namespace larkfield::cli {
namespace {

bool TakesValue(std::string_view name) {
  return name == "--output-dir" || name == "--legacy-charset" || name == "--commit-every";
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A path as UTF-8 text, whatever bytes it holds.
std::string PathText(const std::filesystem::path& p) {
  return convert::Utf8(convert::TextOfPath(p));
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  }
  return buf;
}

// Why the scan could not list a folder: the system's reason when asking again gives one,
// else what the scan knew.
std::string UnlistedReason(const sources::SkippedFolder& s) {
  std::error_code ec;
  std::filesystem::directory_iterator probe(std::filesystem::path(s.path), ec);
  if (ec) return ec.message();
  return s.reason == sources::Error::Code::kAccessDenied ? "access denied"
                                                         : "the folder could not be listed";
}

}  // namespace

Parsed ParseArguments(std::span<const std::string> args) {
  Parsed p;
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.size() < 2 || a[0] != '-' || a == "-") {
      p.options.sources.push_back(a);
      continue;
    }
    if (a == "--") {
      options_end = true;
      continue;
    }
    std::string name = a == "-o" ? std::string("--output-dir") : a;
    std::string value;
    bool has_value = false;
    if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    if (TakesValue(name) && !has_value) {
      if (i + 1 >= args.size()) {
        p.error = name + " needs a value";
        return p;
      }
      value = args[++i];
      has_value = true;
    }
    if (!TakesValue(name) && has_value) {
      p.error = name + " takes no value";
      return p;
    }
    if (name == "--output-dir") {
      if (value.empty()) {
        p.error = "--output-dir needs a folder";
        return p;
      }
      p.options.output_dir = value;
    } else if (name == "--legacy-charset") {
      if (value.empty()) {
        p.error = "--legacy-charset needs a charset name";
        return p;
      }
      p.options.legacy_charset = value;
    } else if (name == "--commit-every") {
      std::size_t n = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || n == 0) {
        p.error = "--commit-every needs a number of messages above 0, not \"" + value + "\"";
        return p;
      }
      p.options.commit_every = n;
    } else if (name == "--quiet" || name == "-q") {
      p.options.quiet = true;
    } else if (name == "--json") {
      p.options.json = true;
    } else if (name == "--help" || name == "-h") {
      p.options.help = true;
    } else if (name == "--version") {
      p.options.version = true;
    } else {
      p.error = "unknown option " + name;
      return p;
    }
  }
  if (!p.options.help && !p.options.version && p.options.sources.empty()) {
    p.error = "no SOURCE given";
  }
  return p;
}

std::string UsageText() {
  return "Usage: larkfield-convert [options] SOURCE...\n"
         "Converts .eml and .emlx message files into one new Outlook PST file.\n"
         "Each SOURCE is a message file or a folder, whose whole tree is searched for\n"
         "files ending in .eml or .emlx. The PST mirrors the folders the files lie in.\n"
         "\n"
         "Options:\n"
         "  -o, --output-dir DIR    write the PST into DIR (default: the current folder)\n"
         "  -q, --quiet             no progress bar and no summary on standard error\n"
         "      --json              print the summary as JSON on standard output\n"
         "      --legacy-charset NAME\n"
         "                          read raw 8-bit header text in this charset\n"
         "                          (default: windows-1252)\n"
         "      --commit-every N    make the file durable after every N messages\n"
         "  -h, --help              show this help and exit\n"
         "      --version           show the version and exit\n"
         "\n"
         "The PST's path is printed on standard output. Messages that could not be converted\n"
         "are listed in a .log file beside the PST.\n"
         "Exit status: 0 all converted, 1 the PST was written but some messages failed,\n"
         "2 bad usage, nothing could be written, or the run stopped.\n";
}

std::string VersionText() {
  return std::string("larkfield-convert ") + LARKFIELD_VERSION + " (Larkfield Mail Porter)\n";
}

Gathered GatherSources(std::span<const std::string> sources) {
  Gathered g;
  for (const std::string& source : sources) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(source, ec);
    if (ec) {
      g.errors.push_back("cannot use " + source + ": " + ec.message());
      continue;
    }
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
      g.errors.push_back(
          "cannot read " + source + ": " +
          (ec ? ec.message()
              : std::make_error_code(std::errc::no_such_file_or_directory).message()));
      continue;
    }
    if (!std::filesystem::is_directory(status)) {
      g.files.push_back(path);
      continue;
    }
    sources::pathLogger scanner(sources::RealFileSystemFactory(), {});
    scanner.PathLogInit();
    scanner.fullFileNamesOnly(true);
    scanner.LogPath(sources::AddTrailingSeparator(path.native()));
    const auto names = scanner.fullFileNames();
    for (std::size_t pos = 1; pos <= names->Count(); ++pos) {
      const sources::NativeString& entry = names->Item(pos);
      if (sources::IsMessageFile(entry)) g.files.emplace_back(entry);
    }
    for (const sources::SkippedFolder& s : scanner.skippedFolders()) {
      const std::string reason = UnlistedReason(s);
      g.warnings.push_back("could not list " + PathText(s.path) + " (" + reason +
                           "); left out with its subfolders");
      g.unlisted.push_back({convert::TextOfPath(s.path), reason});
    }
    scanner.Terminate();
  }
  return g;
}

std::string SummaryJson(const convert::RunResult& r) {
  using O = convert::RunResult::Outcome;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  std::string j = "{";
  j += "\"pst\":" + (r.pst_path.empty() ? std::string("null") : JsonString(PathText(r.pst_path)));
  j += ",\"log\":" + (r.log_path.empty() ? std::string("null") : JsonString(PathText(r.log_path)));
  j += ",\"store\":" + JsonString(convert::Utf8(r.store_display_name));
  j += ",\"messages\":" + std::to_string(r.rows);
  j += ",\"converted\":" + std::to_string(r.converted);
  j += ",\"failed\":" + std::to_string(r.failed);
  j += ",\"warnings\":" + std::to_string(r.warnings);
  j += ",\"bytes\":" + std::to_string(r.bytes);
  j += ",\"pst_bytes\":" + std::to_string(r.pst_bytes);
  j += ",\"seconds\":" + std::string(seconds);
  j += ",\"stopped\":" + std::string(r.outcome == O::kStopped ? "true" : "false");
  j += ",\"error\":" + (r.outcome == O::kCompleted ? std::string("null") : JsonString(r.error));
  j += ",\"exit\":" + std::to_string(ExitStatus(r));
  j += ",\"failures\":[";
  for (std::size_t i = 0; i < r.failures.size(); ++i) {
    if (i) j += ",";
    j += "{\"file\":" + JsonString(convert::Utf8(r.failures[i].row)) +
         ",\"reason\":" + JsonString(r.failures[i].reason) + "}";
  }
  j += "],\"unlisted_folders\":[";
  for (std::size_t i = 0; i < r.unlisted_folders.size(); ++i) {
    if (i) j += ",";
    j += "{\"folder\":" + JsonString(convert::Utf8(r.unlisted_folders[i].row)) +
         ",\"reason\":" + JsonString(r.unlisted_folders[i].reason) + "}";
  }
  j += "]}";
  return j;
}

std::string SummaryText(const convert::RunResult& r) {
  // Small mailboxes in kB, so that a few dozen messages do not read as "0.0 MB".
  const double bytes = static_cast<double>(r.bytes);
  const bool mb = r.bytes >= 1000000;
  char buf[200];
  std::snprintf(buf, sizeof buf, "%zu converted, %zu failed, %zu warnings, %.1f %s read in %.1f s",
                r.converted, r.failed, r.warnings, mb ? bytes / 1e6 : bytes / 1e3, mb ? "MB" : "kB",
                r.seconds);
  std::string text = buf;
  if (!r.unlisted_folders.empty()) {
    text += "; " + std::to_string(r.unlisted_folders.size()) +
            (r.unlisted_folders.size() == 1 ? " folder" : " folders") +
            " could not be read and were left out";
  }
  return text;
}

std::string ProgressLine(std::size_t done, std::size_t total, double seconds, int width) {
  const double share = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  const int filled = static_cast<int>(share * width);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '-');
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  std::string left = "--:--";
  if (rate > 0) left = Duration(static_cast<double>(total - done) / rate);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%zu/%zu [%s] %3d%% %.0f msg/s %s left", done, total, bar.c_str(),
                static_cast<int>(share * 100), rate, left.c_str());
  return buf;
}

int ExitStatus(const convert::RunResult& r) {
  switch (r.outcome) {
    case convert::RunResult::Outcome::kCompleted:
      return r.failed || !r.unlisted_folders.empty() ? 1 : 0;
    case convert::RunResult::Outcome::kNotStarted:
    case convert::RunResult::Outcome::kStopped:
      break;
  }
  return 2;
}

}  // namespace larkfield::cli
