// The POSIX (Linux) serial device: termios on a tty path, poll() with an
// eventfd for the event wait, non-blocking reads, writes bounded in time.
//
// The line settings go through the termios2 ioctls so that any baud rate can
// be set, not only the standard ones; <asm/termbits.h> and <termios.h> cannot
// be mixed, so this file uses the ioctls alone.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "serial/serial_device.h"

namespace notavero {
namespace {

struct BaudCode {
  uint32_t rate;
  unsigned code;
};

constexpr std::array<BaudCode, 19> kBaudCodes = {{{50, B50},
                                                  {75, B75},
                                                  {110, B110},
                                                  {134, B134},
                                                  {150, B150},
                                                  {200, B200},
                                                  {300, B300},
                                                  {600, B600},
                                                  {1200, B1200},
                                                  {1800, B1800},
                                                  {2400, B2400},
                                                  {4800, B4800},
                                                  {9600, B9600},
                                                  {19200, B19200},
                                                  {38400, B38400},
                                                  {57600, B57600},
                                                  {115200, B115200},
                                                  {230400, B230400},
                                                  {460800, B460800}}};

constexpr uint32_t kWriteLimitMs = 20000;  // the port's write time-out

// Modem-line requests a pseudo-terminal refuses are not errors.
bool ModemIoctlOk(int rc) {
  return rc == 0 || errno == ENOTTY || errno == EINVAL;
}

class PosixDevice final : public SerialDevice {
 public:
  explicit PosixDevice(std::string path) : path_(std::move(path)) {}
  ~PosixDevice() override { Close(); }

  bool Open(uint16_t port_number) override {
    open_error_.clear();
    // A device opened again after it failed starts afresh.
    interrupted_.store(false);
    {
      std::lock_guard lock(mutex_);
      announced_ = 0;
      drained_ = false;
    }
    std::string path = path_;
    if (path.empty()) {
      path = "/dev/ttyS" + std::to_string(port_number - 1);
      const std::string var = "NOTAVERO_COM" + std::to_string(port_number);
      // The library itself never changes the environment.
      const char* mapped = std::getenv(var.c_str());  // NOLINT(concurrency-mt-unsafe)
      if (mapped != nullptr && *mapped != '\0') {
        path = mapped;
      }
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      // EBUSY: another program holds the terminal in exclusive mode.
      return Failed(path, errno == EBUSY ? kHeldText : SystemText(errno));
    }
    // Programs that lock serial devices see this one taken; a device another
    // program holds is left as it is, its exclusive mode included.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      return Failed(path, errno == EWOULDBLOCK ? kHeldText : SystemText(errno));
    }
    termios2 tio{};
    if (::ioctl(fd_, TCGETS2, &tio) != 0) {
      return Failed(path, errno == ENOTTY ? "not a terminal" : SystemText(errno));
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
      return Failed(path, SystemText(errno));
    }
    // Last, so that no failure leaves the mode set: further opens of the
    // terminal fail (except for root, which the lock above still stops).
    if (::ioctl(fd_, TIOCEXCL) != 0) {
      return Failed(path, SystemText(errno));
    }
    return true;
  }

  [[nodiscard]] std::string OpenError() const override { return open_error_; }

  // The device number of the open terminal: /dev/serial/by-id/... and the
  // ttyUSB0 it links to are one device, and a renumbered adapter is another.
  [[nodiscard]] std::string Identity() const override {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
      return {};
    }
    if (S_ISCHR(info.st_mode)) {
      return "char " + std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    }
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }

  bool SetupQueues(uint32_t /*in_size*/, uint32_t /*out_size*/) override { return fd_ >= 0; }

  bool GetLineSettings(LineSettings& settings) override {
    termios2 tio{};
    if (::ioctl(fd_, TCGETS2, &tio) != 0) {
      return false;
    }
    settings.baud_rate = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
      case CS5:
        settings.byte_size = 5;
        break;
      case CS6:
        settings.byte_size = 6;
        break;
      case CS7:
        settings.byte_size = 7;
        break;
      default:
        settings.byte_size = 8;
        break;
    }
    settings.parity = 0;
    if ((tio.c_cflag & PARENB) != 0) {
      const bool odd = (tio.c_cflag & PARODD) != 0;
      if ((tio.c_cflag & CMSPAR) != 0) {
        settings.parity = odd ? 3 : 4;
      } else {
        settings.parity = odd ? 1 : 2;
      }
    }
    settings.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
    settings.flags = kFlagBinary;
    if ((tio.c_cflag & CRTSCTS) != 0) {
      settings.flags |= kFlagOutxCtsFlow | kFlagRtsHandshake;
    }
    // Software flow control is reported off: a terminal's cooked-mode
    // default (IXON) is not a setting of the line, and raw mode drops it.
    return true;
  }

  bool SetLineSettings(const LineSettings& settings) override {
    termios2 tio{};
    if (::ioctl(fd_, TCGETS2, &tio) != 0) {
      return false;
    }
    // Raw mode: no echo, no line editing, no translation, no signals.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    switch (settings.byte_size) {
      case 5:
        tio.c_cflag |= CS5;
        break;
      case 6:
        tio.c_cflag |= CS6;
        break;
      case 7:
        tio.c_cflag |= CS7;
        break;
      case 8:
        tio.c_cflag |= CS8;
        break;
      default:
        return false;
    }
    switch (settings.parity) {
      case 0:
        break;
      case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        tio.c_cflag |= PARENB;
        break;
      case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        return false;
    }
    if (settings.stop_bits == kTwoStopBits) {
      tio.c_cflag |= CSTOPB;
    } else if (settings.stop_bits != kOneStopBit) {
      return false;  // one and a half stop bits do not exist here
    }
    if ((settings.flags & kFlagRtsControlMask) == kFlagRtsHandshake) {
      tio.c_cflag |= CRTSCTS;
    }
    if ((settings.flags & kFlagOutX) != 0) {
      tio.c_iflag |= IXON;
    }
    if ((settings.flags & kFlagInX) != 0) {
      tio.c_iflag |= IXOFF;
    }
    if (settings.baud_rate == 0) {
      return false;
    }
    unsigned code = BOTHER;
    for (const BaudCode& entry : kBaudCodes) {
      if (entry.rate == settings.baud_rate) {
        code = entry.code;
      }
    }
    tio.c_cflag |= code | (code << IBSHIFT);
    tio.c_ispeed = tio.c_ospeed = settings.baud_rate;
    if (::ioctl(fd_, TCSETS2, &tio) != 0) {
      return false;
    }
    // RTS follows the control mode: disabled drops it, enabled raises it.
    int rts = TIOCM_RTS;
    const uint32_t rts_mode = settings.flags & kFlagRtsControlMask;
    if (rts_mode == 0) {
      return ModemIoctlOk(::ioctl(fd_, TIOCMBIC, &rts));
    }
    if (rts_mode == 0x1000) {
      return ModemIoctlOk(::ioctl(fd_, TIOCMBIS, &rts));
    }
    return true;
  }

  // A terminal keeps no error mask, so the answer is the input count alone,
  // and no query of the terminal is needed for it: right after an event the
  // count it announced is the answer (no read or purge has happened since,
  // and bytes that came later are read with the announced ones all the
  // same).  Anywhere else (the port asks before every write, for its status
  // snapshot) it is what was announced and not read yet; bytes that arrived
  // meanwhile are announced by the next event as usual.
  bool ClearErrors(uint32_t& errors, CommStat& stat) override {
    errors = 0;
    std::lock_guard lock(mutex_);
    stat = CommStat{0, announced_, 0};
    return fd_ >= 0;
  }

  // The flush and the reset of the announced count are one step under the
  // lock that WaitEvent holds while it reads the count and announces: a count
  // read before the flush can never be announced after it.
  void PurgeInput() override {
    std::lock_guard lock(mutex_);
    ::ioctl(fd_, TCFLSH, TCIFLUSH);
    announced_ = 0;
    drained_ = true;
  }

  void SetTimeouts() override {}  // reads never wait (O_NONBLOCK), writes are bounded in Write

  bool SetEventMask(uint32_t mask) override {
    mask_.store(mask);
    return true;
  }

  // poll() is level-triggered while a communications event marks arrivals:
  // bytes already announced and still unread (the ring had no room) are not
  // announced again until more arrive.  Until then the wait re-checks the
  // count at a slow pace instead of waking on every poll.  After a read or
  // a purge that left the device empty the wait goes straight to poll(),
  // which returns at once for bytes that came in between.
  WaitStatus WaitEvent(uint32_t& events) override {
    bool count_first = true;
    {
      std::lock_guard lock(mutex_);
      count_first = !drained_;
      drained_ = false;
    }
    for (;;) {
      if (interrupted_.load()) {
        return WaitStatus::kEnded;
      }
      int count = 0;
      const bool want_chars = (mask_.load() & kEvRxChar) != 0;
      if (count_first) {
        std::lock_guard lock(mutex_);
        if (::ioctl(fd_, FIONREAD, &count) != 0) {
          return WaitStatus::kEnded;
        }
        if (count < static_cast<int>(announced_)) {
          announced_ = static_cast<uint32_t>(count);
        }
        if (want_chars && static_cast<uint32_t>(count) > announced_) {
          announced_ = static_cast<uint32_t>(count);
          events = kEvRxChar;
          return WaitStatus::kEvent;
        }
      }
      count_first = true;
      std::array<pollfd, 2> fds{
          {{fd_, static_cast<short>(count == 0 && want_chars ? POLLIN : 0), 0}, {wake_fd_, POLLIN, 0}}};
      const int timeout = count == 0 ? -1 : kStaleRecheckMs;
      const int rc = ::poll(fds.data(), fds.size(), timeout);
      if (rc < 0 && errno != EINTR) {
        return WaitStatus::kEnded;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        return WaitStatus::kEnded;
      }
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return WaitStatus::kEnded;  // the line hung up: nothing more will arrive
      }
    }
  }

  uint32_t Read(uint8_t* dest, uint32_t count) override {
    if (count == 0) {
      return 0;
    }
    const ssize_t n = ::read(fd_, dest, count);
    const uint32_t got = n > 0 ? static_cast<uint32_t>(n) : 0;
    std::lock_guard lock(mutex_);
    if (got < count && (n >= 0 || errno == EAGAIN)) {
      announced_ = 0;  // the device is empty
      drained_ = true;
    } else {
      announced_ = announced_ > got ? announced_ - got : 0;
    }
    return got;
  }

  uint32_t WriteNow(const uint8_t* data, uint32_t count) override {
    if (interrupted_.load()) {
      return 0;
    }
    const ssize_t n = ::write(fd_, data, count);  // the descriptor never blocks
    return n > 0 ? static_cast<uint32_t>(n) : 0;
  }

  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t wait_ms, uint32_t& written) override {
    using Clock = std::chrono::steady_clock;
    written = 0;
    const auto start = Clock::now();
    const auto limit = std::chrono::milliseconds(std::min(wait_ms, kWriteLimitMs));
    while (written < count) {
      if (interrupted_.load()) {
        return WriteStatus::kInterrupted;
      }
      const ssize_t n = ::write(fd_, data + written, count - written);
      if (n > 0) {
        written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return written == 0 ? WriteStatus::kFailed : WriteStatus::kDone;
      }
      const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      if (left.count() <= 0) {
        // The port's write time-out: the device reports the write complete
        // with what it took, like a Windows device does.
        return WriteStatus::kDone;
      }
      std::array<pollfd, 2> fds{{{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
        return WriteStatus::kFailed;
      }
      if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
        return written == 0 ? WriteStatus::kFailed : WriteStatus::kDone;
      }
    }
    return WriteStatus::kDone;
  }

  void Interrupt() override {
    interrupted_.store(true);
    if (wake_fd_ >= 0) {
      const uint64_t one = 1;
      (void)!::write(wake_fd_, &one, sizeof one);
    }
  }

  void Close() override {
    if (fd_ >= 0) {
      // A pseudo-terminal whose other side stays open keeps the mode after
      // this descriptor closes, and nobody but root could open it again.
      ::ioctl(fd_, TIOCNXCL);
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
      fd_ = -1;
    }
    if (wake_fd_ >= 0) {
      ::close(wake_fd_);
      wake_fd_ = -1;
    }
  }

 private:
  static constexpr int kStaleRecheckMs = 50;

  static constexpr const char* kHeldText = "busy: held by another program";

  static std::string SystemText(int error) { return std::generic_category().message(error); }

  // Notes why Open failed and closes what it has opened; false.
  bool Failed(const std::string& path, const std::string& reason) {
    open_error_ = path + ": " + reason;
    if (wake_fd_ >= 0) {
      ::close(wake_fd_);
      wake_fd_ = -1;
    }
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    return false;
  }

  const std::string path_;  // empty: the port number names the device
  int fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<uint32_t> mask_{0};
  std::atomic<bool> interrupted_{false};
  std::mutex mutex_;
  uint32_t announced_ = 0;  // bytes in the device already announced by an event
  bool drained_ = false;    // the last read or purge left the device empty
  std::string open_error_;
};

}  // namespace

std::unique_ptr<SerialDevice> MakePlatformDevice(std::string path) {
  return std::make_unique<PosixDevice>(std::move(path));
}

}  // namespace notavero
