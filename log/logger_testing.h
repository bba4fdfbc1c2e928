// What tests need to drive the log: a settable clock, a replaceable file
// layer, a view of the log's lists and flags, and a reset of its state.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log/logger.h"

namespace notavero {

// Local date and time, as far as the time stamp needs it.
struct LogLocalTime {
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// A clock: returns the local time now.
using LogClock = LogLocalTime (*)();

// An open file of the file layer; kNoLogFile when opening failed.
using LogFileHandle = std::intptr_t;
inline constexpr LogFileHandle kNoLogFile = -1;

// The file operations of the log.  All are called with the log's lock held.
class LogFileLayer {
 public:
  virtual ~LogFileLayer() = default;
  // Opens an existing file for appending; fails when it does not exist.  On
  // failure returns kNoLogFile and sets `error` to the system's message.
  virtual LogFileHandle OpenExisting(const std::string& path, std::string& error) = 0;
  // Creates the file anew, empty (truncating one that exists), for appending.
  virtual LogFileHandle Create(const std::string& path, std::string& error) = 0;
  // Writes all of `bytes`; false when any of it could not be written (some
  // of it may have been: a full disk takes what fits).
  virtual bool Write(LogFileHandle file, std::string_view bytes) = 0;
  // Length of the open file in bytes; -1 when it cannot be told.
  virtual int64_t Size(LogFileHandle file) = 0;
  // Cuts the open file back to `size` bytes; false when it could not.
  virtual bool Truncate(LogFileHandle file, int64_t size) = 0;
  virtual void Close(LogFileHandle file) = 0;
  // Whether `file`, the last file this layer opened, is still the file that
  // `path` names (not removed, renamed or replaced since), with the file's
  // size in `size`.  A layer that cannot tell answers false, and the log
  // then opens and closes the file for every line.
  virtual bool StillNamed(LogFileHandle /*file*/, const std::string& /*path*/, int64_t& /*size*/) {
    return false;
  }
};

// The file layer on the operating system's files.
LogFileLayer& LogSystemFileLayer();

// Most lines kept while the file cannot be written; later ones are counted
// and reported by one line once writing works again.
inline constexpr std::size_t kLogMaxPendingLines = 10000;

namespace log_testing {

// Replaces the clock; nullptr restores the system's local time.
void SetClock(LogClock clock);
// Replaces the file layer; nullptr restores the system's.  The layer must
// outlive its use.
void SetFileLayer(LogFileLayer* layer);
// Installs a display sink; nullptr removes it.
void SetSink(LogSink* sink);

std::string FileName();
std::vector<std::string> AlertLines();
std::vector<std::string> PendingLines();
bool FirstWrite();
// How often the alert event has been set since the last Reset.
uint64_t AlertEventCount();
// Waits for the alert event (auto-reset); false on time-out.
bool WaitAlertEvent(std::chrono::milliseconds timeout);

// Whether the log holds its file open between lines now.
bool FileKeptOpen();

// Returns the log to its state at load (no file, FirstWrite set, empty
// lists, system clock and files, no sink).  Call only while no other thread
// logs.
void Reset();

}  // namespace log_testing
}  // namespace notavero
