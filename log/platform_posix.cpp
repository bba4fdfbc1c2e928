// The log's operating-system helpers on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "log/log_platform.h"

namespace notavero::log_platform {
namespace {

// Whether writes to a file of this mode finish without a reader: a regular
// file or a character device such as /dev/null.
bool IsWritableKind(mode_t mode) {
  return S_ISREG(mode) || S_ISCHR(mode);
}

// Log files are opened for appending, so that every write lands at the end.
// The open never waits (a FIFO nobody reads would hold it, and the log's lock
// with it, for ever), and only regular files and character devices are kept.
class PosixFiles final : public LogFileLayer {
 public:
  LogFileHandle OpenExisting(const std::string& path, std::string& error) override {
    return Open(path, O_WRONLY | O_APPEND | O_CLOEXEC, error);
  }

  LogFileHandle Create(const std::string& path, std::string& error) override {
    return Open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_CREAT | O_TRUNC, error);
  }

  bool Write(LogFileHandle file, std::string_view bytes) override {
    Forget(file);
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t written = ::write(static_cast<int>(file), data, left);
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return false;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    return true;
  }

  int64_t Size(LogFileHandle file) override {
    if (file == last_.fd && last_.size_fresh) {
      return last_.size;  // as the opening found it: nothing was written since
    }
    struct stat info {};
    return ::fstat(static_cast<int>(file), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
  }

  bool Truncate(LogFileHandle file, int64_t size) override {
    Forget(file);
    int result = -1;
    do {
      result = ::ftruncate(static_cast<int>(file), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

  void Close(LogFileHandle file) override {
    if (file == last_.fd) {
      last_ = {};
    }
    ::close(static_cast<int>(file));
  }

  // One status query by path: the same device and inode as at the opening.
  bool StillNamed(LogFileHandle file, const std::string& path, int64_t& size) override {
    struct stat info {};
    if (file != last_.fd || ::stat(path.c_str(), &info) != 0 || info.st_dev != last_.device ||
        info.st_ino != last_.inode) {
      return false;
    }
    size = static_cast<int64_t>(info.st_size);
    return true;
  }

 private:
  // What the last opening found out about its file.
  struct Opened {
    LogFileHandle fd = kNoLogFile;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = -1;
    bool size_fresh = false;  // nothing written or cut since the opening
  };

  void Forget(LogFileHandle file) {
    if (file == last_.fd) {
      last_.size_fresh = false;
    }
  }

  LogFileHandle Open(const std::string& path, int flags, std::string& error) {
    int fd = -1;
    do {
      fd = ::open(path.c_str(), flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int code = errno;
      struct stat info {};
      // A FIFO without a reader and a socket refuse a non-blocking open with
      // ENXIO, which would read as a missing device.
      if (code == ENXIO && ::stat(path.c_str(), &info) == 0 && !IsWritableKind(info.st_mode)) {
        error.assign(kNotAFile.view());
      } else {
        // The system's text for the error (strerror_r underneath).
        error = std::system_category().message(code);
      }
      return kNoLogFile;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !IsWritableKind(info.st_mode)) {
      ::close(fd);
      error.assign(kNotAFile.view());
      return kNoLogFile;
    }
    // Writes to a character device wait as usual (O_NONBLOCK means nothing
    // to a regular file).
    if (!S_ISREG(info.st_mode)) {
      const int status = ::fcntl(fd, F_GETFL);
      if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        error = std::system_category().message(errno);
        ::close(fd);
        return kNoLogFile;
      }
    }
    last_ = Opened{fd, info.st_dev, info.st_ino, static_cast<int64_t>(info.st_size), true};
    return fd;
  }

  Opened last_;
};

}  // namespace

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

LogLocalTime LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const auto since_epoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::seconds>(since_epoch)));
  std::tm local{};
  localtime_r(&seconds, &local);
  LogLocalTime t;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.millisecond = static_cast<int>(since_epoch.count() % 1000);
  return t;
}

char TimeSeparator() {
  return ':';
}

LogFileLayer& SystemFiles() {
  static PosixFiles files;
  return files;
}

}  // namespace notavero::log_platform
