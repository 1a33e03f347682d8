#include "cli/options.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "convert/folder_path.hpp"
#include "convert/run_log.hpp"
#include "convert/text_escape.hpp"
#include "larkfield/version.hpp"
#include "mime/text.hpp"
#include "sources/file_system.hpp"
#include "sources/native_path.hpp"
#include "sources/path_logger.hpp"

namespace larkfield::cli {
namespace {

namespace fs = std::filesystem;

// The options, one row each: adding an option is a row here and a case in Apply.
enum class Id {
  kOutputDir,
  kQuiet,
  kJson,
  kLogFormat,
  kLegacyCharset,
  kCommitEvery,
  kFilesFrom,
  kNull,
  kHelp,
  kVersion,
};

struct OptionDef {
  Id id;
  char short_name;             // 0: none
  std::string_view long_name;  // without the dashes
  std::string_view value;      // the value's name in the help; empty: takes no value
  std::string_view help;       // lines separated by '\n'
};

constexpr OptionDef kOptionDefs[] = {
    {Id::kOutputDir, 'o', "output-dir", "DIR",
     "write the PST and its .log into DIR (default: the current folder)"},
    {Id::kQuiet, 'q', "quiet", "", "no progress bar and no summary on standard error"},
    {Id::kJson, 0, "json", "", "print the summary as one JSON object on standard output"},
    {Id::kLogFormat, 0, "log-format", "FORMAT",
     "the .log as \"text\" for people (the default) or \"json\",\none JSON object a line"},
    {Id::kLegacyCharset, 0, "legacy-charset", "NAME",
     "read raw 8-bit header text in this charset\n(default: windows-1252)"},
    {Id::kCommitEvery, 0, "commit-every", "N", "make the file durable after every N messages"},
    {Id::kFilesFrom, 'T', "files-from", "FILE",
     "read more SOURCEs from FILE, one a line (\"-\": standard\ninput)"},
    {Id::kNull, 0, "null", "", "the lists of --files-from and \"-\" are NUL-separated"},
    {Id::kHelp, 'h', "help", "", "show this help and exit"},
    {Id::kVersion, 0, "version", "", "show the version and the licence, and exit"},
};

const OptionDef* FindLong(std::string_view name) {
  for (const OptionDef& s : kOptionDefs) {
    if (s.long_name == name) return &s;
  }
  return nullptr;
}

const OptionDef* FindShort(char c) {
  for (const OptionDef& s : kOptionDefs) {
    if (s.short_name != 0 && s.short_name == c) return &s;
  }
  return nullptr;
}

// A value or name from the command line inside a message: quoted, and safe for a terminal.
std::string Quoted(std::string_view text) { return "'" + convert::EscapeText(text) + "'"; }

// Applies one option; returns the error, empty when the value is usable.
std::string Apply(const OptionDef& def, const std::string& value, Options& o) {
  const std::string name = "--" + std::string(def.long_name);
  switch (def.id) {
    case Id::kOutputDir:
      if (value.empty()) return name + " needs a folder";
      o.output_dir = value;
      break;
    case Id::kQuiet:
      o.quiet = true;
      break;
    case Id::kJson:
      o.json = true;
      break;
    case Id::kLogFormat:
      if (value == "text") {
        o.log_format = convert::LogFormat::kText;
      } else if (value == "json") {
        o.log_format = convert::LogFormat::kJsonLines;
      } else {
        return "invalid " + name + " " + Quoted(value) + " (\"text\" or \"json\")";
      }
      break;
    case Id::kLegacyCharset:
      if (value.empty() || mime::text::lookup_charset(value).iconv_name.empty()) {
        return "unknown charset " + Quoted(value) + " for " + name;
      }
      o.legacy_charset = value;
      break;
    case Id::kCommitEvery: {
      std::size_t n = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || n == 0) {
        return name + " needs a number of messages above 0, not " + Quoted(value);
      }
      o.commit_every = n;
      break;
    }
    case Id::kFilesFrom:
      if (value.empty()) return name + " needs a file";
      o.sources.push_back({value, true});
      break;
    case Id::kNull:
      o.null_separated = true;
      break;
    case Id::kHelp:
      o.help = true;
      break;
    case Id::kVersion:
      o.version = true;
      break;
  }
  return {};
}

// A path from the command line or a list. On Windows the bytes are taken as UTF-8.
fs::path PathFromArgument(const std::string& text) {
#ifdef _WIN32
  return fs::path(std::u8string(text.begin(), text.end()));
#else
  return fs::path(text);
#endif
}

// Why the scan could not list a folder: the system's reason when asking again gives one,
// else what the scan knew.
std::string UnlistedReason(const sources::SkippedFolder& s) {
  std::error_code ec;
  fs::directory_iterator probe(fs::path(s.path), ec);
  if (ec) return ec.message();
  return s.reason == sources::Error::Code::kAccessDenied ? "access denied"
                                                         : "the folder could not be listed";
}

// The message files of a folder's tree, breadth-first; the folders it could not list go
// into `unlisted`.
std::vector<fs::path> ScanFolder(const fs::path& folder,
                                 std::vector<convert::RowFailure>& unlisted) {
  std::vector<fs::path> files;
  sources::pathLogger scanner(sources::RealFileSystemFactory(), {});
  scanner.PathLogInit();
  scanner.fullFileNamesOnly(true);
  scanner.LogPath(sources::AddTrailingSeparator(folder.native()));
  const auto names = scanner.fullFileNames();
  for (std::size_t pos = 1; pos <= names->Count(); ++pos) {
    const sources::NativeString& entry = names->Item(pos);
    if (sources::IsMessageFile(entry)) files.emplace_back(entry);
  }
  for (const sources::SkippedFolder& s : scanner.skippedFolders()) {
    unlisted.push_back({convert::TextOfPath(s.path), UnlistedReason(s), fs::path(s.path)});
  }
  scanner.Terminate();
  return files;
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

}  // namespace

Parsed ParseArguments(std::span<const std::string> args) {
  Parsed p;
  Options& o = p.options;
  auto apply = [&](const OptionDef& def, const std::string& value) {
    p.error = Apply(def, value, o);
    return p.error.empty();
  };
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.size() < 2 || a[0] != '-') {
      o.sources.push_back({a, a == "-"});
      continue;
    }
    if (a == "--") {
      options_end = true;
      continue;
    }
    if (a[1] == '-') {
      const std::string_view body = std::string_view(a).substr(2);
      const std::size_t eq = body.find('=');
      const std::string_view name = body.substr(0, eq);
      const OptionDef* def = FindLong(name);
      if (!def) {
        p.error = "unrecognized option " + Quoted("--" + std::string(name));
        return p;
      }
      std::optional<std::string> value;
      if (eq != std::string_view::npos) value = std::string(body.substr(eq + 1));
      if (def->value.empty() && value) {
        p.error = "option " + Quoted("--" + std::string(name)) + " doesn't allow an argument";
        return p;
      }
      if (!def->value.empty() && !value) {
        if (i + 1 >= args.size()) {
          p.error = "option " + Quoted("--" + std::string(name)) + " requires an argument";
          return p;
        }
        value = args[++i];
      }
      if (!apply(*def, value.value_or(std::string()))) return p;
      continue;
    }
    // One or more short options; the first that takes a value takes the rest of the
    // argument, or the next argument.
    for (std::size_t k = 1; k < a.size(); ++k) {
      const OptionDef* def = FindShort(a[k]);
      if (!def) {
        p.error = "invalid option -- " + Quoted(std::string(1, a[k]));
        return p;
      }
      if (def->value.empty()) {
        if (!apply(*def, {})) return p;
        continue;
      }
      std::string value;
      if (k + 1 < a.size()) {
        value = a.substr(k + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        p.error = "option requires an argument -- " + Quoted(std::string(1, a[k]));
        return p;
      }
      if (!apply(*def, value)) return p;
      break;
    }
  }
  if (o.help || o.version) return p;
  const auto lists = std::count_if(o.sources.begin(), o.sources.end(),
                                   [](const Options::Source& s) { return s.list; });
  const auto stdin_lists =
      std::count_if(o.sources.begin(), o.sources.end(),
                    [](const Options::Source& s) { return s.list && s.path == "-"; });
  if (o.sources.empty()) {
    p.error = "no SOURCE given";
  } else if (stdin_lists > 1) {
    p.error = "standard input can give only one list of sources";
  } else if (o.null_separated && lists == 0) {
    p.error = "--null needs a list: --files-from FILE or a SOURCE of '-'";
  }
  return p;
}

std::string UsageText() {
  std::string text =
      "Usage: larkfield-convert [options] SOURCE...\n"
      "Converts .eml and .emlx message files into one new Outlook PST file.\n"
      "Each SOURCE is a message file or a folder, whose whole tree is searched for\n"
      "files ending in .eml or .emlx. The PST mirrors the folders the files lie in.\n"
      "A SOURCE of \"-\" reads more SOURCEs from standard input, one a line. A file that\n"
      "two SOURCEs lead to is converted once.\n"
      "\n"
      "Options:\n";
  constexpr std::size_t kColumn = 28;
  for (const OptionDef& s : kOptionDefs) {
    std::string left = s.short_name ? std::string("  -") + s.short_name + ", " : "      ";
    left += "--" + std::string(s.long_name);
    if (!s.value.empty()) left += " " + std::string(s.value);
    std::string_view help = s.help;
    bool first = true;
    while (true) {
      const std::size_t nl = help.find('\n');
      const std::string_view line = help.substr(0, nl);
      if (first && left.size() + 2 <= kColumn) {
        text += left + std::string(kColumn - left.size(), ' ');
      } else {
        if (first) text += left + "\n";
        text += std::string(kColumn, ' ');
      }
      text += std::string(line) + "\n";
      first = false;
      if (nl == std::string_view::npos) break;
      help.remove_prefix(nl + 1);
    }
  }
  text +=
      "\n"
      "The PST's path is printed on standard output, a progress bar and a summary go to\n"
      "standard error. A .log beside the PST says what was converted and lists every\n"
      "file that failed or gave a warning, and why.\n"
      "\n"
      "Exit status:\n"
      "  0    every message was converted\n"
      "  1    the PST was written, but some messages failed or some sources or folders\n"
      "       could not be read\n"
      "  2    bad usage, nothing could be written, or the run stopped on an error\n"
      "  130  stopped by SIGINT (Ctrl-C); 143 by SIGTERM, 129 by SIGHUP: the PST holds\n"
      "       the messages committed before the stop\n";
  return text;
}

std::string VersionText() {
  return std::string("larkfield-convert ") + kVersion + " (Larkfield Mail Porter)\n" +
         kLicenceNotice;
}

bool ExpandSourceLists(const Options& options, std::istream& input,
                       std::vector<std::string>& sources, std::string& error) {
  const char separator = options.null_separated ? '\0' : '\n';
  for (const Options::Source& s : options.sources) {
    if (!s.list) {
      sources.push_back(s.path);
      continue;
    }
    std::string text;
    if (s.path == "-") {
      text.assign(std::istreambuf_iterator<char>(input), {});
      if (input.bad()) {
        error = "cannot read the list of sources on standard input";
        return false;
      }
    } else {
      std::ifstream list(PathFromArgument(s.path), std::ios::binary);
      if (!list) {
        error = "cannot read the list " + Quoted(s.path) + ": " + std::strerror(errno);
        return false;
      }
      text.assign(std::istreambuf_iterator<char>(list), {});
      if (list.bad()) {
        error = "cannot read the list " + Quoted(s.path);
        return false;
      }
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find(separator, start);
      if (end == std::string::npos) end = text.size();
      if (end > start) sources.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  return true;
}

Gathered GatherSources(std::span<const std::string> sources) {
  Gathered g;
  std::unordered_set<fs::path::string_type> seen_sources;
  std::unordered_set<fs::path::string_type> seen_files;
  for (const std::string& source : sources) {
    const fs::path given = PathFromArgument(source);
    const std::u16string text = convert::TextOfPath(given);
    std::error_code ec;
    const fs::path path = fs::absolute(given, ec);
    if (ec) {
      g.unread.push_back({text, ec.message(), given});
      continue;
    }
    const auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
      g.unread.push_back(
          {text,
           ec ? ec.message() : std::make_error_code(std::errc::no_such_file_or_directory).message(),
           given});
      continue;
    }
    fs::path same = fs::weakly_canonical(path, ec);
    if (ec) same = path.lexically_normal();
    if (!seen_sources.insert(same.native()).second) {
      g.repeated.push_back({text, "given more than once; its files are converted once", given});
      continue;
    }
    std::vector<fs::path> found;
    if (fs::is_directory(status)) {
      found = ScanFolder(path, g.unlisted);
    } else {
      found.push_back(path);
    }
    std::size_t again = 0;
    for (fs::path& f : found) {
      if (seen_files.insert(f.lexically_normal().native()).second) {
        g.files.push_back(std::move(f));
      } else {
        ++again;
      }
    }
    if (again == 0) continue;
    g.repeated.push_back(
        {text,
         (again == found.size() ? std::string(found.size() == 1 ? "its file" : "its files")
                                : convert::Counted(again, "of its files", "of its files")) +
             " came from an earlier SOURCE too; each file is converted once",
         given});
  }
  return g;
}

Ending EndingOf(const convert::RunResult& r) {
  using O = convert::RunResult::Outcome;
  Ending e;
  e.outcome = convert::OutcomeName(r.outcome);
  switch (r.outcome) {
    case O::kCompleted:
      e.exit_status = r.failed || !r.unlisted_folders.empty() || !r.unread_sources.empty() ? 1 : 0;
      break;
    case O::kNotStarted:
    case O::kStopped:
      e.exit_status = 2;
      e.error = r.error;
      break;
  }
  return e;
}

Ending InterruptedBy(int signal, const convert::RunResult&) {
  Ending e;
  e.outcome = "interrupted";
  e.exit_status = 128 + signal;
  e.signal = signal;
  e.error = "stopped by " + SignalName(signal);
  return e;
}

std::string SummaryJson(const convert::RunResult& r, const Ending& ending) {
  std::string j = "{\"schema\":1";
  j += ",\"outcome\":" + convert::JsonString(ending.outcome);
  j += ",\"exit\":" + std::to_string(ending.exit_status);
  j += ",\"signal\":" +
       (ending.signal ? convert::JsonString(SignalName(ending.signal)) : std::string("null"));
  j += ",\"error\":" +
       (ending.error.empty() ? std::string("null") : convert::JsonString(ending.error));
  j += "," + convert::ResultJsonFields(r);
  std::string failures;
  std::string warnings;
  for (const convert::ReportEntry& e : convert::ReportEntries(r)) {
    std::string& list = e.failure ? failures : warnings;
    if (!list.empty()) list += ",";
    list += convert::EntryJson(e);
  }
  j += ",\"failures\":[" + failures + "],\"warnings\":[" + warnings + "]}";
  return j;
}

std::string SummaryText(const convert::RunResult& r) {
  // Small mailboxes in kB, so that a few dozen messages do not read as "0.0 MB".
  const double bytes = static_cast<double>(r.bytes);
  const bool mb = r.bytes >= 1000000;
  char buf[200];
  std::snprintf(buf, sizeof buf, "%zu converted, %zu failed, %s, %.1f %s read in %.1f s",
                r.converted, r.failed, convert::Counted(r.warnings, "warning", "warnings").c_str(),
                mb ? bytes / 1e6 : bytes / 1e3, mb ? "MB" : "kB", r.seconds);
  std::string text = buf;
  if (!r.unread_sources.empty()) {
    text += "; " + convert::Counted(r.unread_sources.size(), "source", "sources") +
            " could not be read";
  }
  if (!r.unlisted_folders.empty()) {
    text += "; " + convert::Counted(r.unlisted_folders.size(), "folder", "folders") +
            " could not be read and " + (r.unlisted_folders.size() == 1 ? "was" : "were") +
            " left out";
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

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP:
      return "SIGHUP";
#endif
    default:
      break;
  }
  return "signal " + std::to_string(signal);
}

}  // namespace larkfield::cli
