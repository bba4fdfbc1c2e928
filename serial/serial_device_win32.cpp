// The Win32 serial device: a communications device opened for overlapped
// I/O, with one OVERLAPPED record per kind of operation.  Every operation
// that goes pending is completed or cancelled and collected before its
// record is used again or the handle is closed.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "common/system_message.h"
#include "serial/serial_device.h"

namespace notavero {
namespace {

constexpr DWORD kPurgeRx = PURGE_RXABORT | PURGE_RXCLEAR;  // 0x000A
constexpr DWORD kWriteTotalTimeoutMs = 20000;

// The DCB's flag word (the bit fields after BaudRate) as one 32-bit value.
uint32_t DcbFlags(const DCB& dcb) {
  uint32_t flags = 0;
  std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD),
              sizeof flags);
  return flags;
}

void SetDcbFlags(DCB& dcb, uint32_t flags) {
  std::memcpy(reinterpret_cast<char*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD), &flags, sizeof flags);
}

// Errors a serial device gives once it is gone: a USB adapter pulled out
// fails its pending and later operations with one of these, depending on its
// driver (ACCESS_DENIED and BAD_COMMAND are the usual ones; the others come
// from adapters whose driver removes the device object at once).  Any other
// failure of a wait is taken as passing.
bool DeviceGone(DWORD error) {
  constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE; mingw-w64's headers lack it
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_INVALID_HANDLE:
      return true;
    default:
      return false;
  }
}

class Win32Device final : public SerialDevice {
 public:
  explicit Win32Device(std::string path) : path_(std::move(path)) {}
  ~Win32Device() override { Close(); }

  bool Open(uint16_t port_number) override {
    char numbered[32];
    std::snprintf(numbered, sizeof numbered, "\\\\.\\COM%d", static_cast<int>(port_number));
    const char* path = path_.empty() ? numbered : path_.c_str();
    open_error_.clear();
    opened_name_ = path;
    handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      NoteOpenError(path, GetLastError());
      return false;
    }
    read_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    event_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (read_ov_.hEvent == nullptr || write_ov_.hEvent == nullptr || event_ov_.hEvent == nullptr ||
        stop_event_ == nullptr) {
      NoteOpenError(path, GetLastError());
      Close();
      return false;
    }
    GetCommState(handle_, &dcb_);
    return true;
  }

  [[nodiscard]] std::string OpenError() const override { return open_error_; }

  // The device's name without the namespace prefix, in upper case:
  // "\\.\com3" and "COM3" are one port.
  [[nodiscard]] std::string Identity() const override {
    std::string name = opened_name_;
    const auto slash = name.find_last_of('\\');
    if (slash != std::string::npos) {
      name.erase(0, slash + 1);
    }
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
      }
    }
    return name.empty() ? std::string() : "port " + name;
  }

  bool SetupQueues(uint32_t in_size, uint32_t out_size) override {
    return SetupComm(handle_, in_size, out_size) != FALSE;
  }

  bool GetLineSettings(LineSettings& settings) override {
    dcb_ = DCB{};
    dcb_.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &dcb_)) {
      return false;
    }
    settings.baud_rate = dcb_.BaudRate;
    settings.byte_size = dcb_.ByteSize;
    settings.parity = dcb_.Parity;
    settings.stop_bits = dcb_.StopBits;
    settings.flags = DcbFlags(dcb_);
    return true;
  }

  bool SetLineSettings(const LineSettings& settings) override {
    // Everything the port does not set stays as the last GetCommState read it.
    dcb_.BaudRate = settings.baud_rate;
    dcb_.ByteSize = settings.byte_size;
    dcb_.Parity = settings.parity;
    dcb_.StopBits = settings.stop_bits;
    SetDcbFlags(dcb_, settings.flags);
    return SetCommState(handle_, &dcb_) != FALSE;
  }

  bool ClearErrors(uint32_t& errors, CommStat& stat) override {
    DWORD mask = 0;
    COMSTAT cs{};
    if (!ClearCommError(handle_, &mask, &cs)) {
      return false;
    }
    errors = mask;
    DWORD flag_word = 0;
    std::memcpy(&flag_word, &cs, sizeof flag_word);
    stat = CommStat{flag_word, cs.cbInQue, cs.cbOutQue};
    return true;
  }

  void PurgeInput() override { PurgeComm(handle_, kPurgeRx); }

  void SetTimeouts() override {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
    SetCommTimeouts(handle_, &t);
  }

  bool SetEventMask(uint32_t mask) override { return SetCommMask(handle_, mask) != FALSE; }

  // A new wait is never issued after Interrupt: with the mask cleared a wait
  // would not complete.  A pending wait ends on its completion or on the stop
  // event; in the latter case it is cancelled and collected before return.
  WaitStatus WaitEvent(uint32_t& events) override {
    if (WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0) {
      return WaitStatus::kEnded;
    }
    event_bits_ = 0;
    if (WaitCommEvent(handle_, &event_bits_, &event_ov_)) {
      events = event_bits_;
      ResetEvent(event_ov_.hEvent);
      return WaitStatus::kEvent;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {
      return WaitStatus::kRefused;
    }
    if (error != ERROR_IO_PENDING) {
      return WaitFailed(error);
    }
    HANDLE handles[2] = {event_ov_.hEvent, stop_event_};
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    DWORD n = 0;
    if (woken != WAIT_OBJECT_0) {
      SetCommMask(handle_, 0);
      CancelIoEx(handle_, &event_ov_);
      GetOverlappedResult(handle_, &event_ov_, &n, TRUE);
      ResetEvent(event_ov_.hEvent);
      return WaitStatus::kEnded;
    }
    const BOOL ok = GetOverlappedResult(handle_, &event_ov_, &n, FALSE);
    const DWORD failure = ok ? ERROR_SUCCESS : GetLastError();
    ResetEvent(event_ov_.hEvent);
    if (!ok) {
      return WaitFailed(failure);
    }
    events = event_bits_;
    return WaitStatus::kEvent;
  }

  uint32_t Read(uint8_t* dest, uint32_t count) override {
    DWORD n = 0;
    if (ReadFile(handle_, dest, count, &n, &read_ov_)) {
      ResetEvent(read_ov_.hEvent);
      return n;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      return 0;
    }
    // Reads return at once (the port's read time-outs), so this wait is short.
    if (!GetOverlappedResult(handle_, &read_ov_, &n, TRUE)) {
      ResetEvent(read_ov_.hEvent);
      return 0;
    }
    ResetEvent(read_ov_.hEvent);
    return n;
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t wait_ms, uint32_t& written) override {
    written = 0;
    if (WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0) {
      return WriteStatus::kInterrupted;
    }
    DWORD n = 0;
    if (WriteFile(handle_, data, count, &n, &write_ov_)) {
      ResetEvent(write_ov_.hEvent);
      written = n;
      return WriteStatus::kDone;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      return WriteStatus::kFailed;
    }
    HANDLE handles[2] = {write_ov_.hEvent, stop_event_};
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, wait_ms);
    if (woken == WAIT_OBJECT_0) {
      const BOOL ok = GetOverlappedResult(handle_, &write_ov_, &n, FALSE);
      ResetEvent(write_ov_.hEvent);
      written = n;
      return ok ? WriteStatus::kDone : WriteStatus::kFailed;
    }
    // Stopped or still pending after the wait limit: cancel and collect, so
    // the record and the bytes under it are free again.
    CancelIoEx(handle_, &write_ov_);
    const BOOL ok = GetOverlappedResult(handle_, &write_ov_, &n, TRUE);
    ResetEvent(write_ov_.hEvent);
    written = n;
    if (woken == WAIT_OBJECT_0 + 1) {
      return WriteStatus::kInterrupted;
    }
    return ok ? WriteStatus::kDone : WriteStatus::kTimedOut;
  }

  void Interrupt() override {
    if (stop_event_ != nullptr) {
      SetEvent(stop_event_);
    }
  }

  void Close() override {
    for (HANDLE* h : {&read_ov_.hEvent, &write_ov_.hEvent, &event_ov_.hEvent, &stop_event_}) {
      if (*h != nullptr) {
        CloseHandle(*h);
        *h = nullptr;
      }
    }
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }

 private:
  // A wait that failed: the device is gone only when a status query fails
  // too, with an error of a removed device.  A wait alone is no proof: Wine,
  // for one, fails a wait now and then on a port that goes on working.
  WaitStatus WaitFailed(DWORD error) {
    if (!DeviceGone(error)) {
      return WaitStatus::kFailed;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle_, &errors, &stat)) {
      return WaitStatus::kFailed;
    }
    return DeviceGone(GetLastError()) ? WaitStatus::kEnded : WaitStatus::kFailed;
  }

  // "\\.\COM9: " and the system's message; a port another program has open
  // reports access denied, which says little to a technician.
  void NoteOpenError(const char* path, DWORD code) {
    open_error_ = std::string(path) + ": ";
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
      open_error_ += "busy: held by another program (" + SystemMessage(code) + ")";
    } else {
      open_error_ += SystemMessage(code);
    }
  }

  const std::string path_;   // empty: the port number names the device
  std::string opened_name_;  // the name the last Open used
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE stop_event_ = nullptr;
  DCB dcb_{};
  OVERLAPPED read_ov_{};
  OVERLAPPED write_ov_{};
  OVERLAPPED event_ov_{};
  DWORD event_bits_ = 0;
  std::string open_error_;
};

}  // namespace

std::unique_ptr<SerialDevice> MakePlatformDevice(std::string path) {
  return std::make_unique<Win32Device>(std::move(path));
}

}  // namespace notavero
