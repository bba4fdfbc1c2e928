// The platform layer under the serial port: the few operations the port
// takes from a communications device, as one interface with a backend per
// platform (Win32, POSIX) and a scripted fake for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace notavero {

// Communications events (the bits of a device event mask).
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvTxEmpty = 0x0004;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvDsr = 0x0010;
inline constexpr uint32_t kEvRlsd = 0x0020;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;
inline constexpr uint32_t kEvRingTrail = 0x2000;  // outside the standard set; a device may refuse it

// Line-error bits of the device error mask.
inline constexpr uint32_t kCeRxOver = 0x01;
inline constexpr uint32_t kCeOverrun = 0x02;
inline constexpr uint32_t kCeRxParity = 0x04;
inline constexpr uint32_t kCeFrame = 0x08;
inline constexpr uint32_t kCeBreak = 0x10;

// Stop-bit codes of the device control block.
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kTwoStopBits = 2;

// Bits of the device control block's flag word that the port touches.
inline constexpr uint32_t kFlagBinary = 0x0001;
inline constexpr uint32_t kFlagOutxCtsFlow = 0x0004;
inline constexpr uint32_t kFlagRtsControlMask = 0x3000;  // 0 disable, 0x1000 enable, 0x2000 handshake
inline constexpr uint32_t kFlagRtsHandshake = 0x2000;
inline constexpr uint32_t kFlagOutX = 0x0100;
inline constexpr uint32_t kFlagInX = 0x0200;

// The line settings of a device, in the device control block's terms.
struct LineSettings {
  uint32_t baud_rate = 0;
  uint8_t byte_size = 8;
  uint8_t parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stop_bits = kOneStopBit;
  uint32_t flags = kFlagBinary;
};

// Device status: flag word, bytes in the device input queue, output count.
struct CommStat {
  uint32_t flags = 0;
  uint32_t in_queue = 0;
  uint32_t out_queue = 0;
};

enum class WaitStatus {
  kEvent,    // the wait completed; the events are in the out parameter
  kRefused,  // the event mask in force is refused by the device
  kFailed,   // the wait failed at once; the device stays usable
  kEnded,    // the wait cannot go on: a pending wait failed, the line hung up, or Interrupt was called
};

enum class WriteStatus {
  kDone,         // the write completed (possibly with fewer bytes after the device's write time-out)
  kFailed,       // the write failed; nothing is known to have been sent
  kTimedOut,     // still pending after the wait limit; cancelled and collected
  kInterrupted,  // Interrupt was called; the write was cancelled and collected
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the device of port n exclusively; false when it is missing or busy.
  virtual bool Open(uint16_t port_number) = 0;
  // Why the last Open failed, for people: the device's path and the
  // system's reason ("/dev/ttyS8: Permission denied"); empty when unknown.
  [[nodiscard]] virtual std::string OpenError() const { return {}; }
  // What the open device is, whatever name opened it: a link and the device
  // it names give the same identity, two devices never do.  Empty when the
  // device cannot tell (the port's name stands in for it then).
  [[nodiscard]] virtual std::string Identity() const { return {}; }
  virtual bool SetupQueues(uint32_t in_size, uint32_t out_size) = 0;
  virtual bool GetLineSettings(LineSettings& settings) = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  // Reads and clears the device error mask and fills `stat`; false on failure.
  virtual bool ClearErrors(uint32_t& errors, CommStat& stat) = 0;
  // Aborts pending reads and empties the device input queue; ends a hold.
  virtual void PurgeInput() = 0;
  // The reader can act on nothing before `count` more bytes are in (1: on
  // every byte).  A device may then wait, without looking at the line,
  // until that many can be there at the earliest (their time on the line),
  // to announce them in fewer events; it never waits past the moment the
  // last of them can first arrive.  Called by the thread that waits for
  // events, between waits.  Does nothing here.
  virtual void HoldInput(uint32_t /*count*/) {}
  // Reads return at once with what is there; writes end after 20000 ms at the latest.
  virtual void SetTimeouts() = 0;
  virtual bool SetEventMask(uint32_t mask) = 0;
  // Waits for one of the events of the mask in force.  Called by one thread only.
  virtual WaitStatus WaitEvent(uint32_t& events) = 0;
  // Reads up to `count` bytes that are already there, without waiting; returns how many.
  virtual uint32_t Read(uint8_t* dest, uint32_t count) = 0;
  // Writes what the device takes at once, without waiting and without a
  // pending operation left behind; returns how many (0 also when it cannot).
  // Never called while a Write runs.
  virtual uint32_t WriteNow(const uint8_t* /*data*/, uint32_t /*count*/) { return 0; }
  // Writes `count` bytes, waiting up to `wait_ms` for completion; `written` receives the count.
  virtual WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t wait_ms, uint32_t& written) = 0;
  // Ends a pending or later WaitEvent and Write at once; callable from any thread.
  // After it the device accepts no new wait or write.
  virtual void Interrupt() = 0;
  // Releases the device.  Every operation has completed or been cancelled by then.
  virtual void Close() = 0;
};

// The device of the platform this library is built for.  With a path it
// opens that device whatever port number Open is given (POSIX: any tty path;
// Windows: any name CreateFile takes, such as "\\.\COM12"); without one
// it opens the port by its number.
std::unique_ptr<SerialDevice> MakePlatformDevice(std::string path = {});

}  // namespace notavero
