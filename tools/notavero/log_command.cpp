// notavero log: what the driver's log says about a period, for people (a
// summary, a timeline) and for a fleet's tools (JSON).

#include "tools/notavero/log_command.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/cp1251.h"
#include "protocol/codes.h"
#include "protocol/state_names.h"
#include "protocol/state_text.h"
#include "tools/notavero/log_reader.h"

namespace notavero::tool {

namespace {

namespace fs = std::filesystem;
using logread::FormatMoment;
using logread::kNoMoment;
using logread::LogMoment;
using logread::Report;
using logread::Summary;

constexpr std::size_t kSkippedShown = 20;

constexpr const char* kHelp =
    "usage: notavero log [--since TIME] [--until TIME] [--timeline] [--json] FILE|DIR...\n"
    "\n"
    "Reads the driver's log files (the current one and its rotated copies, in any\n"
    "order; a directory stands for the driver's own files in it, Notavero.log and\n"
    "Notavero.log.0 to .10: name a log of another name as a file) and prints\n"
    "what the machine did: loads of the library, bills stacked and returned by\n"
    "value, rejections by reason, time-outs, bad frames, failed cycles, power-ups\n"
    "and how long the device did not answer.  --timeline also prints one line per\n"
    "state change, command and bill event, with the frames decoded and the port\n"
    "each is about (several validators may log into one file).  --json prints\n"
    "the same as one JSON object.\n"
    "\n"
    "TIME is in the log's own form, \"dd.mm hh:mm:ss.zzz\" (seconds and milliseconds\n"
    "may be left out, or the whole time of day), or \"YYYY-MM-DD[ hh:mm[:ss]]\"; the\n"
    "log writes no year, so the year is not compared.  --since is inclusive,\n"
    "--until exclusive.  Lines that cannot be read are skipped and listed; they\n"
    "never stop the reading.\n";

struct Options {
  logread::LogReader::Options reader;
  bool json = false;
  std::vector<std::string> paths;
};

// The names the driver gives its log in a directory: Notavero.log and the
// copies the logger rotates it to, Notavero.log.0 to Notavero.log.10.  Other
// logs there (a web server's, Prometheus's) are not the driver's.
bool IsDriverLogName(const std::string& name) {
  constexpr std::string_view kName = "Notavero.log";
  if (name.compare(0, kName.size(), kName) != 0) {
    return false;
  }
  const std::string rest = name.substr(kName.size());
  return rest.empty() || rest == ".10" ||
         (rest.size() == 2 && rest[0] == '.' && rest[1] >= '0' && rest[1] <= '9');
}

// The files a path stands for; false with a message when it is none.
bool AddFiles(const std::string& path, std::vector<std::string>& files) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    std::vector<std::string> found;
    fs::directory_iterator entries(path, error);
    if (error) {  // say why, not that it holds no log (EACCES for a user outside the log's group)
      std::fprintf(stderr, "notavero: log: cannot read the directory %s: %s\n", path.c_str(),
                   error.message().c_str());
      return false;
    }
    for (const auto& entry : entries) {
      if (entry.is_regular_file(error) && IsDriverLogName(entry.path().filename().string())) {
        found.push_back(entry.path().string());
      }
    }
    if (found.empty()) {
      std::fprintf(
          stderr,
          "notavero: log: no Notavero.log or Notavero.log.N in %s (name other log files one by one)\n",
          path.c_str());
      return false;
    }
    files.insert(files.end(), found.begin(), found.end());
    return true;
  }
  files.push_back(path);
  return true;
}

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonMoment(LogMoment moment) {
  return moment == kNoMoment ? "null" : Json(FormatMoment(moment));
}

std::string ReasonText(uint8_t reason) {
  return Cp1251ToUtf8(StateToText(MakeStatus(dsBillError, reason)));
}

// The reason's English name, for technicians who do not read Russian.
std::string ReasonName(uint8_t reason) {
  return RejectReasonName(reason);
}

std::string Hex(uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string ValueName(int64_t value) {
  return value != 0 ? std::to_string(value) : "unknown value";
}

void PrintBills(const char* what, const std::map<int64_t, uint64_t>& bills, uint64_t count, int64_t sum) {
  std::printf("%s: %llu bill%s, %lld\n", what, static_cast<unsigned long long>(count), count == 1 ? "" : "s",
              static_cast<long long>(sum));
  for (auto it = bills.rbegin(); it != bills.rend(); ++it) {
    std::printf("  %s x %llu\n", ValueName(it->first).c_str(), static_cast<unsigned long long>(it->second));
  }
}

void PrintText(const Options& options, const std::vector<std::string>& files, const Report& report) {
  const Summary& s = report.summary;
  const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  if (options.reader.timeline) {
    for (const auto& entry : report.timeline) {
      if (entry.port.empty()) {
        std::printf("%s  %s\n", FormatMoment(entry.moment).c_str(), entry.text.c_str());
      } else {
        std::printf("%s  [%s]  %s\n", FormatMoment(entry.moment).c_str(), entry.port.c_str(),
                    entry.text.c_str());
      }
    }
    std::printf("\n");
  }
  std::printf("period: %s .. %s, %zu file%s, %llu lines\n", FormatMoment(s.first).c_str(),
              FormatMoment(s.last).c_str(), files.size(), files.size() == 1 ? "" : "s", u(s.lines));
  std::printf("loads of the library: %zu\n", s.loads.size());
  for (const auto& load : s.loads) {
    std::printf("  %s  %s:%llu\n", FormatMoment(load.start).c_str(), load.file.c_str(), u(load.line));
  }
  PrintBills("stacked", s.stacked, s.StackedCount(), s.StackedSum());
  PrintBills("returned", s.returned, s.ReturnedCount(), s.ReturnedSum());
  std::printf("rejected: %llu\n", u(s.RejectedCount()));
  for (const auto& [reason, count] : s.rejected) {
    std::printf("  %s %s: %s x %llu\n", Hex(reason).c_str(), ReasonName(reason).c_str(),
                ReasonText(reason).c_str(), u(count));
  }
  std::printf("bills the device did not confirm: %llu (sum %lld)\n", u(s.unconfirmed),
              static_cast<long long>(s.unconfirmed_sum));
  std::printf("repeated events, not counted again: %llu\n", u(s.repeated_events));
  std::printf("time-outs: %llu\n", u(s.timeouts));
  std::printf("bad frames: %llu\n", u(s.bad_frames));
  std::printf("failed cycles: %llu\n", u(s.failed_cycles));
  std::printf("power-ups: %llu\n", u(s.power_ups));
  if (s.ports_lost != 0 || s.ports_reopened != 0) {
    std::printf("port lost: %llu, opened again: %llu\n", u(s.ports_lost), u(s.ports_reopened));
  }
  std::printf("device not answering: %llu time%s, %s in all, longest %s\n", u(s.silences),
              s.silences == 1 ? "" : "s", Seconds(s.silent_ms).c_str(),
              Seconds(s.longest_silence_ms).c_str());
  if (s.dropped_lines != 0) {
    std::printf("lines the logger lost: %llu\n", u(s.dropped_lines));
  }
  std::printf("skipped lines: %zu\n", report.skipped.size());
  for (std::size_t i = 0; i < report.skipped.size() && i < kSkippedShown; ++i) {
    const auto& skipped = report.skipped[i];
    std::printf("  %s:%llu: %s\n", skipped.file.c_str(), u(skipped.line), skipped.reason.c_str());
  }
  if (report.skipped.size() > kSkippedShown) {
    std::printf("  ... and %zu more (--json lists all)\n", report.skipped.size() - kSkippedShown);
  }
}

std::string JsonBills(const std::map<int64_t, uint64_t>& bills, uint64_t count, int64_t sum) {
  std::string out =
      "{\"count\": " + std::to_string(count) + ", \"sum\": " + std::to_string(sum) + ", \"by_value\": [";
  bool first = true;
  for (auto it = bills.rbegin(); it != bills.rend(); ++it) {
    out += std::string(first ? "" : ", ") + "{\"value\": " + std::to_string(it->first) +
           ", \"count\": " + std::to_string(it->second) + "}";
    first = false;
  }
  return out + "]}";
}

void PrintJson(const Options& options, const std::vector<std::string>& files, const Report& report) {
  const Summary& s = report.summary;
  const auto n = [](auto v) { return std::to_string(v); };
  std::string out = "{\n  \"files\": [";
  for (std::size_t i = 0; i < files.size(); ++i) {
    out += (i != 0 ? ", " : "") + Json(files[i]);
  }
  out += "],\n  \"since\": " + JsonMoment(options.reader.since) +
         ", \"until\": " + JsonMoment(options.reader.until);
  out += ",\n  \"first\": " + JsonMoment(s.first) + ", \"last\": " + JsonMoment(s.last) +
         ", \"lines\": " + n(s.lines);
  out += ",\n  \"loads\": [";
  for (std::size_t i = 0; i < s.loads.size(); ++i) {
    out += std::string(i != 0 ? ", " : "") + "{\"time\": " + JsonMoment(s.loads[i].start) +
           ", \"file\": " + Json(s.loads[i].file) + ", \"line\": " + n(s.loads[i].line) + "}";
  }
  out += "],\n  \"stacked\": " + JsonBills(s.stacked, s.StackedCount(), s.StackedSum());
  out += ",\n  \"returned\": " + JsonBills(s.returned, s.ReturnedCount(), s.ReturnedSum());
  out += ",\n  \"rejected\": {\"count\": " + n(s.RejectedCount()) + ", \"by_reason\": [";
  bool first = true;
  for (const auto& [reason, count] : s.rejected) {
    out += std::string(first ? "" : ", ") + "{\"reason\": " + Json(Hex(reason)) +
           ", \"name\": " + Json(ReasonName(reason)) + ", \"text\": " + Json(ReasonText(reason)) +
           ", \"count\": " + n(count) + "}";
    first = false;
  }
  out +=
      "]},\n  \"unconfirmed\": {\"count\": " + n(s.unconfirmed) + ", \"sum\": " + n(s.unconfirmed_sum) + "}";
  out += ",\n  \"repeated_events\": " + n(s.repeated_events) + ", \"timeouts\": " + n(s.timeouts) +
         ", \"bad_frames\": " + n(s.bad_frames) + ", \"failed_cycles\": " + n(s.failed_cycles) +
         ", \"power_ups\": " + n(s.power_ups) + ", \"dropped_lines\": " + n(s.dropped_lines) +
         ", \"ports_lost\": " + n(s.ports_lost) + ", \"ports_reopened\": " + n(s.ports_reopened);
  out += ",\n  \"not_answering\": {\"times\": " + n(s.silences) + ", \"ms\": " + n(s.silent_ms) +
         ", \"longest_ms\": " + n(s.longest_silence_ms) + "}";
  out += ",\n  \"skipped\": {\"count\": " + n(report.skipped.size()) + ", \"lines\": [";
  for (std::size_t i = 0; i < report.skipped.size(); ++i) {
    const auto& skipped = report.skipped[i];
    out += std::string(i != 0 ? ", " : "") + "{\"file\": " + Json(skipped.file) +
           ", \"line\": " + n(skipped.line) + ", \"reason\": " + Json(skipped.reason) + "}";
  }
  out += "]}";
  if (options.reader.timeline) {
    out += ",\n  \"timeline\": [";
    for (std::size_t i = 0; i < report.timeline.size(); ++i) {
      const auto& entry = report.timeline[i];
      out += std::string(i != 0 ? "," : "") + "\n    {\"time\": " + JsonMoment(entry.moment) +
             ", \"file\": " + Json(entry.file) + ", \"line\": " + n(entry.line) +
             ", \"kind\": " + Json(entry.kind) + ", \"text\": " + Json(entry.text) +
             ", \"port\": " + (entry.port.empty() ? std::string("null") : Json(entry.port)) + "}";
    }
    out += "\n  ]";
  }
  out += "\n}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

int LogCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--timeline") {
      options.reader.timeline = true;
    } else if (arg == "--since" || arg == "--until") {
      if (i + 1 >= args.size()) {
        return UsageError("log: " + arg + " needs a time");
      }
      const auto moment = logread::ParseMoment(args[++i]);
      if (!moment) {
        return UsageError("log: '" + args[i] + "' is not a time (dd.mm hh:mm:ss.zzz or YYYY-MM-DD hh:mm:ss)");
      }
      (arg == "--since" ? options.reader.since : options.reader.until) = *moment;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("log: unknown option " + arg + " (try 'notavero log --help')");
    } else {
      options.paths.push_back(arg);
    }
  }
  if (options.paths.empty()) {
    return UsageError("log: name the log files (try 'notavero log --help')");
  }
  std::vector<std::string> files;
  for (const auto& path : options.paths) {
    if (!AddFiles(path, files)) {
      return kExitUsage;
    }
  }
  std::vector<std::string> contents;
  std::vector<LogMoment> first_moments;
  for (const auto& file : files) {
    auto content = ReadWhole(file);
    if (!content) {
      return UsageError("log: cannot read " + file);
    }
    first_moments.push_back(logread::FirstMoment(*content));
    contents.push_back(std::move(*content));
  }
  logread::LogReader reader(options.reader);
  std::vector<std::string> ordered;
  for (const std::size_t i : logread::OrderLogFiles(files, first_moments)) {
    reader.ReadFile(files[i], contents[i]);
    ordered.push_back(files[i]);
  }
  const Report report = reader.Finish();
  if (options.json) {
    PrintJson(options, ordered, report);
  } else {
    PrintText(options, ordered, report);
  }
  return kExitOk;
}

}  // namespace notavero::tool
