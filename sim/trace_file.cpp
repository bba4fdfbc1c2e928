#include "sim/trace_file.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "sim/words.h"

namespace notavero::sim {

namespace {

std::runtime_error LineError(std::size_t number, const std::string& what) {
  return std::runtime_error("trace line " + std::to_string(number) + ": " + what);
}

}  // namespace

std::vector<TraceLine> ParseTrace(std::string_view text) {
  std::vector<TraceLine> lines;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') {
      continue;
    }
    line.remove_prefix(first);
    TraceLine parsed;
    parsed.line_number = number;
    const std::size_t space = std::min(line.find(' '), line.size());
    const std::string seconds(line.substr(0, space));
    std::size_t used = 0;
    try {
      parsed.seconds = std::stod(seconds, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != seconds.size()) {
      throw LineError(number, "no time in seconds at the start");
    }
    line.remove_prefix(std::min(space + 1, line.size()));
    const std::string_view kind = line.substr(0, 3);
    if (kind == "-- " || line == "--") {
      parsed.kind = TraceLine::Kind::kNote;
      parsed.text = std::string(line.substr(std::min<std::size_t>(3, line.size())));
      while (!parsed.text.empty() && (parsed.text.back() == '\r' || parsed.text.back() == ' ')) {
        parsed.text.pop_back();
      }
      lines.push_back(std::move(parsed));
      continue;
    }
    if (kind != "RX " && kind != "TX ") {
      throw LineError(number, "neither RX, TX nor -- after the time");
    }
    parsed.kind = kind == "RX " ? TraceLine::Kind::kReceived : TraceLine::Kind::kSent;
    std::string_view hex = line.substr(3);
    hex = hex.substr(0, hex.find(" #"));
    for (const auto word : Words(hex)) {
      unsigned value = 0;
      const auto [at, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
      if (word.size() != 2 || error != std::errc() || at != word.data() + word.size()) {
        throw LineError(number, "'" + std::string(word) + "' is not a hex byte");
      }
      parsed.bytes.push_back(static_cast<uint8_t>(value));
    }
    lines.push_back(std::move(parsed));
  }
  return lines;
}

std::vector<TraceLine> ReadTraceFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read the trace file " + path);
  }
  std::stringstream text;
  text << file.rdbuf();
  return ParseTrace(text.str());
}

std::vector<TraceLine> TraceWindow(const std::vector<TraceLine>& lines, double from, double to) {
  std::vector<TraceLine> window;
  for (const auto& line : lines) {
    if (line.seconds >= from && line.seconds <= to) {
      window.push_back(line);
    }
  }
  return window;
}

}  // namespace notavero::sim
