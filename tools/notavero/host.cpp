#include "tools/notavero/host.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "common/cp1251.h"

namespace notavero::tool {

namespace {

constexpr int64_t kScale = 10000;
// The driver reports this text while the device is disabled.
constexpr auto kDisabledText = Cp1251(u8"Выключен");
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

Host::~Host() {
  Stop();
}

bool Host::Start(uint8_t port) {
  char error[256] = {};
  driver_ = nv_get_driver(port, &Host::OnBill, this, error, sizeof error);
  if (driver_ == nullptr) {
    std::fprintf(stderr, "notavero: cannot start the driver: %s\n", Cp1251ToUtf8(error).c_str());
    return false;
  }
  unsigned char version[14];
  nv_get_version(driver_, version);
  Print("driver " + std::string(reinterpret_cast<const char*>(version + 1), version[0]) + " on COM" +
        std::to_string(port));
  return true;
}

void Host::Stop() {
  if (driver_ != nullptr) {
    nv_free_driver(driver_);
    driver_ = nullptr;
  }
}

void Host::SetEnabled(bool enabled) {
  nv_set_enabled(driver_, enabled ? 1 : 0);
  last_enable_ = std::chrono::steady_clock::now();
}

std::string Host::StatusText() const {
  char text[256];
  nv_get_status_text(driver_, text, sizeof text);
  return Cp1251ToUtf8(text);
}

void Host::Watch() {
  char text[256];
  nv_get_status_text(driver_, text, sizeof text);
  if (last_status_ != text) {
    last_status_ = text;
    Print("state: " + Cp1251ToUtf8(text));
  }
  const auto now = std::chrono::steady_clock::now();
  if (keep_enabled_ && last_status_ == kDisabledText.view() && now - last_enable_ >= kEnableRetry) {
    SetEnabled(true);
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
      Print("escrow: " + FormatAmount(amount) + (stack ? " -> stack" : " -> return"));
      return stack ? 1 : 0;
    }
    case NV_BILL_STACKED:
      host->credited_ += amount;
      ++host->stacked_;
      Print("stacked: " + FormatAmount(amount) + ", credited " + FormatAmount(host->credited_.load()));
      host->BillSettled();
      return 0;
    case NV_BILL_RETURNED:
      ++host->returned_;
      Print("returned: " + FormatAmount(amount));
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
    Print("interrupted: the bill goes back");
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
