// The driver's process-wide text log.
//
// Every line is appended to one file, opened and closed for each line (or
// kept open between lines while held, see LogHoldFile):
//   mark, space, "dd.mm hh:mm:ss.zzz", space, "[tag]", space, text, CR LF
// where the mark is one character of "-+?!#$^" for the levels 0 to 6 and the
// tag is always empty.  Texts are written byte for byte (Windows-1251).  A
// file above 10485760 bytes is rotated into the copies ".0" (newest) to ".10"
// (oldest) before the next line.  A line is written whole or not at all (a
// write that a full disk cut short is cut back off the file); lines lost to
// a failed write are counted and reported by one line, "Пропущено строк
// журнала: N", once writing works again.  Nothing that goes wrong with the
// file ever reaches the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace notavero {

// Size above which the log file is rotated, in bytes.
inline constexpr int32_t kLogMaxSize = 10485760;

// Sets the log file.  A name of at most 10 characters is an extension (with
// its full stop) that replaces the extension of the host executable's path,
// or is appended to it; the log then lies beside the executable.  A longer
// name is the file's path, and its directory is created with every missing
// parent (a failure is not reported; the first write then switches file
// logging off).  Lines still waiting from an earlier failure are dropped and
// the list of alert lines starts empty.  Never throws.
void LogInit(std::string_view name);

// A log file's path taken as it stands, whatever its length: a path that a
// person chose (the environment's NOTAVERO_LOG) is never read as an
// extension, so "/tmp/x.log" is that file and not one beside the executable.
struct LogPath {
  std::string value;
};

// Sets the log file to `path.value` as LogInit does for a long name: its
// directory is created, waiting lines and alert lines are dropped.  An empty
// path switches file logging off.  Never throws.
void LogInit(const LogPath& path);

// The levels of the log's lines, 0..6, each written with its own mark.
enum class LogLevel : uint8_t {
  kTrace = 0,
  kDebug = 1,  // the port's traffic: frames sent and received, port notes
  kInfo = 2,   // the driver's own lines: states, bills, errors of a cycle
  kWarn = 3,   // alert lines (see LogWrite)
  kError = 4,
  kCritical = 5,
  kFatal = 6,
};

// Writes one line of level 0..6 (a higher level is written with the mark of
// level 6).  Level-3 lines (LogLevel::kWarn) are also remembered as alert
// lines, one per distinct text, and signal the alert event.  Safe to call
// from any thread; never throws, whatever the file system does.
void LogWrite(uint8_t level, std::string_view text) noexcept;
inline void LogWrite(LogLevel level, std::string_view text) noexcept {
  LogWrite(static_cast<uint8_t>(level), text);
}

// Rotates the log file when it is larger than `limit` bytes: ".10" is
// deleted, ".9" .. ".0" move up by one, and the file becomes ".0".  Failures
// are passed over.  LogWrite calls it before every line.
void LogRotate(int32_t limit) noexcept;

// While at least one hold is taken the log keeps its file open between
// lines, where the system lets it tell cheaply that the path still names
// that file (POSIX); it checks so before the first line of each second of
// the log's clock, and a file that was removed, renamed or replaced is
// opened anew by its path from then on, as it would be without the hold
// (lines of the same second still go to the file held).  Within that second
// the file's size is what the log wrote to it, so that its own lines rotate
// it at the limit as before.  The last release closes the file.  An open
// serial port holds the log, so that each line of a polling driver costs a
// write (and one status query a second) instead of an open, queries, a write
// and a close.  Never throw; every hold must be released once.
void LogHoldFile() noexcept;
void LogReleaseFile() noexcept;

// Receives every formatted line (time stamp, tag and text, without mark) and
// notices about the file, for an on-screen log list.  Nothing in the library
// installs one.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Post(uint8_t level, std::string_view line) = 0;
};

}  // namespace notavero
