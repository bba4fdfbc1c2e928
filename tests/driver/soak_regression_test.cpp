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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/notavero_unit.h"
#include "protocol/frame.h"
#include "serial/fake_device.h"
#include "tests/driver/model_line.h"

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

// A driver that has read the table of the simulated device on a scripted
// line, with acceptance on.
std::unique_ptr<TNotavero> StartAccepting(testing::ModelLine& line, Host& host) {
  auto driver = line.Driver(TBillSink{nullptr, &Host::Callback, &host});
  EXPECT_TRUE(line.WaitForFrame(Frame({cmdSetSecurity, 0xFF, 0xFF, 0xFF})));
  driver->SetEnabled(true);
  EXPECT_TRUE(line.WaitForState(dsWaitingForBill));
  return driver;
}

TEST(SoakRegression, LateAcknowledgeIsNotTakenForAStatusAndTheEventIsCredited) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("notavero-late-reply-" + std::to_string(::getpid()));
  ::setenv("NOTAVERO_LOG", (dir / "Notavero.log").c_str(), 1);
  const Bytes poll = Frame({cmdPoll});
  testing::ModelLine line(sim::ModelOptions{.start_disabled = true});
  Host host;
  std::optional<std::size_t> late;  // declared before the driver: its hook runs until the driver is gone
  std::size_t heard = 0;
  {
    auto driver = StartAccepting(line, host);
    // The stacked event's poll reply comes behind the late acknowledge of
    // an earlier command.
    heard = line.Frames().size();  // the hook runs under the line's lock: it counts itself
    line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
      ++heard;
      if (frame != poll || model.State() != dsStacked || late) {
        return std::nullopt;
      }
      late = heard;
      Bytes answer = Frame({cmdAck});
      for (const auto& reply : model.Receive(frame.data(), frame.size(), line.Now())) {
        answer.insert(answer.end(), reply.bytes.begin(), reply.bytes.end());
      }
      return answer;
    });
    line.WithModel([&](sim::DeviceModel& model) { return model.Insert(2, line.Now()); });
    ASSERT_TRUE(host.WaitForCalls(2));
    // The frame after the stray one is a poll, not an acknowledge.
    const auto frames = line.Frames();
    ASSERT_TRUE(late);
    ASSERT_GT(frames.size(), *late);
    EXPECT_EQ(frames[*late], poll) << "an acknowledge frame taken for a status was acknowledged";
  }
  EXPECT_EQ(host.Kinds(), (std::vector<int32_t>{beEscrow, beStacked}));
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
  const Bytes poll = Frame({cmdPoll});
  const Bytes ack = Frame({cmdAck});
  testing::ModelLine line(sim::ModelOptions{.start_disabled = true});
  Host host;
  // Declared before the driver: its hook runs until the driver is gone.
  std::atomic<bool> stacked_reported{false};
  std::atomic<std::size_t> acknowledged{0};
  std::atomic<std::size_t> heard{0};
  {
    auto driver = StartAccepting(line, host);
    heard.store(line.Frames().size());
    line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
      ++heard;
      if (frame == ack && stacked_reported.load() && acknowledged.load() == 0) {
        acknowledged.store(heard.load());
      }
      stacked_reported.store(frame == poll && model.State() == dsStacked);
      return std::nullopt;
    });
    line.WithModel([&](sim::DeviceModel& model) { return model.Insert(2, line.Now()); });
    // Destroyed as soon as the acknowledge is on the line.
    while (acknowledged.load() == 0) {
      ASSERT_TRUE(line.WaitForFrame(ack, line.Frames().size()));
    }
    driver.reset();
  }
  EXPECT_EQ(host.Kinds(), (std::vector<int32_t>{beEscrow, beStacked}));
  ::unsetenv("NOTAVERO_LOG");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace notavero
