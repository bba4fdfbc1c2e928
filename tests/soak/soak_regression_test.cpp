// Money the soak found lost, each case replayed on the scripted device.
//
// A device whose acknowledge of a command that awaits no reply comes after
// the driver's 100 ms pause.  That late acknowledge frame
// then arrives first in the reply to the next poll.  It is not a status: the
// driver must not acknowledge it, because the device takes that acknowledge
// for its real poll reply, which the driver never read.  When that reply was
// a stacked event, the bill was lost to the host.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/notavero_unit.h"
#include "protocol/frame.h"
#include "serial/fake_device.h"

namespace notavero {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const Bytes& payload) {
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

class Host {
 public:
  static int Callback(int32_t kind, int64_t /*amount*/, void* user) {
    auto* host = static_cast<Host*>(user);
    {
      const std::lock_guard lock(host->mutex_);
      host->kinds_.push_back(kind);
    }
    host->changed_.notify_all();
    return 1;
  }
  bool WaitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return kinds_.size() >= count; });
  }
  std::vector<int32_t> Kinds() {
    const std::lock_guard lock(mutex_);
    return kinds_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> kinds_;
};

TEST(SoakRegression, LateAcknowledgeIsNotTakenForAStatusAndTheEventIsCredited) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("notavero-late-reply-" + std::to_string(::getpid()));
  ::setenv("NOTAVERO_LOG", (dir / "Notavero.log").c_str(), 1);
  const Bytes poll = Frame({cmdPoll});
  const Bytes ack = Frame({cmdAck});
  auto line = std::make_shared<FakeLine>();
  Host host;
  {
    TNotavero driver(1, TBillSink{nullptr, &Host::Callback, &host}, std::make_unique<FakeDevice>(line));
    driver.SetEnabled(true);  // sent at the end of the first cycle, awaiting no reply

    ASSERT_TRUE(line->WaitWritten(6));
    line->Receive(Frame({dsWaitingForBill}));
    // Ack of the poll (6 bytes), then the enable command (12): left without
    // an answer while the driver pauses.
    ASSERT_TRUE(line->WaitWritten(6 + 6 + 12 + 6));
    Bytes written = line->Written();
    ASSERT_EQ(Bytes(written.begin() + 24, written.begin() + 30), poll);

    // The enable command's acknowledge comes now, ahead of the poll reply:
    // a stacked bill of type 2.
    Bytes late = ack;
    const Bytes stacked = Frame({dsStacked, 2});
    late.insert(late.end(), stacked.begin(), stacked.end());
    line->Receive(late);

    // The driver polls again without acknowledging the stray frame.
    ASSERT_TRUE(line->WaitWritten(36));
    written = line->Written();
    EXPECT_EQ(Bytes(written.begin() + 30, written.begin() + 36), poll)
        << "an acknowledge frame taken for a status was acknowledged";

    // The device reports the event again; it is credited.
    line->Receive(stacked);
    ASSERT_TRUE(host.WaitForCalls(1));
  }
  EXPECT_EQ(host.Kinds(), std::vector<int32_t>{beStacked});
  ::unsetenv("NOTAVERO_LOG");
  std::filesystem::remove_all(dir);
}

// A driver destroyed while it pauses after acknowledging a stacked event:
// the device has forgotten the event, so the host must hear of it before the
// driver goes.  A driver destroyed before it sends the acknowledge leaves
// the event to the device, which reports it to the next driver.
TEST(SoakRegression, DestroyedAfterAcknowledgingAStackedEventStillCreditsIt) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("notavero-destroyed-ack-" + std::to_string(::getpid()));
  ::setenv("NOTAVERO_LOG", (dir / "Notavero.log").c_str(), 1);
  auto line = std::make_shared<FakeLine>();
  Host host;
  {
    TNotavero driver(1, TBillSink{nullptr, &Host::Callback, &host}, std::make_unique<FakeDevice>(line));
    ASSERT_TRUE(line->WaitWritten(6));
    line->Receive(Frame({dsStacked, 2}));
    // The poll's acknowledge is out; the driver is in its pause.
    ASSERT_TRUE(line->WaitWritten(12));
    const Bytes written = line->Written();
    ASSERT_EQ(Bytes(written.begin() + 6, written.begin() + 12), Frame({cmdAck}));
  }
  EXPECT_EQ(host.Kinds(), std::vector<int32_t>{beStacked});
  ::unsetenv("NOTAVERO_LOG");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace notavero
