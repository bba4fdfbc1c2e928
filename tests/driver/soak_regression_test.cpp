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
#include "tests/driver/driver_log_test.h"
#include "tests/driver/frames.h"
#include "tests/driver/model_line.h"
#include "tests/driver/recording_host.h"

namespace notavero {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the tests' own helpers
using Host = RecordingHost;
using SoakRegression = DriverLogTest;

// A driver that has read the table of the simulated device on a scripted
// line, with acceptance on.
std::unique_ptr<TNotavero> StartAccepting(ModelLine& line, Host& host) {
  auto driver = line.Driver(host.Sink());
  EXPECT_TRUE(line.WaitForFrame(kSecurity));
  driver->SetEnabled(true);
  EXPECT_TRUE(line.WaitForState(dsWaitingForBill));
  return driver;
}

// The host was asked about the bill once, and credited it once.
void ExpectEscrowThenStacked(const Host& host) {
  const auto calls = host.Calls();
  ASSERT_EQ(calls.size(), 2U);
  EXPECT_EQ(calls[0].kind, beEscrow);
  EXPECT_EQ(calls[1].kind, beStacked);
}

TEST_F(SoakRegression, LateAcknowledgeIsNotTakenForAStatusAndTheEventIsCredited) {
  ModelLine line(sim::ModelOptions{.start_disabled = true});
  Host host;
  std::optional<std::size_t> late;  // declared before the driver: its hook runs until the driver is gone
  {
    auto driver = StartAccepting(line, host);
    // The stacked event's poll reply comes behind the late acknowledge of
    // an earlier command.
    line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
      if (frame != kPoll || model.State() != dsStacked || late) {
        return std::nullopt;
      }
      late = line.HookedFrame() + 1;  // the frame after this poll
      Bytes answer = kAck;
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
    EXPECT_EQ(frames[*late], kPoll) << "an acknowledge frame taken for a status was acknowledged";
  }
  ExpectEscrowThenStacked(host);
}

// A driver destroyed while it pauses after acknowledging a stacked event:
// the device has forgotten the event, so the host must hear of it before the
// driver goes.  A driver destroyed before it sends the acknowledge leaves
// the event to the device, which reports it to the next driver.
TEST_F(SoakRegression, DestroyedAfterAcknowledgingAStackedEventStillCreditsIt) {
  ModelLine line(sim::ModelOptions{.start_disabled = true});
  Host host;
  // Declared before the driver: its hook runs until the driver is gone.
  std::atomic<bool> stacked_reported{false};
  std::atomic<std::size_t> acknowledged{0};
  {
    auto driver = StartAccepting(line, host);
    line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
      if (frame == kAck && stacked_reported.load() && acknowledged.load() == 0) {
        acknowledged.store(line.HookedFrame() + 1);
      }
      stacked_reported.store(frame == kPoll && model.State() == dsStacked);
      return std::nullopt;
    });
    // This thread holds the clock from the acknowledge on: the driver is
    // still in its pause after it when its destruction begins.
    line.Clock().Blocked([&] { return acknowledged.load() != 0; });
    line.WithModel([&](sim::DeviceModel& model) { return model.Insert(2, line.Now()); });
    while (acknowledged.load() == 0) {
      ASSERT_TRUE(line.WaitForFrame(kAck, line.Frames().size()));
    }
    line.Clock().Running();
    driver.reset();
  }
  ExpectEscrowThenStacked(host);
}

}  // namespace
}  // namespace notavero
