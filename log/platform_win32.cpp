// The log's operating-system helpers on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/system_message.h"
#include "log/log_platform.h"

namespace notavero::log_platform {
namespace {

LogFileHandle ToLogFile(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoLogFile : reinterpret_cast<LogFileHandle>(handle);
}

HANDLE ToHandle(LogFileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// An existing log file is opened for appending data only (every write lands
// at the end); a new one is created empty.  Both are shared for reading and
// writing so that a viewer may keep the file open.
class Win32Files final : public LogFileLayer {
 public:
  LogFileHandle OpenExisting(const std::string& path, std::string& error) override {
    return Open(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_EXISTING, error);
  }

  LogFileHandle Create(const std::string& path, std::string& error) override {
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS, error);
  }

  bool Write(LogFileHandle file, std::string_view bytes) override {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(ToHandle(file), data, chunk, &written, nullptr) || written == 0) {
        return false;
      }
      data += written;
      left -= written;
    }
    return true;
  }

  int64_t Size(LogFileHandle file) override {
    LARGE_INTEGER size{};
    return GetFileSizeEx(ToHandle(file), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
  }

  // An existing file is open for appending only, which cannot set its end:
  // a second handle with write access does it.
  bool Truncate(LogFileHandle file, int64_t size) override {
    const HANDLE writer = ReOpenFile(ToHandle(file), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (writer == INVALID_HANDLE_VALUE) {
      return false;
    }
    LARGE_INTEGER end{};
    end.QuadPart = size;
    const bool cut = SetFilePointerEx(writer, end, nullptr, FILE_BEGIN) && SetEndOfFile(writer);
    CloseHandle(writer);
    return cut;
  }

  void Close(LogFileHandle file) override { CloseHandle(ToHandle(file)); }

 private:
  // Only a disk file or a character device (NUL) is kept: a write to a pipe
  // could wait for a reader for ever.
  static LogFileHandle Open(const std::string& path, DWORD access, DWORD disposition, std::string& error) {
    const HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      error = SystemMessage(GetLastError());
      return kNoLogFile;
    }
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
      CloseHandle(handle);
      error.assign(kNotAFile.view());
      return kNoLogFile;
    }
    return ToLogFile(handle);
  }
};

}  // namespace

std::string ExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD size = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (size == 0) {
      return std::string();
    }
    if (size < path.size()) {
      path.resize(size);
      return path;
    }
    if (path.size() >= 32768) {
      return std::string();
    }
    path.resize(path.size() * 2);
  }
}

LogLocalTime LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  LogLocalTime t;
  t.month = now.wMonth;
  t.day = now.wDay;
  t.hour = now.wHour;
  t.minute = now.wMinute;
  t.second = now.wSecond;
  t.millisecond = now.wMilliseconds;
  return t;
}

// The user's time separator, read once; a colon when it cannot be read.
char TimeSeparator() {
  static const char separator = [] {
    char buffer[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buffer, sizeof(buffer)) > 1 && buffer[0] != '\0') {
      return buffer[0];
    }
    return ':';
  }();
  return separator;
}

LogFileLayer& SystemFiles() {
  static Win32Files files;
  return files;
}

}  // namespace notavero::log_platform
