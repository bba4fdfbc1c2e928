// The line server: a pseudo-terminal or serial device, one thread with
// ppoll() and a wake-up pipe, and byte pacing by deadline (no busy waiting:
// the thread sleeps until the next byte is due, then writes every byte whose
// time has come).

#include "sim/sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/hex.h"
#include "sim/words.h"

namespace notavero::sim {

namespace {

// Ten bits a byte (start, eight data, stop) at 9600 baud.
constexpr std::chrono::nanoseconds kByteTime{10 * 1000000000LL / 9600};
constexpr std::size_t kStateHistory = 1024;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::generic_category().message(errno));
}

void MakeRaw(int fd, const std::string& path) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    throw SystemError("cannot read the line settings of " + path);
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    throw SystemError("cannot set raw 9600 8N1 on " + path);
  }
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throw SystemError("fcntl");
  }
}

timespec ToTimespec(SimClock::duration d) {
  const auto ns = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

ModelOptions ModelOptionsOf(const SimOptions& options) {
  ModelOptions model;
  model.power_up_state = options.power_up_state;
  model.start_disabled = options.start_disabled;
  model.table =
      options.bill_table_file.empty() ? options.bill_table : LoadBillTableFile(options.bill_table_file);
  model.trace_limit = 0;  // the server keeps the line's trace, with line times
  return model;
}

// Where a symbolic link points; "" when `path` is none.
std::string LinkTarget(const std::string& path) {
  std::array<char, 4096> target{};
  const ssize_t size = readlink(path.c_str(), target.data(), target.size() - 1);
  return size > 0 ? std::string(target.data(), static_cast<std::size_t>(size)) : std::string();
}

// Points the symbolic link `link` at `target` in one step: a new link beside
// it is renamed over it, so that whoever opens `link` meanwhile finds either
// the old line or the new one.
void PointLink(const std::string& link, const std::string& target) {
  const std::string fresh = link + ".new-" + std::to_string(getpid());
  unlink(fresh.c_str());
  if (symlink(target.c_str(), fresh.c_str()) != 0) {
    throw SystemError("cannot create the link " + fresh);
  }
  if (rename(fresh.c_str(), link.c_str()) != 0) {
    const auto error = SystemError("cannot rename " + fresh + " to " + link);
    unlink(fresh.c_str());
    throw error;
  }
}

// Removes the link while it still points at `target`, and only then.
void RemoveLink(const std::string& link, const std::string& target) {
  if (!link.empty() && !target.empty() && LinkTarget(link) == target) {
    unlink(link.c_str());
  }
}

}  // namespace

std::unique_ptr<SimServer> SimServer::Start(const SimOptions& options) {
  if (options.power_up_state < dsPowerUp || options.power_up_state > dsPowerUpBillNoReturn) {
    throw std::runtime_error("the power-up state must be 10, 11 or 12");
  }
  if (!options.link.empty() && !options.device.empty()) {
    throw std::runtime_error("a link is made for a pseudo-terminal only, not for " + options.device);
  }
  struct stat existing {};
  if (!options.link.empty() && lstat(options.link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    throw std::runtime_error("the link " + options.link + " would replace a file that is not a link");
  }
  std::unique_ptr<SimServer> server(new SimServer(options));
  server->OpenLine(options.device);
  if (!options.link.empty()) {
    PointLink(options.link, server->path_);
  }
  if (!options.trace_file.empty()) {
    server->trace_file_ = std::fopen(options.trace_file.c_str(), "w");
    if (server->trace_file_ == nullptr) {
      throw SystemError("cannot write the trace file " + options.trace_file);
    }
  }
  std::array<int, 2> wake{};
  if (pipe(wake.data()) != 0) {
    throw SystemError("pipe");
  }
  server->wake_read_ = wake[0];
  server->wake_write_ = wake[1];
  SetNonBlocking(wake[0]);
  SetNonBlocking(wake[1]);
  server->last_state_ = server->model_.State();
  server->thread_ = std::thread([raw = server.get()] { raw->Run(); });
  return server;
}

SimServer::SimServer(const SimOptions& options)
    : fast_(options.fast),
      started_(SimClock::now()),
      pseudo_terminal_(options.device.empty()),
      link_(options.link),
      trace_limit_(options.trace_limit),
      on_error_(options.on_error),
      model_(ModelOptionsOf(options), started_) {}

SimServer::~SimServer() {
  Stop();
  RemoveLink(link_, path_);
  for (const int fd : {line_fd_, slave_fd_, wake_read_, wake_write_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  if (trace_file_ != nullptr) {
    std::fclose(trace_file_);
  }
}

void SimServer::OpenLine(const std::string& device) {
  if (!device.empty()) {
    path_ = device;
    line_fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line_fd_ < 0) {
      throw SystemError("cannot open " + device);
    }
    MakeRaw(line_fd_, device);
    tcflush(line_fd_, TCIOFLUSH);
    return;
  }
  OpenPseudoTerminal();
}

void SimServer::OpenPseudoTerminal() {
  // The descriptors become the server's only when all went well.
  struct Descriptors {
    int master = -1;
    int slave = -1;
    ~Descriptors() {
      for (const int fd : {master, slave}) {
        if (fd >= 0) {
          close(fd);
        }
      }
    }
  } fds;
  fds.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fds.master < 0 || grantpt(fds.master) != 0 || unlockpt(fds.master) != 0) {
    throw SystemError("cannot create a pseudo-terminal");
  }
  SetNonBlocking(fds.master);
  std::array<char, 128> name{};
  if (ptsname_r(fds.master, name.data(), name.size()) != 0) {
    throw SystemError("ptsname");
  }
  const std::string path = name.data();
  fds.slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fds.slave < 0) {
    throw SystemError("cannot open " + path);
  }
  MakeRaw(fds.slave, path);
  line_fd_ = std::exchange(fds.master, -1);
  slave_fd_ = std::exchange(fds.slave, -1);
  const std::lock_guard lock(mutex_);
  path_ = path;
}

void SimServer::CloseLine() {
  for (int* fd : {&line_fd_, &slave_fd_}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

std::string SimServer::SlavePath() const {
  const std::lock_guard lock(mutex_);
  return path_;
}

void SimServer::ServeLineRequest() {
  LineRequest request = LineRequest::kNone;
  std::string old_path;
  {
    const std::lock_guard lock(mutex_);
    request = line_request_;
    old_path = path_;
  }
  if (request == LineRequest::kNone) {
    return;
  }
  CommandResult result{true, "", false};
  const bool was_plugged = line_fd_ >= 0;
  if (was_plugged) {
    RemoveLink(link_, old_path);
    CloseLine();  // the driver's side of the line hangs up
  }
  if (request == LineRequest::kUnplug) {
    result.text = was_plugged ? "unplug: " + old_path + " has gone; the device keeps its power"
                              : "unplug: the line is unplugged already";
    result.ok = was_plugged;
  } else {
    try {
      OpenPseudoTerminal();
      std::string path = SlavePath();
      if (!link_.empty()) {
        PointLink(link_, path);
      }
      result.text = "replug: " + path + (link_.empty() ? "" : " (" + link_ + " points at it)");
    } catch (const std::exception& error) {
      CloseLine();
      result = CommandResult{false, std::string("replug: ") + error.what(), false};
    }
  }
  const std::lock_guard lock(mutex_);
  if (line_fd_ < 0) {
    path_.clear();
  } else {
    ++replugs_;
  }
  // A reply on its way is lost with the line; bytes come anew on a new one.
  DropOutputLocked();
  rx_wire_end_ = SimTime();
  if (trace_file_ != nullptr && result.ok) {
    to_file_.push_back(FileLine{TraceEntry{SimClock::now(), Direction::kReceived, {}},
                                request == LineRequest::kUnplug ? "cmd unplug" : "cmd replug " + path_});
  }
  line_result_ = std::move(result);
  line_request_ = LineRequest::kNone;
  ++line_requests_done_;
  changed_.notify_all();
}

CommandResult SimServer::LineCommand(LineRequest request, std::string_view line) {
  const std::string_view name = request == LineRequest::kUnplug ? "unplug" : "replug";
  if (Words(line.substr(0, line.find('#'))).size() != 1) {
    return CommandResult{false, std::string(name) + ": bad arguments, usage: " + std::string(name), false};
  }
  if (!pseudo_terminal_) {
    return CommandResult{false,
                         std::string(name) + ": the line is the serial device " + SlavePath() +
                             "; pull and plug its cable instead",
                         false};
  }
  std::unique_lock lock(mutex_);
  // One request at a time; the server's thread takes it at its next turn.
  changed_.wait(lock, [&] { return line_request_ == LineRequest::kNone || stopped_; });
  const uint64_t done = line_requests_done_;
  if (!stopped_) {
    line_request_ = request;
    lock.unlock();
    Wake();
    lock.lock();
    changed_.wait(lock, [&] { return line_requests_done_ != done || stopped_; });
  }
  if (line_requests_done_ == done) {
    return CommandResult{false, std::string(name) + ": the simulator has stopped", false};
  }
  return line_result_;
}

SimClock::duration SimServer::ByteTime() const {
  return fast_ ? SimClock::duration::zero() : std::chrono::duration_cast<SimClock::duration>(kByteTime);
}

void SimServer::Wake() const {
  const uint8_t byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this fails.
  [[maybe_unused]] const auto written = write(wake_write_, &byte, 1);
}

void SimServer::Run() {
  bool want_output = false;
  std::vector<FileLine> to_file;
  for (;;) {
    std::optional<SimTime> deadline;
    ServeLineRequest();
    if (line_fd_ < 0) {
      want_output = false;
    }
    {
      const std::lock_guard lock(mutex_);
      if (stop_requested_) {
        break;
      }
      deadline = model_.NextDeadline();
      if (!output_.empty() && !want_output) {
        const Outgoing& next = output_.front();
        const SimTime due = next.start + ByteTime() * static_cast<int64_t>(next.sent + (fast_ ? 0 : 1));
        deadline = deadline ? std::min(*deadline, due) : due;
      }
    }
    std::array<pollfd, 2> fds{};
    fds[0] = {wake_read_, POLLIN, 0};
    fds[1] = {line_fd_, static_cast<short>(POLLIN | (want_output ? POLLOUT : 0)), 0};
    timespec timeout{};
    if (deadline) {
      timeout = ToTimespec(*deadline - SimClock::now());
    }
    const int ready = ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      const std::lock_guard lock(mutex_);
      error_ = std::string("poll: ") + std::generic_category().message(errno);
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      std::array<uint8_t, 64> drain{};
      while (read(wake_read_, drain.data(), drain.size()) > 0) {
      }
    }
    if (line_fd_ >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        !ReadLine((fds[1].revents & POLLIN) == 0)) {
      const std::lock_guard lock(mutex_);
      error_ = "the line " + path_ + " has gone (hang-up or read error)";
      break;
    }
    {
      const std::lock_guard lock(mutex_);
      const SimTime now = SimClock::now();
      model_.Advance(now);
      NoteStateLocked();
      want_output = WriteDueLocked(now);
      to_file.swap(to_file_);
    }
    WriteTraceFile(to_file);
    to_file.clear();
  }
  {
    const std::lock_guard lock(mutex_);
    to_file.swap(to_file_);
  }
  WriteTraceFile(to_file);
  std::string error;
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    error = error_;
    changed_.notify_all();
  }
  if (!error.empty() && on_error_) {
    on_error_(error);
  }
}

bool SimServer::ReadLine(bool hangup) {
  std::array<uint8_t, 512> buffer{};
  const ssize_t count = read(line_fd_, buffer.data(), buffer.size());
  if (count == 0 || (count < 0 && (hangup || (errno != EAGAIN && errno != EINTR)))) {
    return false;  // end of file, a read error, or a hang-up with nothing left to read
  }
  if (count < 0) {
    return true;  // nothing this time
  }
  const SimTime now = SimClock::now();
  const std::lock_guard lock(mutex_);
  // A real line delivers the last of these bytes only after their wire time.
  rx_wire_end_ = std::max(rx_wire_end_, now) + ByteTime() * count;
  auto replies = model_.Receive(buffer.data(), static_cast<std::size_t>(count), now);
  for (auto& reply : replies) {
    AddTraceLocked(TraceEntry{now, Direction::kReceived, std::move(reply.request)});
    SimTime at = std::max({now, rx_wire_end_, tx_free_});
    for (std::size_t i = 0; i < reply.chunks.size(); ++i) {
      auto& chunk = reply.chunks[i];
      at += std::chrono::duration_cast<SimClock::duration>(chunk.pause);
      const auto size = static_cast<int64_t>(chunk.bytes.size());
      output_.push_back(Outgoing{at, std::move(chunk.bytes), 0, i + 1 == reply.chunks.size()});
      at += ByteTime() * size;
    }
    if (!reply.chunks.empty()) {
      tx_free_ = at;
    }
  }
  NoteStateLocked();
  return true;
}

bool SimServer::WriteDueLocked(SimTime now) {
  if (line_fd_ < 0) {
    DropOutputLocked();  // unplugged: the device talks to no one
    return false;
  }
  while (!output_.empty()) {
    Outgoing& out = output_.front();
    if (now < out.start) {
      return false;
    }
    // A byte goes out when its whole wire time (start bit to stop bit) has
    // passed, so the reader sees it when a real line would deliver it.
    std::size_t due = out.bytes.size();
    if (!fast_) {
      due = std::min<std::size_t>(due, static_cast<std::size_t>((now - out.start) / ByteTime()));
    }
    if (due > out.sent) {
      // The line is non-blocking: this never waits.
      const ssize_t written = write(line_fd_, out.bytes.data() + out.sent, due - out.sent);
      if (written < 0) {
        return true;  // the line is full (EAGAIN): wait until it takes bytes again
      }
      sending_.insert(sending_.end(), out.bytes.begin() + static_cast<std::ptrdiff_t>(out.sent),
                      out.bytes.begin() + static_cast<std::ptrdiff_t>(out.sent) + written);
      out.sent += static_cast<std::size_t>(written);
    }
    if (out.sent < out.bytes.size()) {
      return false;  // the rest is due later
    }
    if (out.ends_reply) {
      AddTraceLocked(TraceEntry{SimClock::now(), Direction::kSent, std::move(sending_)});
      sending_.clear();
    }
    output_.pop_front();
  }
  return false;
}

void SimServer::DropOutputLocked() {
  output_.clear();
  if (!sending_.empty()) {
    AddTraceLocked(TraceEntry{SimClock::now(), Direction::kSent, std::move(sending_)});
    sending_.clear();
  }
  tx_free_ = SimTime();
}

void SimServer::NoteStateLocked() {
  const uint8_t state = model_.State();
  if (state != last_state_) {
    last_state_ = state;
    states_.emplace_back(++state_serial_, state);
    if (states_.size() > kStateHistory) {
      states_.pop_front();
    }
  }
  changed_.notify_all();
}

void SimServer::AddTraceLocked(TraceEntry entry) {
  if (trace_file_ != nullptr) {
    to_file_.push_back(FileLine{entry, {}});
  }
  ++trace_total_;
  if (trace_limit_ == 0) {
    return;
  }
  if (trace_.size() >= trace_limit_) {
    trace_.pop_front();
  }
  trace_.push_back(std::move(entry));
}

void SimServer::WriteTraceFile(const std::vector<FileLine>& lines) {
  for (const auto& line : lines) {
    const double seconds = std::chrono::duration<double>(line.entry.time - started_).count();
    if (!line.note.empty()) {
      std::fprintf(trace_file_, "%.6f -- %s\n", seconds, line.note.c_str());
      continue;
    }
    std::fprintf(trace_file_, "%.6f %s %s\n", seconds,
                 line.entry.direction == Direction::kReceived ? "RX" : "TX",
                 HexBytes(line.entry.bytes.data(), line.entry.bytes.size()).c_str());
  }
  if (!lines.empty()) {
    std::fflush(trace_file_);
  }
}

void SimServer::Note(std::string_view text) {
  if (trace_file_ == nullptr) {
    return;
  }
  std::string note(text);
  std::replace(note.begin(), note.end(), '\n', ' ');
  if (note.empty()) {
    note = "-";
  }
  {
    const std::lock_guard lock(mutex_);
    to_file_.push_back(FileLine{TraceEntry{SimClock::now(), Direction::kReceived, {}}, std::move(note)});
  }
  Wake();  // the server's thread writes it out
}

CommandResult SimServer::Command(std::string_view line) {
  const auto words = Words(line.substr(0, line.find('#')));
  if (!words.empty() && (words[0] == "unplug" || words[0] == "replug")) {
    return LineCommand(words[0] == "unplug" ? LineRequest::kUnplug : LineRequest::kReplug, line);
  }
  CommandResult result;
  {
    const std::lock_guard lock(mutex_);
    const SimTime now = SimClock::now();
    result = RunDeviceCommand(model_, line, now);
    if (result.ok && !words.empty() && words[0] == "status") {
      result.text = FormatStatus(StatusLocked());
    }
    if (trace_file_ != nullptr && result.ok) {
      // What changed the device goes into the trace file; queries do not.
      if (!words.empty() && words[0] != "status" && words[0] != "help") {
        std::string note = "cmd";
        for (const auto word : words) {
          note += ' ';
          note += word;
        }
        to_file_.push_back(FileLine{TraceEntry{now, Direction::kReceived, {}}, std::move(note)});
      }
    }
    if (result.power_cycled) {
      DropOutputLocked();  // the device went off in the middle of its reply
    }
    NoteStateLocked();
  }
  Wake();  // deadlines may have changed (busy, escrow)
  return result;
}

SimStatus SimServer::Status() const {
  const std::lock_guard lock(mutex_);
  return StatusLocked();
}

SimStatus SimServer::StatusLocked() const {
  SimStatus status = StatusOf(model_);
  status.line = path_.empty() ? "unplugged" : path_;
  status.replugs = replugs_;
  return status;
}

std::vector<TraceEntry> SimServer::Trace() const {
  const std::lock_guard lock(mutex_);
  return {trace_.begin(), trace_.end()};
}

std::size_t SimServer::TraceMark() const {
  const std::lock_guard lock(mutex_);
  return trace_total_;
}

bool SimServer::WaitForState(uint8_t state, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const uint64_t since = state_serial_;
  const auto seen = [&] {
    if (model_.State() == state) {
      return true;
    }
    return std::any_of(states_.begin(), states_.end(),
                       [&](const auto& change) { return change.first > since && change.second == state; });
  };
  changed_.wait_for(lock, timeout, [&] { return seen() || stopped_; });
  return seen();
}

bool SimServer::WaitForTrace(const TracePredicate& predicate, std::chrono::milliseconds timeout,
                             std::size_t since) {
  std::unique_lock lock(mutex_);
  std::size_t next = since;  // number of the next entry to look at
  const auto found = [&] {
    const std::size_t first = trace_total_ - trace_.size();
    next = std::max(next, first);
    for (; next < trace_total_; ++next) {
      if (predicate(trace_[next - first])) {
        return true;
      }
    }
    return false;
  };
  return changed_.wait_for(lock, timeout, [&] { return found() || stopped_; }) && next < trace_total_;
}

void SimServer::Stop() {
  const std::lock_guard stop_lock(stop_mutex_);
  {
    const std::lock_guard lock(mutex_);
    stop_requested_ = true;
  }
  if (wake_write_ >= 0) {
    Wake();
  }
  // From on_error, on the server's own thread, the thread is ending anyway;
  // it is joined by the next Stop() from another thread or the destructor.
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  }
}

std::string SimServer::Error() const {
  const std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace notavero::sim
