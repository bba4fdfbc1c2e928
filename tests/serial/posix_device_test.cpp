// The POSIX device itself over a pseudo-terminal, with this program's own
// ioctl and read in front of the C library's: a test can stop the device
// between its taking of the input (a count, or the bytes themselves) and what
// it does with it, and so play an interleaving of threads that the scheduler
// produces only rarely.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial_device.h"
#include "tests/serial/port_test_util.h"
#include "tests/serial/pty_util.h"

namespace {

// Runs once, on the thread that armed it, after the next FIONREAD that finds
// bytes waiting or the next read that takes some, with the count.
std::mutex g_hook_mutex;
std::function<void(int)> g_after_count;
std::thread::id g_hook_thread;

void AfterCount(int count) {
  std::function<void(int)> hook;
  {
    const std::lock_guard lock(g_hook_mutex);
    if (g_after_count && g_hook_thread == std::this_thread::get_id()) {
      hook.swap(g_after_count);
    }
  }
  if (hook) {
    const int saved = errno;
    hook(count);
    errno = saved;
  }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {  // NOLINT
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  const auto rc = static_cast<int>(::syscall(SYS_ioctl, fd, request, argument));
  if (rc == 0 && request == FIONREAD && *static_cast<int*>(argument) > 0) {
    AfterCount(*static_cast<int*>(argument));
  }
  return rc;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {  // NOLINT
  const auto rc = static_cast<ssize_t>(::syscall(SYS_read, fd, buffer, count));
  if (rc > 0) {
    AfterCount(static_cast<int>(rc));
  }
  return rc;
}

namespace notavero {
namespace {

using namespace std::chrono_literals;

class PosixDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name;
    master_ = test::OpenPtyAsPort(7, name);
    ASSERT_GE(master_, 0);
    // A second descriptor of the terminal shows its input queue to the test.
    observer_ = open(name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(observer_, 0);
    ASSERT_TRUE(device_->Open(7));
    LineSettings raw{9600, 8, 0, kOneStopBit, kFlagBinary};
    ASSERT_TRUE(device_->SetLineSettings(raw));
    ASSERT_TRUE(device_->SetEventMask(kEvRxChar));
  }
  void TearDown() override {
    device_->Interrupt();
    device_->Close();
    close(observer_);
    close(master_);
    unsetenv("NOTAVERO_COM7");
  }

  void WriteMaster(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Waits until the terminal's input queue holds exactly `count` bytes.
  bool InputQueueHolds(int count) {
    return test::Eventually([&] {
      int n = -1;
      return ::syscall(SYS_ioctl, observer_, FIONREAD, &n) == 0 && n == count;
    });
  }
  // One WaitEvent on a thread of its own; gives up (and interrupts the
  // device) when no event comes within the time-out.
  bool EventArrives(uint32_t& events) {
    auto waiting = std::async(std::launch::async, [&] { return device_->WaitEvent(events); });
    if (waiting.wait_for(test::kEventTimeout) != std::future_status::ready) {
      device_->Interrupt();
      waiting.wait();
      return false;
    }
    return waiting.get() == WaitStatus::kEvent;
  }

  int master_ = -1;
  int observer_ = -1;
  std::unique_ptr<SerialDevice> device_ = MakePlatformDevice();
};

// The driver purges the input before every command while the event thread
// may be between taking the input (its count, or the bytes) and announcing
// it.  The bytes counted then are gone; announcing them anyway left the next
// reply's bytes counted as announced, and a reply no longer than them waited
// for a byte that never came.
TEST_F(PosixDeviceTest, PurgeWhileAnEventWaitCountsLeavesTheNextReplyAnnounced) {
  WriteMaster({0xE1, 0xE2, 0xE3, 0xE4});  // the tail of an earlier reply
  ASSERT_TRUE(InputQueueHolds(4));

  std::promise<void> purged;
  auto purged_done = purged.get_future();
  std::thread purger;
  uint32_t events = 0;
  auto first = std::async(std::launch::async, [&] {
    {
      const std::lock_guard lock(g_hook_mutex);
      g_hook_thread = std::this_thread::get_id();
      g_after_count = [&](int /*count*/) {
        // The polling thread purges now.  A device that purges under the
        // lock it counts under cannot be purged before this wait ends, so
        // the wait is bounded; the purge then follows the announcement.
        purger = std::thread([&] {
          device_->PurgeInput();
          purged.set_value();
        });
        (void)purged_done.wait_for(1s);
      };
    }
    return device_->WaitEvent(events);
  });
  ASSERT_EQ(first.wait_for(test::kEventTimeout), std::future_status::ready);
  EXPECT_EQ(first.get(), WaitStatus::kEvent);
  purger.join();
  ASSERT_TRUE(InputQueueHolds(0));

  // The reply to the next command: shorter than what was counted.
  WriteMaster({0x5A});
  ASSERT_TRUE(InputQueueHolds(1));
  events = 0;
  ASSERT_TRUE(EventArrives(events)) << "a one-byte reply after the purge was not announced";
  EXPECT_EQ(events, kEvRxChar);
  uint8_t byte = 0;
  EXPECT_EQ(device_->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 0x5A);
}

// While the rest of a frame is on its way the event wait naps, blind to the
// terminal, until the rest can be in.  The driver purges before its next
// command when a reply broke off: the purge must end the nap (at 50 baud
// this one would last 51 s) and take the bytes that came during it along.
TEST_F(PosixDeviceTest, PurgeEndsTheNapOfAHoldAndTakesWhatCameDuringIt) {
  LineSettings slow{50, 8, 0, kOneStopBit, kFlagBinary};
  ASSERT_TRUE(device_->SetLineSettings(slow));
  WriteMaster({0x02});
  uint32_t events = 0;
  ASSERT_TRUE(EventArrives(events));
  uint8_t byte = 0;
  ASSERT_EQ(device_->Read(&byte, 1), 1u);
  device_->HoldInput(256);

  auto waiting = std::async(std::launch::async, [&] { return device_->WaitEvent(events); });
  WriteMaster({0x03, 0x06});  // the broken-off reply goes on during the nap
  ASSERT_TRUE(InputQueueHolds(2)) << "the bytes that came during the nap were read at once";
  device_->PurgeInput();
  WriteMaster({0x5A});  // the reply to the next command
  ASSERT_EQ(waiting.wait_for(test::kEventTimeout), std::future_status::ready)
      << "the nap outlasted the purge";
  ASSERT_EQ(waiting.get(), WaitStatus::kEvent);
  std::array<uint8_t, 4> got{};
  ASSERT_EQ(device_->Read(got.data(), got.size()), 1u) << "bytes from before the purge were announced";
  EXPECT_EQ(got[0], 0x5A);
}

// A link (as /dev/serial/by-id names an adapter) and the terminal it names
// are one device; another terminal is another.  The driver keys what it
// hands from one driver to the next by this identity.
TEST_F(PosixDeviceTest, IdentityIsTheDeviceNotTheNameItWasOpenedBy) {
  const std::string first = device_->Identity();
  ASSERT_FALSE(first.empty());
  std::string other;
  const int other_master = test::OpenPtyAsPort(8, other);
  ASSERT_GE(other_master, 0);
  unsetenv("NOTAVERO_COM8");
  const auto link =
      std::filesystem::temp_directory_path() / ("notavero-identity-" + std::to_string(::getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(other, link);
  std::string by_link;
  {
    auto device = MakePlatformDevice(link.string());
    ASSERT_TRUE(device->Open(0)) << device->OpenError();
    by_link = device->Identity();
    device->Close();
  }
  std::string by_path;
  {
    auto device = MakePlatformDevice(other);
    ASSERT_TRUE(device->Open(0)) << device->OpenError();
    by_path = device->Identity();
    device->Close();
  }
  std::filesystem::remove(link);
  close(other_master);
  EXPECT_EQ(by_link, by_path) << "a link and its terminal";
  EXPECT_NE(by_path, first) << "two terminals";
}

}  // namespace
}  // namespace notavero
