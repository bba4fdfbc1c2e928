// Reading back the trace file that SimServer writes (SimOptions::trace_file):
// one line per frame the device received (RX) or sent (TX), and one per
// command run on it or note made (--), each with the seconds since the
// server started.  A recorded run read back this way can be replayed: the
// frames in their order, the notes where they fell between them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace notavero::sim {

struct TraceLine {
  enum class Kind : uint8_t { kReceived, kSent, kNote };
  double seconds = 0;
  Kind kind = Kind::kNote;
  std::vector<uint8_t> bytes;  // RX and TX
  std::string text;            // notes
  std::size_t line_number = 0;
};

// Parses trace text.  Blank lines and lines starting with '#' are skipped;
// text after " # " on a frame line is a comment.  Throws std::runtime_error
// naming the line for anything else it cannot read.
std::vector<TraceLine> ParseTrace(std::string_view text);
// Reads and parses a trace file; throws std::runtime_error when it cannot.
std::vector<TraceLine> ReadTraceFile(const std::string& path);

// The lines whose time lies within [from, to] seconds.
std::vector<TraceLine> TraceWindow(const std::vector<TraceLine>& lines, double from, double to);

}  // namespace notavero::sim
