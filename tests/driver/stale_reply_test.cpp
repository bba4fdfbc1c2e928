// A stacked event lost behind a stale reply: found by the soak (seed 104),
// replayed from its trace (tests/driver/trace_replay.h) on the scripted line.
//
// A poll reply reached the driver after the exchange that asked for it had
// ended, right in front of the reply to the next poll, which carried a
// stacked event.  The driver took the stale reply for the current one and
// acknowledged it; the device took that acknowledge for its stacked event
// and forgot it, and the bill was never credited.  The soak met it when a
// driver was destroyed while it awaited a reply, and the next driver, whose
// purge ran before that reply was in, read it (on a serial line a reply on
// the wire during the purge arrives the same way).  The same happens when a
// reply comes so late that the driver's time-out has run out and it has
// polled again.  Either way the reply the driver reads first is not the
// answer to its poll, and acknowledging it loses the event behind it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/notavero_unit.h"
#include "sim/trace_file.h"
#include "tests/driver/driver_log_test.h"
#include "tests/driver/recording_host.h"
#include "tests/driver/trace_replay.h"

namespace notavero {
namespace {

using testing::RecordingHost;

// The start of both replays: a driver brings the device from power-up to
// "waiting", a bill of type 7 (5000) goes in, the host stacks it, and the
// device reports stacking once (acknowledged).  Its next poll reply, still
// "stacking", is the one that comes late; the device enters "stacked" as it
// sends it.  Times are those of the soak's trace (seed 104).
constexpr std::string_view kUpToStacking = R"(
609.604 -- driver created
609.704 RX 02 03 09 32 FF FF FF 6D 29   # bill table read, security set
609.705 -- enable
609.804 RX 02 03 0C 34 00 00 FC 00 00 FC EB D1
609.805 -- cmd insert 7
610.305 RX 02 03 06 35 EC E4            # the host stacks the bill
610.406 RX 02 03 06 33 DA 81            # -> 17
610.406 RX 02 03 06 00 C2 82
610.407 -- recorded
)";

// Seed 104: the driver is destroyed while it awaits the reply to its poll;
// the next driver purges its input and polls, and only then does the old
// reply ("stacking") reach it, just ahead of the reply to its own poll
// ("stacked").  On a serial line a reply on the wire while the purge runs
// arrives the same way.
constexpr std::string_view kStaleAfterDestruction = R"(
610.506 RX 02 03 06 33 DA 81            # the old driver polls; the device answers 17, now 81
610.506 -- driver destroyed
610.506 -- driver created
610.506 RX 02 03 06 33 DA 81            # the new driver's first poll; the device answers 81 07
610.506 TX 02 03 06 17 FC E6            # the old driver's reply, late
610.506 TX 02 03 07 81 07 EB 5E         # the reply to this poll
610.507 -- live
)";

// The same with one driver: the reply to a poll comes after the driver's
// 2000 ms time-out, when it has polled again; the reply to the second poll
// follows it at once.
constexpr std::string_view kStaleAfterTimeout = R"(
610.506 RX 02 03 06 33 DA 81            # the device answers 17, now 81, but its reply is late
612.506 RX 02 03 06 33 DA 81            # the driver gives up and polls again; the device answers 81 07
612.507 TX 02 03 06 17 FC E6            # the late reply to the first poll
612.507 TX 02 03 07 81 07 EB 5E         # the reply to the second
612.508 -- live
)";

struct ReplayOutcome {
  std::vector<int64_t> credits;
  std::vector<TUnconfirmedBill> unconfirmed;
  uint64_t stacked = 0;  // by the device
  std::vector<std::vector<uint8_t>> skipped;
};

// Plays the script with the test's part of the notes: creating and
// destroying drivers (each on a line of its own) and enabling acceptance.
// Then the device answers live until the bill is credited or 60 more frames
// have passed, and the last driver is destroyed.
ReplayOutcome Replay(const std::string& script) {
  TraceReplay replay(sim::ParseTrace(script));
  RecordingHost host;
  ReplayOutcome outcome;
  std::unique_ptr<TNotavero> driver;
  const auto destroy = [&] {
    if (driver) {
      const auto listed = driver->UnconfirmedBills();
      outcome.unconfirmed.insert(outcome.unconfirmed.end(), listed.begin(), listed.end());
      driver.reset();
    }
  };
  for (;;) {
    const auto step = replay.RunToNote();
    EXPECT_EQ(step.error, "");
    if (!step.error.empty() || !step.note) {
      break;
    }
    const std::string& note = step.note->text;
    if (note == "driver created") {
      auto line = std::make_shared<FakeLine>();
      driver = std::make_unique<TNotavero>(1, host.Sink(), replay.Device(line), TTimings{}, replay.Clock());
      replay.SetLine(line);
    } else if (note == "driver destroyed") {
      destroy();
    } else if (note == "enable") {
      driver->SetEnabled(true);
    } else {
      ADD_FAILURE() << "unknown note: " << note;
    }
  }
  replay.RunLive([&] { return !host.Credits().empty(); }, 60);
  // A few frames more: the acknowledge of the event is out, and a repeat
  // of it would be seen.
  replay.RunLive([] { return false; }, 6);
  destroy();
  outcome.credits = host.Credits();
  outcome.stacked = replay.Model().Counters().stacked;
  outcome.skipped = replay.Skipped();
  return outcome;
}

using SoakRegression = testing::DriverLogTest;

TEST_F(SoakRegression, AStaleReplyInFrontOfAStackedEventDoesNotLoseTheBill) {
  constexpr int64_t k5000 = 5000 * kCurrencyScale;
  for (const auto& [name, window] :
       {std::pair{"a new driver reads the reply its predecessor awaited", kStaleAfterDestruction},
        std::pair{"a reply comes after the time-out", kStaleAfterTimeout}}) {
    SCOPED_TRACE(name);
    const ReplayOutcome outcome = Replay(std::string(kUpToStacking) + std::string(window));
    EXPECT_EQ(outcome.stacked, 1U);
    // The bill was stacked and the driver never sent it to the stacker
    // twice: it must reach the host once, with its value.
    EXPECT_EQ(outcome.credits, std::vector<int64_t>{k5000});
    EXPECT_TRUE(outcome.unconfirmed.empty());
  }
}

}  // namespace
}  // namespace notavero
