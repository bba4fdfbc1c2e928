// Reading the driver's log for people: what the machine did in a period.
//
// The reader takes the log's lines as the logger wrote them (Windows-1251
// bytes, CR LF), file after file from the oldest, and keeps what the lines
// say: loads of the library, the bill table the driver read, every state
// the device reported, bills stacked, returned and rejected, time-outs, bad
// frames, failed cycles and how long the device did not answer.  A line it
// cannot read (cut off, garbage, a frame with broken hex) is skipped and
// named, never fatal.  No I/O: the caller reads the files and prints.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace notavero::logread {

// A moment in the log: the log writes no year, so moments compare by month,
// day and time of day.  Value: milliseconds counted from 1 January 00:00
// with 31-day months (ordering only, not a duration across months).
using LogMoment = int64_t;

inline constexpr LogMoment kNoMoment = -1;

// "dd.mm hh:mm:ss.zzz" (the log's own), "dd.mm hh:mm[:ss]", "dd.mm",
// "YYYY-MM-DD[ hh:mm[:ss[.zzz]]]" or "YYYY-MM-DDThh:mm..." (the year is
// ignored); nothing when the text is none of these.
std::optional<LogMoment> ParseMoment(std::string_view text);

// "dd.mm hh:mm:ss.zzz".
std::string FormatMoment(LogMoment moment);

// The order to read log files in, oldest first, as indexes into `names`:
// the copies the logger rotates to ("X.10" .. "X.0", the higher number the
// older), then every other file by `first_moments` (the first time stamp in
// each, kNoMoment when it has none; equal ones keep their order), so that
// the current file "X" comes last.
std::vector<std::size_t> OrderLogFiles(const std::vector<std::string>& names,
                                       const std::vector<LogMoment>& first_moments);

// English name of a device state ("idling", "escrow"); empty when unknown.
std::string_view StateName(uint8_t state);

struct SkippedLine {
  std::string file;
  uint64_t line = 0;
  std::string reason;
};

struct LoadOfLibrary {
  LogMoment start = kNoMoment;  // the first time stamp after its empty line
  std::string file;
  uint64_t line = 0;
};

struct TimelineEntry {
  LogMoment moment = kNoMoment;
  std::string file;
  uint64_t line = 0;
  std::string kind;  // "state", "bill", "command", "link", "error", "load", "file"
  std::string text;  // UTF-8
  std::string port;  // the validator's port as the log names it ("COM7", "/dev/ttyUSB0"); empty: none
};

// What a period holds.  Amounts are whole currency units.
struct Summary {
  LogMoment first = kNoMoment;  // first and last time stamp read in the period
  LogMoment last = kNoMoment;
  uint64_t lines = 0;  // lines read in the period
  std::vector<LoadOfLibrary> loads;
  std::map<int64_t, uint64_t> stacked;   // value (0: unknown) -> bills
  std::map<int64_t, uint64_t> returned;  // value (0: unknown) -> bills
  std::map<uint8_t, uint64_t> rejected;  // reason (sub-code) -> bills
  uint64_t repeated_events = 0;          // stacked or returned events the driver did not count again
  uint64_t unconfirmed = 0;              // bills the driver could not confirm
  int64_t unconfirmed_sum = 0;
  uint64_t timeouts = 0;
  uint64_t bad_frames = 0;
  uint64_t failed_cycles = 0;
  uint64_t power_ups = 0;
  uint64_t silences = 0;  // periods without an answer
  int64_t silent_ms = 0;  // their length in all, within the period
  int64_t longest_silence_ms = 0;
  uint64_t dropped_lines = 0;   // lines the logger itself reported lost
  uint64_t ports_lost = 0;      // the port failed under the driver (adapter pulled)
  uint64_t ports_reopened = 0;  // and was opened again

  [[nodiscard]] uint64_t StackedCount() const;
  [[nodiscard]] int64_t StackedSum() const;
  [[nodiscard]] uint64_t ReturnedCount() const;
  [[nodiscard]] int64_t ReturnedSum() const;
  [[nodiscard]] uint64_t RejectedCount() const;
};

struct Report {
  Summary summary;
  std::vector<TimelineEntry> timeline;  // empty unless asked for
  std::vector<SkippedLine> skipped;     // every damaged line, in any period
};

class LogReader {
 public:
  struct Options {
    LogMoment since = kNoMoment;  // inclusive
    LogMoment until = kNoMoment;  // exclusive
    bool timeline = false;
  };

  explicit LogReader(Options options);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Reads one file's whole content; files go in oldest first.
  void ReadFile(std::string_view name, std::string_view content);

  // Ends the reading (a silence still open ends at the last time stamp).
  Report Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reads `content` as one file named `name`; the fuzz and test entry.
Report ReadLog(std::string_view content, LogReader::Options options = {}, std::string_view name = "log");

// The first time stamp in a file's content; kNoMoment when there is none.
LogMoment FirstMoment(std::string_view content);

}  // namespace notavero::logread
