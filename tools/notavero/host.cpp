#include "tools/notavero/host.h"

#include <cstdio>
#include <iostream>
#include <string_view>

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

void Print(const std::string& line) {
  std::printf("%s %s\n", Now().c_str(), line.c_str());
  std::fflush(stdout);
}

}  // namespace

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
  std::printf("stack the bill of %s? [y/n] ", FormatAmount(amount).c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    return false;
  }
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void Host::BillSettled() {
  { const std::lock_guard lock(settled_lock_); }
  settled_.notify_all();
}

bool Host::WaitForBills(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(settled_lock_);
  return settled_.wait_for(lock, timeout, [&] { return stacked_.load() + returned_.load() >= count; });
}

}  // namespace notavero::tool
