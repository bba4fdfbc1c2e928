#include "tools/notavero/host.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "common/cp1251.h"
#include "common/hex.h"
#include "protocol/codes.h"
#include "protocol/state_text.h"
#include "tools/notavero/ports.h"

namespace notavero::tool {

namespace {

constexpr int64_t kScale = 10000;
// How soon an enable request is renewed while the device stays disabled.
constexpr std::chrono::seconds kEnableRetry{1};

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

// The terminal, shared by the polling thread (bill events, questions) and
// the main thread (state lines).  While a question waits for its answer,
// lines from the other thread are held back and follow the answer, so that
// none lands on the question's line.
class Console {
 public:
  void Print(const std::string& text) {
    const std::lock_guard lock(lock_);
    std::string line = Now() + " " + text + "\n";
    if (asking_) {
      held_ += line;
      return;
    }
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }

  // Prints the question on a line of its own; the answer follows on it.
  void Ask(const std::string& question) {
    const std::lock_guard lock(lock_);
    asking_ = true;
    std::fputs(question.c_str(), stdout);
    std::fflush(stdout);
  }

  // Ends the question's line with `tail` and prints what was held back.
  void Answered(const std::string& tail) {
    const std::lock_guard lock(lock_);
    asking_ = false;
    std::fputs(tail.c_str(), stdout);
    std::fputs(held_.c_str(), stdout);
    held_.clear();
    std::fflush(stdout);
  }

 private:
  std::mutex lock_;
  bool asking_ = false;
  std::string held_;
};

Console& TheConsole() {
  static Console console;
  return console;
}

void Print(const std::string& line) {
  TheConsole().Print(line);
}

}  // namespace

void PrintLine(const std::string& text) {
  Print(text);
}

std::string FormatAmount(int64_t amount) {
  std::string text = std::to_string(amount / kScale);
  int64_t fraction = amount % kScale;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction < 0 ? -fraction : fraction);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') {
      digits.pop_back();
    }
    text += "." + digits;
  }
  return text;
}

std::string StateLine(int32_t word) {
  const auto status = static_cast<uint16_t>(word & 0xFFFF);
  const uint8_t state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);
  std::string line = "state ";
  AppendHex2(line, state);
  if (sub_code != 0) {
    line += '-';
    AppendHex2(line, sub_code);
  }
  return line + " " + nv_state_name(word) + ": " + Cp1251ToUtf8(StateToText(status));
}

Host::Host(EscrowPolicy policy) : policy_(policy) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_[0] = wake_[1] = -1;  // the main loop then finds the lines on its next round
  }
}

Host::~Host() {
  Stop();
  for (const int fd : wake_) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool Host::Start(uint8_t port) {
  nv_options options{};
  options.size = sizeof options;
  options.port = port;
  return Open(options, "COM" + std::to_string(port));
}

bool Host::StartDevice(const std::string& path) {
  nv_options options{};
  options.size = sizeof options;
  options.device = path.c_str();
  return Open(options, path);
}

bool Host::Open(const nv_options& how, const std::string& where) {
  nv_options options = how;
  options.on_bill = &Host::OnBill;
  options.on_event = &Host::OnEvent;
  options.user = this;
  char error[256] = {};
  driver_ = nv_open(&options, error, sizeof error);
  if (driver_ == nullptr) {
    std::fprintf(stderr, "notavero: cannot start the driver: %s\n", Cp1251ToUtf8(error).c_str());
    // What `notavero ports` knows of it: the program that holds it, the
    // group the user must join.
    if (const std::string problem = how.device != nullptr ? PortProblem(how.device) : ""; !problem.empty()) {
      std::fprintf(stderr, "notavero: %s: %s\n", how.device, problem.c_str());
    }
    return false;
  }
  unsigned char version[14];
  nv_get_version(driver_, version);
  Print("driver " + std::string(reinterpret_cast<const char*>(version + 1), version[0]) + " on " + where);
  return true;
}

void Host::Stop() {
  if (driver_ != nullptr) {
    counters_ = {};
    counters_.size = sizeof counters_;
    have_counters_ = nv_get_counters(driver_, &counters_) == 0;
    nv_free_driver(driver_);
    driver_ = nullptr;
  }
  Drain();
}

void Host::PrintCounters() const {
  if (!have_counters_) {
    return;
  }
  std::string by_value;
  {
    const std::lock_guard lock(settled_lock_);
    for (const auto& [value, count] : stacked_by_value_) {
      by_value += (by_value.empty() ? "" : ", ") + FormatAmount(value) + " x" + std::to_string(count);
    }
  }
  const nv_counters& c = counters_;
  std::printf(
      "counters:\n"
      "  stacked by value: %s\n"
      "  stacked amount: %s\n"
      "  returned: %u\n"
      "  rejected: %u\n"
      "  time-outs: %u\n"
      "  bad frames: %u\n"
      "  failed cycles: %u\n"
      "  power-ups: %u\n"
      "  reconnects: %u\n"
      "  unconfirmed: %u\n",
      by_value.empty() ? "none" : by_value.c_str(), FormatAmount(c.stacked_amount).c_str(), c.returned,
      c.rejected, c.timeouts, c.bad_frames, c.failed_cycles, c.power_ups, c.reconnects, c.unconfirmed);
  std::fflush(stdout);
}

void Host::SetEnabled(bool enabled) {
  nv_set_enabled(driver_, enabled ? 1 : 0);
  last_enable_ = std::chrono::steady_clock::now();
}

std::optional<std::chrono::milliseconds> Host::Watch() {
  Drain();
  // A state report wakes the main loop, so only a renewal still to come
  // needs a time.
  if (!keep_enabled_ || driver_ == nullptr ||
      DeviceStateOf(static_cast<uint16_t>(state_.load())) != dsDisabled) {
    return std::nullopt;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - last_enable_ >= kEnableRetry) {
    SetEnabled(true);
  }
  return std::chrono::ceil<std::chrono::milliseconds>(last_enable_ + kEnableRetry - now);
}

void Host::Post(std::string line) {
  {
    const std::lock_guard lock(queue_lock_);
    queue_.push_back(std::move(line));
  }
  if (wake_[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);  // a full pipe wakes already
  }
}

void Host::Drain() {
  if (wake_[0] >= 0) {
    std::array<char, 64> bytes{};
    while (::read(wake_[0], bytes.data(), bytes.size()) > 0) {
    }
  }
  // Printed under the queue's lock, so that two threads draining at once
  // keep the order.
  const std::lock_guard lock(queue_lock_);
  while (!queue_.empty()) {
    Print(queue_.front());
    queue_.pop_front();
  }
}

void Host::OnEvent(int32_t kind, int32_t code, void* user) {
  auto* host = static_cast<Host*>(user);
  switch (kind) {
    case NV_EVENT_STATE:
      host->state_ = code;
      host->Post(StateLine(code));
      break;
    case NV_EVENT_LINK: {
      host->Post(std::string("link: ") + nv_link_name(code));
      // Replies that come but never check out point at the line, not at a
      // silent device.
      nv_counters counters{};
      counters.size = sizeof counters;
      if (nv_get_counters(host->driver_.load(), &counters) != 0) {
        break;
      }
      const uint32_t bad = counters.bad_frames - std::exchange(host->bad_frames_seen_, counters.bad_frames);
      const uint32_t silent = counters.timeouts - std::exchange(host->timeouts_seen_, counters.timeouts);
      if (code == NV_LINK_NO_ANSWER && bad > 0 && bad >= silent) {
        host->Post(
            "hint: the device answers, but its replies do not check out: a wrong baud rate (the "
            "driver uses 9600 8N1), a loose or crossed wire, or another device on this port");
      }
      break;
    }
    case NV_EVENT_REJECTED: {
      std::string line = std::string("rejected: ") + nv_reject_reason_name(code) + " (reason ";
      AppendHex2(line, static_cast<uint8_t>(code & 0xFF));
      host->Post(line + ")");
      break;
    }
    case NV_EVENT_UNCONFIRMED:
      host->Post("unconfirmed: a bill of type " + std::to_string(code) +
                 " went to the stacker and the device never reported its outcome");
      break;
    default:
      break;
  }
}

int Host::OnBill(int32_t kind, int64_t amount, void* user) {
  auto* host = static_cast<Host*>(user);
  switch (kind) {
    case NV_BILL_ESCROW: {
      {
        const std::lock_guard lock(host->settled_lock_);
        ++host->in_hand_;
      }
      const bool stack = host->Decide(amount);
      host->Post("escrow: " + FormatAmount(amount) + (stack ? " -> stack" : " -> return"));
      return stack ? 1 : 0;
    }
    case NV_BILL_STACKED:
      host->credited_ += amount;
      ++host->stacked_;
      {
        const std::lock_guard lock(host->settled_lock_);
        ++host->stacked_by_value_[amount];
      }
      host->Post("stacked: " + FormatAmount(amount) + ", credited " + FormatAmount(host->credited_.load()));
      host->BillSettled();
      return 0;
    case NV_BILL_RETURNED:
      ++host->returned_;
      host->Post("returned: " + FormatAmount(amount));
      host->BillSettled();
      return 0;
    default:
      return 0;
  }
}

bool Host::Decide(int64_t amount) {
  if (decider_) {
    return decider_(amount);
  }
  switch (policy_) {
    case EscrowPolicy::kStack:
      return true;
    case EscrowPolicy::kReturn:
      return false;
    case EscrowPolicy::kAsk:
      break;
  }
  return Ask(amount);
}

bool Host::Ask(int64_t amount) {
  Drain();  // what came before the question goes before it
  TheConsole().Ask("stack the bill of " + FormatAmount(amount) + "? [y/n] ");
  std::string answer;
  const Input input = ReadLine(answer);
  // A terminal has echoed the answer and its line break; other input has
  // not, and the answer is shown on the question's line.
  if (input != Input::kLine) {
    TheConsole().Answered("\n");
  } else {
    TheConsole().Answered(::isatty(STDIN_FILENO) != 0 ? "" : answer + "\n");
  }
  if (input == Input::kInterrupted) {
    Post("interrupted: the bill goes back");
  }
  return input == Input::kLine && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

Host::Input Host::ReadLine(std::string& line) {
  for (;;) {
    const std::size_t end = input_.find('\n');
    if (end != std::string::npos) {
      line = input_.substr(0, end);
      input_.erase(0, end + 1);
      return Input::kLine;
    }
    std::array<pollfd, 2> fds{{{STDIN_FILENO, POLLIN, 0}, {interrupt_fd_, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;  // the interrupt, if it was one, shows on the descriptor
      }
      return Input::kEnd;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      return Input::kInterrupted;
    }
    if (fds[0].revents == 0) {
      continue;
    }
    std::array<char, 256> buffer{};
    const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      if (input_.empty()) {
        return Input::kEnd;
      }
      line = std::exchange(input_, {});  // a last line without a line break
      return Input::kLine;
    }
    input_.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

void Host::BillSettled() {
  {
    const std::lock_guard lock(settled_lock_);
    in_hand_ = std::max(0, in_hand_ - 1);  // a bill in the head at power-up was never in escrow
  }
  settled_.notify_all();
}

int Host::BillsInHand() const {
  const std::lock_guard lock(settled_lock_);
  return in_hand_;
}

bool Host::WaitForBillsInHand(std::chrono::milliseconds timeout) {
  std::unique_lock lock(settled_lock_);
  return settled_.wait_for(lock, timeout, [&] { return in_hand_ == 0; });
}

bool Host::WaitForBills(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(settled_lock_);
  return settled_.wait_for(lock, timeout, [&] { return stacked_.load() + returned_.load() >= count; });
}

}  // namespace notavero::tool
