#include "log/logger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/cp1251.h"
#include "common/event.h"
#include "log/log_phrases.h"
#include "log/log_platform.h"
#include "log/logger_testing.h"

namespace notavero {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kLevelMarks = "-+?!#$^";
constexpr auto kAlertLevel = static_cast<uint8_t>(LogLevel::kWarn);
constexpr uint8_t kNoticeLevel = 4;
constexpr std::size_t kTimeStampSize = 18;
constexpr std::size_t kMaxExtensionName = 10;
constexpr int kCopies = 11;  // ".0" .. ".10"
constexpr std::string_view kLineEnd = "\r\n";

constexpr auto kCannotWrite = Cp1251(u8" Не могу записать файл журнала ");
constexpr auto kRestored = Cp1251(u8" Восстановлена запись файла журнала ");

// The process-wide state of the log.  Everything but the atomics and the
// event is guarded by `lock`.
struct LogState {
  std::mutex lock;  // LogLock: made once per process, a leaf lock
  std::string file_name;
  const std::string tag;  // never set: every line shows "[]"
  std::deque<std::string> pending;
  uint64_t dropped = 0;  // lines lost (not kept, or a write failed) since the last report
  std::vector<std::string> alerts;
  bool first_write = true;
  bool write_broken = false;
  LogFileLayer* files = nullptr;
  int holds = 0;                       // LogHoldFile calls not yet released
  LogFileHandle kept = kNoLogFile;     // the file held open between lines
  LogFileLayer* kept_layer = nullptr;  // the layer that opened it
  // When the path was last found to name the held file (the log's clock, to
  // the second), and the file's size after this log's last write to it.
  LogLocalTime kept_checked{0, 0, 0, 0, 0, 0};  // month 0: never
  int64_t kept_size = -1;                       // -1: unknown, ask the path
  Event alert_event{Event::Mode::kAutoReset};
  std::atomic<uint64_t> alerts_signalled{0};  // how often alert_event was set
  std::atomic<LogClock> clock{nullptr};
  std::atomic<LogSink*> sink{nullptr};
};

// Never destroyed, so that a thread still logging while the process exits
// does not meet a destroyed lock.
LogState& State() {
  static LogState* const state = new LogState();
  return *state;
}

LogFileLayer& Files(LogState& s) {
  return s.files != nullptr ? *s.files : log_platform::SystemFiles();
}

void AppendDigits(std::string& out, int value, int width) {
  char digits[3];
  auto v = static_cast<unsigned>(std::max(value, 0));
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  out.append(digits, static_cast<std::size_t>(width));
}

// "dd.mm hh:mm:ss.zzz", always 18 characters.
void AppendTimeStamp(std::string& out, const LogLocalTime& t) {
  const char separator = log_platform::TimeSeparator();
  AppendDigits(out, t.day, 2);
  out.push_back('.');
  AppendDigits(out, t.month, 2);
  out.push_back(' ');
  AppendDigits(out, t.hour, 2);
  out.push_back(separator);
  AppendDigits(out, t.minute, 2);
  out.push_back(separator);
  AppendDigits(out, t.second, 2);
  out.push_back('.');
  AppendDigits(out, t.millisecond, 3);
}

LogLocalTime Now(const LogState& s) {
  const LogClock clock = s.clock.load(std::memory_order_acquire);
  return clock != nullptr ? clock() : log_platform::LocalNow();
}

std::string TimeStamp(const LogState& s) {
  std::string stamp;
  AppendTimeStamp(stamp, Now(s));
  return stamp;
}

void AddPending(LogState& s, std::string line) {
  if (s.pending.size() < kLogMaxPendingLines) {
    s.pending.push_back(std::move(line));
  } else {
    ++s.dropped;
  }
}

// Renames unless the target exists, so that no copy is ever overwritten.
void RenameIfFree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(to, ec) || ec) {
    return;
  }
  fs::rename(from, to, ec);
}

void RotateLocked(const std::string& file_name, int32_t limit) {
  std::error_code ec;
  const fs::path path(file_name);
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || static_cast<std::intmax_t>(size) <= limit) {
    return;
  }
  const auto copy = [&file_name](int n) { return fs::path(file_name + "." + std::to_string(n)); };
  fs::remove(copy(kCopies - 1), ec);
  for (int n = kCopies - 2; n >= 0; --n) {
    RenameIfFree(copy(n), copy(n + 1));
  }
  RenameIfFree(path, copy(0));
}

void CloseKept(LogState& s) {
  if (s.kept != kNoLogFile) {
    s.kept_layer->Close(s.kept);
    s.kept = kNoLogFile;
    s.kept_layer = nullptr;
  }
  s.kept_checked = LogLocalTime{0, 0, 0, 0, 0, 0};
  s.kept_size = -1;
}

// Whether two times of the log's clock fall in the same second.
bool SameSecond(const LogLocalTime& a, const LogLocalTime& b) {
  return a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
         a.second == b.second;
}

// The file held open since an earlier line, when the path still names it
// and it needs no rotation, with its size; else kNoLogFile (a held file is
// closed then).  The path is asked once a second of the log's clock (`now`,
// the line's time): within the second that asked, the file's size is what
// this log wrote to it.
LogFileHandle TakeKept(LogState& s, LogFileLayer& files, const LogLocalTime& now, int64_t& size) {
  if (s.kept == kNoLogFile) {
    return kNoLogFile;
  }
  int64_t named_size = -1;
  if (s.kept_layer == &files && s.kept_size >= 0 && SameSecond(s.kept_checked, now)) {
    named_size = s.kept_size;
  } else if (s.kept_layer == &files && files.StillNamed(s.kept, s.file_name, named_size)) {
    s.kept_checked = now;
  } else {
    named_size = -1;
  }
  if (named_size < 0 || named_size > kLogMaxSize) {
    CloseKept(s);
    return kNoLogFile;
  }
  size = named_size;
  s.kept_layer = nullptr;
  const LogFileHandle kept = std::exchange(s.kept, kNoLogFile);
  s.kept_size = -1;  // known again once the line is written
  return kept;
}

// Closes the file on every way out of a write, unless it is released to be
// held open.
class OpenFile {
 public:
  static constexpr int64_t kUnread = -2;

  // `size`: the file's size when known, else kUnread.
  OpenFile(LogFileLayer& files, LogFileHandle handle, int64_t size = kUnread)
      : files_(files), handle_(handle), size_(size) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (handle_ != kNoLogFile) {
      files_.Close(handle_);
    }
  }

  LogFileHandle Release() { return std::exchange(handle_, kNoLogFile); }

  // The file's size after the writes through this handle; negative when
  // unknown.
  [[nodiscard]] int64_t Size() const { return size_; }

  // Writes `bytes` whole or not at all: what a failed write left (a full
  // disk takes what fits) is cut off again, so that the file holds no torn
  // line.  After a failure nothing more is written through this handle.
  bool Write(std::string_view bytes) {
    if (size_ == kUnread) {
      size_ = files_.Size(handle_);  // once per opening: the writes below all append
    }
    if (files_.Write(handle_, bytes)) {
      if (size_ >= 0) {
        size_ += static_cast<int64_t>(bytes.size());
      }
      return true;
    }
    if (size_ >= 0) {
      files_.Truncate(handle_, size_);
    }
    return false;
  }

 private:
  LogFileLayer& files_;
  LogFileHandle handle_;
  int64_t size_ = kUnread;  // the file's size before the next write; -1 unknown
};

// Writes the waiting lines; false when a write failed (the unwritten lines
// stay).
bool WritePending(LogState& s, OpenFile& file) {
  std::string buffer;
  while (!s.pending.empty()) {
    buffer.assign(s.pending.front());
    buffer.append(kLineEnd);
    if (!file.Write(buffer)) {
      return false;
    }
    s.pending.pop_front();
  }
  return true;
}

void PostNotice(LogState& s, LogSink* sink, std::string_view text) {
  std::string notice = TimeStamp(s);
  notice.append(text);
  notice.append(s.file_name);
  sink->Post(kNoticeLevel, notice);
}

// Counts `line` as lost to a failed write; it is reported with the other
// dropped lines once writing works again.
void LoseLine(LogState& s, LogSink* sink) {
  ++s.dropped;
  if (!s.write_broken && sink != nullptr) {
    PostNotice(s, sink, kCannotWrite);
    s.write_broken = true;
  }
}

// Rotates, opens (or creates) the file and writes the empty line of the
// load, the waiting lines, the count of dropped lines and `line`, stamped
// `now`.  A line that cannot be written is dropped and counted.  Called with
// the lock held.
void WriteLocked(LogState& s, std::string_view line, const LogLocalTime& now) {
  LogFileLayer& files = Files(s);
  LogSink* const sink = s.sink.load(std::memory_order_acquire);
  int64_t size = OpenFile::kUnread;
  LogFileHandle handle = TakeKept(s, files, now, size);
  const bool was_kept = handle != kNoLogFile;
  if (!was_kept) {
    RotateLocked(s.file_name, kLogMaxSize);
    std::string error;
    handle = files.OpenExisting(s.file_name, error);
    if (handle == kNoLogFile) {
      AddPending(s, std::string(phrase::kOpenFailure.view()) + error);
      std::string create_error;
      handle = files.Create(s.file_name, create_error);
      if (handle == kNoLogFile) {
        if (sink != nullptr) {
          PostNotice(s, sink, kCannotWrite);
          s.write_broken = true;
        }
        s.file_name.clear();
        return;
      }
    }
  }
  OpenFile file(files, handle, size);
  if (s.first_write) {
    if (!file.Write(kLineEnd)) {
      LoseLine(s, sink);
      return;
    }
    s.first_write = false;
  }
  if (!WritePending(s, file)) {
    LoseLine(s, sink);
    return;
  }
  // The count of dropped lines goes out in one write with the line, so that
  // a disk with room for the short report only does not fill with reports.
  std::string with_report;
  if (s.dropped != 0) {
    with_report.assign(phrase::kDroppedLines.view());
    with_report.append(std::to_string(s.dropped));
    with_report.append(kLineEnd);
    with_report.append(line);
  }
  if (!file.Write(with_report.empty() ? line : std::string_view(with_report))) {
    LoseLine(s, sink);
    return;
  }
  s.dropped = 0;
  if (s.write_broken && sink != nullptr) {
    PostNotice(s, sink, kRestored);
    s.write_broken = false;
  }
  // Held: the file stays open for the next line, where the layer can tell
  // later that the path still names it (a fresh opening is asked once, and
  // that counts as this second's question).
  int64_t named_size = -1;
  if (s.holds > 0 && (was_kept || files.StillNamed(handle, s.file_name, named_size))) {
    if (!was_kept) {
      s.kept_checked = now;
    }
    s.kept_size = file.Size();
    s.kept = file.Release();
    s.kept_layer = &files;
  }
}

// Path of the log for a short name: the executable's path with its
// extension replaced by `name`, or with `name` appended.
std::string BesideExecutable(std::string_view name) {
  std::string path = log_platform::ExecutablePath();
  if (path.empty()) {
    return path;
  }
  const std::size_t name_size = fs::path(path).filename().string().size();
  const std::size_t name_start = path.size() - std::min(name_size, path.size());
  const std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot >= name_start) {
    path.resize(dot);
  }
  path.append(name);
  return path;
}

}  // namespace

namespace {

// Makes `file_name` the log file, starting the lists over.
void UseFile(std::string file_name) {
  LogState& s = State();
  {
    const std::lock_guard lock(s.lock);
    CloseKept(s);
    s.file_name = std::move(file_name);
    s.pending.clear();
    s.dropped = 0;
    s.alerts.clear();
  }
  s.alert_event.Reset();
}

// The path as it stands, its directory created with every missing parent.
void UsePath(std::string_view path) {
  std::string file_name(path);
  const fs::path directory = fs::path(file_name).parent_path();
  std::error_code ec;
  if (!directory.empty()) {
    fs::create_directories(directory, ec);
  }
  UseFile(std::move(file_name));
}

}  // namespace

void LogInit(std::string_view name) {
  try {
    if (name.size() <= kMaxExtensionName) {
      UseFile(BesideExecutable(name));
    } else {
      UsePath(name);
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): the log never fails its caller
  }
}

void LogInit(const LogPath& path) {
  try {
    UsePath(path.value);
  } catch (...) {  // NOLINT(bugprone-empty-catch): the log never fails its caller
  }
}

void LogWrite(uint8_t level, std::string_view text) noexcept {
  try {
    LogState& s = State();
    const char mark = kLevelMarks[std::min<std::size_t>(level, kLevelMarks.size() - 1)];
    // The file line in one buffer; the formatted line is its middle part.
    const LogLocalTime now = Now(s);
    std::string line;
    line.reserve(2 + kTimeStampSize + 4 + s.tag.size() + text.size() + kLineEnd.size());
    line.push_back(mark);
    line.push_back(' ');
    AppendTimeStamp(line, now);
    line.append(" [");
    line.append(s.tag);
    line.append("] ");
    line.append(text);
    line.append(kLineEnd);
    const std::string_view formatted = std::string_view(line).substr(2, line.size() - 2 - kLineEnd.size());

    if (LogSink* const sink = s.sink.load(std::memory_order_acquire)) {
      sink->Post(level, formatted);
    }
    if (level == kAlertLevel) {
      {
        const std::lock_guard lock(s.lock);
        const std::string_view key = formatted.substr(kTimeStampSize);
        const bool known = std::any_of(s.alerts.begin(), s.alerts.end(), [key](const std::string& entry) {
          return std::string_view(entry).substr(kTimeStampSize) == key;
        });
        if (!known) {
          s.alerts.emplace_back(formatted);
        }
      }
      s.alerts_signalled.fetch_add(1, std::memory_order_relaxed);
      s.alert_event.Set();
    }

    const std::lock_guard lock(s.lock);
    if (!s.file_name.empty()) {
      WriteLocked(s, line, now);
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): the log never fails its caller
  }
}

void LogRotate(int32_t limit) noexcept {
  try {
    LogState& s = State();
    const std::lock_guard lock(s.lock);
    CloseKept(s);  // the next line opens the file by its path again
    if (!s.file_name.empty()) {
      RotateLocked(s.file_name, limit);
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): rotation failures are passed over
  }
}

void LogHoldFile() noexcept {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  ++s.holds;
}

void LogReleaseFile() noexcept {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  if (s.holds > 0 && --s.holds == 0) {
    CloseKept(s);
  }
}

LogFileLayer& LogSystemFileLayer() {
  return log_platform::SystemFiles();
}

namespace log_testing {

void SetClock(LogClock clock) {
  State().clock.store(clock, std::memory_order_release);
}

void SetFileLayer(LogFileLayer* layer) {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  CloseKept(s);
  s.files = layer;
}

void SetSink(LogSink* sink) {
  State().sink.store(sink, std::memory_order_release);
}

std::string FileName() {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  return s.file_name;
}

std::vector<std::string> AlertLines() {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  return s.alerts;
}

std::vector<std::string> PendingLines() {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  return {s.pending.begin(), s.pending.end()};
}

bool FileKeptOpen() {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  return s.kept != kNoLogFile;
}

bool FirstWrite() {
  LogState& s = State();
  const std::lock_guard lock(s.lock);
  return s.first_write;
}

uint64_t AlertEventCount() {
  return State().alerts_signalled.load(std::memory_order_relaxed);
}

bool WaitAlertEvent(std::chrono::milliseconds timeout) {
  return State().alert_event.Wait(timeout);
}

void Reset() {
  LogState& s = State();
  {
    const std::lock_guard lock(s.lock);
    CloseKept(s);
    s.holds = 0;
    s.file_name.clear();
    s.pending.clear();
    s.dropped = 0;
    s.alerts.clear();
    s.first_write = true;
    s.write_broken = false;
    s.files = nullptr;
  }
  s.clock.store(nullptr, std::memory_order_release);
  s.sink.store(nullptr, std::memory_order_release);
  s.alert_event.Reset();
  s.alerts_signalled.store(0, std::memory_order_relaxed);
}

}  // namespace log_testing
}  // namespace notavero
