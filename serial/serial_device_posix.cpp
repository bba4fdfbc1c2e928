// The POSIX (Linux) serial device: termios on a tty path, poll() with an
// eventfd for the event wait, non-blocking reads, writes bounded in time.
//
// The event wait reads what poll() reports into a buffer of its own and
// announces exactly that count, so that no query of the input count is
// needed; Read only takes from that buffer.
//
// A terminal wakes its pollers on every arrival, VMIN or not, and a line
// that hands bytes over one at a time (a pseudo-terminal, a UART without
// FIFO, a USB adapter at 9600 baud that passes about a byte per millisecond)
// would wake the event thread once a byte.  So while the reader has asked
// for more bytes than one (HoldInput: the rest of a frame), the event wait
// naps, watching only for the end, until the last of them can be in at the
// earliest, and then reads what came without asking poll().  All the
// terminal had was read, so the next byte comes after that read began and
// the rest follow one byte time apart: a reply costs a wake-up for its first
// byte, one for each nap (one until a frame's least length can be in, one
// once its length is known) and one for its last byte, which is still seen
// when it arrives.  Only an adapter that hands the first bytes over late and the
// rest faster than the wire carries them would meet the nap's end late, by
// less than the rest's wire time.  A nap is cut into slices of at most
// 20 ms, after each of which the hold is looked at again, so that a purge
// ends it soon.
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

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
      stage_begin_ = stage_end_ = 0;
      empty_ = false;
      hold_ = 1;
      byte_time_ = {};
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
    {
      std::lock_guard lock(mutex_);
      if (::ioctl(fd_, TCSETS2, &tio) != 0) {
        return false;
      }
      // Kept for the holds: start, data, parity and stop bits per byte.
      const uint64_t bits = 2U + settings.byte_size + (settings.parity != 0 ? 1U : 0U) +
                            (settings.stop_bits == kTwoStopBits ? 1U : 0U);
      byte_time_ = std::chrono::nanoseconds(bits * 1000000000U / settings.baud_rate);
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

  // A terminal keeps no error mask, so the answer is the input count alone:
  // the bytes the last event announced and Read has not taken yet (bytes
  // that came later are announced by the next event as usual).
  bool ClearErrors(uint32_t& errors, CommStat& stat) override {
    errors = 0;
    std::lock_guard lock(mutex_);
    stat = CommStat{0, announced_, 0};
    return fd_ >= 0;
  }

  // The bytes read but not taken go, and so does a hold.  The terminal is
  // flushed unless the last read found it empty and no arrival has been
  // reported since: bytes that came since then could as well have come just
  // after a flush, which never kept out bytes on their way either.  A hold
  // ends here (the reader starts afresh), and what came during its nap is
  // flushed too.  Under the lock that the event wait holds while it reads
  // and announces: bytes read before the purge are never announced after it.
  void PurgeInput() override {
    std::lock_guard lock(mutex_);
    const bool held = hold_ > 1;
    hold_ = 1;
    if (held || !empty_) {
      ::ioctl(fd_, TCFLSH, TCIFLUSH);
      empty_ = true;
    }
    stage_begin_ = stage_end_ = 0;
    announced_ = 0;
  }

  // The reader needs `count` more bytes before it can act: the event wait
  // naps until the last of them can be in, then reports what came.  1 ends
  // a hold; so does a line whose speed is not known.
  void HoldInput(uint32_t count) override {
    std::lock_guard lock(mutex_);
    hold_ = byte_time_.count() > 0 ? std::clamp<uint32_t>(count, 1, kMaxHold) : 1;
    rest_due_ = read_begun_ + byte_time_ * (hold_ - 1);
  }

  void SetTimeouts() override {}  // reads never wait (O_NONBLOCK), writes are bounded in Write

  bool SetEventMask(uint32_t mask) override {
    mask_.store(mask);
    return true;
  }

  // Announces what one read of the terminal found once poll() reports
  // input, or once a hold's nap is over.  Bytes announced and not read yet
  // (the port's ring had no room) are announced again at a slow pace, and no
  // more are read until they are taken.
  WaitStatus WaitEvent(uint32_t& events) override {
    using SteadyClock = std::chrono::steady_clock;
    bool timed_out = false;
    for (;;) {
      if (interrupted_.load()) {
        return WaitStatus::kEnded;
      }
      const bool want_chars = (mask_.load() & kEvRxChar) != 0;
      bool staged = false;
      bool rest_due = false;           // a hold's nap is over: look without poll()
      std::chrono::nanoseconds nap{};  // a hold's bytes cannot all be in before it ends
      {
        std::lock_guard lock(mutex_);
        staged = stage_end_ != stage_begin_;
        if (staged && want_chars && timed_out) {
          announced_ = stage_end_ - stage_begin_;
          events = kEvRxChar;
          return WaitStatus::kEvent;
        }
        if (want_chars && !staged && hold_ > 1) {
          const auto now = SteadyClock::now();
          if (now < rest_due_) {
            nap = std::min<std::chrono::nanoseconds>(rest_due_ - now, kNapSlice);
          } else {
            hold_ = 1;
            rest_due = true;
          }
        }
      }
      timed_out = false;
      if (nap.count() > 0) {
        if (!Nap(nap)) {
          return WaitStatus::kEnded;
        }
        continue;
      }
      if (!rest_due) {
        std::array<pollfd, 2> fds{
            {{fd_, static_cast<short>(!staged && want_chars ? POLLIN : 0), 0}, {wake_fd_, POLLIN, 0}}};
        const int rc = ::poll(fds.data(), fds.size(), staged ? kStaleRecheckMs : -1);
        if (rc < 0 && errno != EINTR) {
          return WaitStatus::kEnded;
        }
        if ((fds[1].revents & POLLIN) != 0) {
          return WaitStatus::kEnded;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
          return WaitStatus::kEnded;  // the line hung up: nothing more will arrive
        }
        if (rc == 0) {
          timed_out = true;
          continue;
        }
        if ((fds[0].revents & POLLIN) == 0) {
          continue;
        }
      }
      std::lock_guard lock(mutex_);
      if (stage_begin_ != stage_end_) {
        continue;  // nothing is read before the staged bytes are taken
      }
      stage_begin_ = stage_end_ = 0;
      read_begun_ = SteadyClock::now();
      const ssize_t n = ::read(fd_, stage_.data(), stage_.size());
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return WaitStatus::kEnded;
      }
      const auto got = static_cast<uint32_t>(std::max<ssize_t>(n, 0));
      // One read takes all the terminal holds unless it fills the buffer.
      empty_ = got < stage_.size();
      stage_end_ = got;
      if (got > 0 && want_chars) {
        announced_ = got;
        events = kEvRxChar;
        return WaitStatus::kEvent;
      }
    }
  }

  uint32_t Read(uint8_t* dest, uint32_t count) override {
    std::lock_guard lock(mutex_);
    const uint32_t got = std::min(count, stage_end_ - stage_begin_);
    std::memcpy(dest, stage_.data() + stage_begin_, got);
    stage_begin_ += got;
    announced_ = announced_ > got ? announced_ - got : 0;
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
    {
      std::lock_guard lock(mutex_);
      hold_ = 1;
      byte_time_ = {};
    }
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
  static constexpr std::chrono::milliseconds kNapSlice{20};
  static constexpr uint32_t kMaxHold = 256;  // no frame is longer: a nap lasts a frame at most
  static constexpr std::size_t kStageSize = 4096;

  // Sleeps for `left`, woken early only by Interrupt; false when the wait
  // failed.  The terminal is not watched: its arrivals would wake the
  // thread one by one.
  [[nodiscard]] bool Nap(std::chrono::nanoseconds left) const {
    const timespec span{static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count()),
                        static_cast<long>((left % std::chrono::seconds(1)).count())};
    pollfd wake{wake_fd_, POLLIN, 0};
    return ::ppoll(&wake, 1, &span, nullptr) >= 0 || errno == EINTR;
  }

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
  std::mutex mutex_;                         // guards what follows
  uint32_t announced_ = 0;                   // bytes announced by the last event and not taken yet
  std::array<uint8_t, kStageSize> stage_{};  // read from the terminal, not taken yet
  uint32_t stage_begin_ = 0;
  uint32_t stage_end_ = 0;
  bool empty_ = false;  // the last read or purge left the terminal empty, no arrival reported since
  uint32_t hold_ = 1;   // bytes the reader needs before it can act (HoldInput)
  std::chrono::steady_clock::time_point rest_due_{};    // the earliest the hold's last byte can be in
  std::chrono::steady_clock::time_point read_begun_{};  // when the last read of the terminal began
  std::chrono::nanoseconds byte_time_{};                // one byte on the line; 0 until it is set
  std::string open_error_;
};

}  // namespace

std::unique_ptr<SerialDevice> MakePlatformDevice(std::string path) {
  return std::make_unique<PosixDevice>(std::move(path));
}

}  // namespace notavero
