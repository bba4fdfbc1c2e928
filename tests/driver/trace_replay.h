// Replays a case the soak met by timing on the scripted serial device, the
// same way on every run: a script in the simulator's trace format
// (sim/trace_file.h) is played in order against the driver on a FakeLine,
// and the simulator's device model (sim::DeviceModel) answers for the
// device.  The driver runs on the replay's clock (tests/driver/fake_clock.h),
// with the thread that plays the script as one that paces it: the driver's
// time-outs run out only while the script waits for a frame of the driver.
//
// The driver's frames are taken one at a time, in the order written, and
// each is fed to the model.  The script runs in one of two modes:
//   live (the start)  the model's answer to each frame goes on the line at
//                     once, as the simulator in fast mode would send it;
//   recorded          the model still takes every frame (so that its state
//                     follows what the driver did) but its answers are held
//                     back: only the script's TX lines reach the driver, in
//                     the script's order.  This is how a reply that came
//                     late, after the exchange that asked for it had ended,
//                     is replayed exactly where the trace shows it.
// Script lines:
//   SECONDS RX HEX    wait until the driver writes this frame (frames before
//                     it are taken and answered as the mode says)
//   SECONDS TX HEX    put these bytes on the line now
//   SECONDS -- cmd C  run the simulator command C on the model (insert 7)
//   SECONDS -- live / -- recorded   switch the mode
//   SECONDS -- TEXT   any other note: RunToNote() returns it to the test,
//                     which acts on it (destroys the driver, creates one on
//                     a new line and calls SetLine, enables acceptance)
// The seconds are the trace's and only for people; the order is what counts.
// The replay is made, run and destroyed on one thread, the test's.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/hex.h"
#include "serial/fake_device.h"
#include "sim/commands.h"
#include "sim/device_model.h"
#include "sim/trace_file.h"
#include "tests/driver/fake_clock.h"

namespace notavero {

class TraceReplay {
 public:
  using Bytes = std::vector<uint8_t>;

  struct Step {
    std::string error;                   // empty while the script runs as written
    std::optional<sim::TraceLine> note;  // the note that stopped the run; none at the end
  };

  explicit TraceReplay(std::vector<sim::TraceLine> lines, const sim::ModelOptions& options = {})
      : lines_(std::move(lines)), model_(options, clock_.Now()) {
    clock_.Running();
  }
  ~TraceReplay() { clock_.Detach(); }
  TraceReplay(const TraceReplay&) = delete;
  TraceReplay& operator=(const TraceReplay&) = delete;

  testing::FakeClock& Clock() { return clock_; }
  // The device for a driver on `line`, on the replay's clock.
  std::unique_ptr<SerialDevice> Device(std::shared_ptr<FakeLine> line) {
    return std::make_unique<testing::ClockedDevice>(std::move(line), clock_);
  }

  // The line of the driver that runs now; its frames are taken from the start.
  void SetLine(std::shared_ptr<FakeLine> line) {
    line_ = std::move(line);
    read_ = 0;
  }

  // Runs the script until a note for the test (returned) or the end.
  Step RunToNote() {
    while (next_ < lines_.size()) {
      const sim::TraceLine& line = lines_[next_++];
      const std::string where = "script line " + std::to_string(line.line_number) + ": ";
      switch (line.kind) {
        case sim::TraceLine::Kind::kNote:
          if (line.text == "live" || line.text == "recorded") {
            live_ = line.text == "live";
          } else if (line.text.rfind("cmd ", 0) == 0) {
            const auto result = sim::RunDeviceCommand(model_, line.text.substr(4), clock_.Now());
            if (!result.ok) {
              return Step{where + result.text, std::nullopt};
            }
          } else {
            return Step{{}, line};
          }
          break;
        case sim::TraceLine::Kind::kSent:
          if (line_) {
            line_->Receive(line.bytes);
          }
          break;
        case sim::TraceLine::Kind::kReceived:
          if (!AwaitFrame(line.bytes)) {
            return Step{where + "the driver never sent " + HexBytes(line.bytes.data(), line.bytes.size()),
                        std::nullopt};
          }
          break;
      }
    }
    return {};
  }

  // After the script: the model answers live until `done` holds (true) or
  // the driver has written `frames` more frames (false).
  bool RunLive(const std::function<bool()>& done, int frames) {
    live_ = true;
    for (int i = 0; i < frames; ++i) {
      if (done()) {
        return true;
      }
      if (!TakeFrame()) {
        return done();
      }
    }
    return done();
  }

  [[nodiscard]] const sim::DeviceModel& Model() const { return model_; }
  // Frames the driver wrote in recorded mode that the script did not wait
  // for (answered by nobody), in order.
  [[nodiscard]] const std::vector<Bytes>& Skipped() const { return skipped_; }

 private:
  // Takes the driver's next frame and feeds it to the model; in live mode
  // the model's answer goes on the line.
  bool TakeFrame() {
    if (!line_ || !AwaitWritten(read_ + 3)) {
      return false;
    }
    Bytes written = line_->Written();
    const std::size_t length = written[read_ + 2] < 3 ? 3 : written[read_ + 2];
    if (!AwaitWritten(read_ + length)) {
      return false;
    }
    written = line_->Written();
    last_.assign(written.begin() + static_cast<std::ptrdiff_t>(read_),
                 written.begin() + static_cast<std::ptrdiff_t>(read_ + length));
    read_ += length;
    for (const auto& reply : model_.Receive(last_.data(), last_.size(), clock_.Now())) {
      if (live_ && !reply.bytes.empty()) {
        line_->Receive(reply.bytes);
      }
    }
    return true;
  }

  // Waits, as a blocked thread of the clock, until the driver has written
  // `count` bytes.
  bool AwaitWritten(std::size_t count) {
    clock_.Blocked([line = line_, count] { return line->Written().size() >= count; });
    const bool written = line_->WaitWritten(count);
    clock_.Running();
    return written;
  }

  bool AwaitFrame(const Bytes& frame) {
    for (;;) {
      if (!TakeFrame()) {
        return false;
      }
      if (last_ == frame) {
        return true;
      }
      if (!live_) {
        skipped_.push_back(last_);
      }
    }
  }

  testing::FakeClock clock_;
  std::vector<sim::TraceLine> lines_;
  std::size_t next_ = 0;
  sim::DeviceModel model_;
  bool live_ = true;
  std::shared_ptr<FakeLine> line_;
  std::size_t read_ = 0;
  Bytes last_;
  std::vector<Bytes> skipped_;
};

}  // namespace notavero
