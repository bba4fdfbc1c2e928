// The simulator's frame parser and device model fed arbitrary bytes in
// arbitrary batches, with time moving on and the technician's commands
// (faults, bills, power cycles) in between.  Every reply it returns is
// consistent: its pieces make up its bytes, and a request is reported good
// exactly when its CRC is.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/frame.h"
#include "sim/commands.h"
#include "sim/device_model.h"

using namespace notavero;
using namespace notavero::sim;

namespace {

constexpr std::array<const char*, 16> kCommands = {
    "insert 2",  "insert 7",    "insert 0",       "silent 2",        "bad-crc 1", "garbage 5",
    "split 3 0", "delay 10 2",  "bad-length",     "bad-length long", "jam",       "busy 3",
    "clear",     "power-cycle", "power-cycle 11", "failure 50"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelOptions options;
  options.trace_limit = 16;
  SimTime now{};
  DeviceModel model(options, now);
  std::size_t i = 0;
  while (i < size) {
    const uint8_t op = data[i++];
    switch (op % 4) {
      case 0:
      case 1: {
        const std::size_t count = std::min<std::size_t>(op >> 1, size - i);
        for (const Reply& reply : model.Receive(data + i, count, now)) {
          std::vector<uint8_t> joined;
          for (const ReplyChunk& chunk : reply.chunks) {
            joined.insert(joined.end(), chunk.bytes.begin(), chunk.bytes.end());
          }
          FUZZ_CHECK(joined == reply.bytes);
          FUZZ_CHECK(reply.request_crc_good == FrameCrcGood(reply.request.data(), reply.request.size()));
        }
        i += count;
        break;
      }
      case 2:
        now += std::chrono::milliseconds(op) * 10;
        model.Advance(now);
        if (const auto next = model.NextDeadline()) {
          FUZZ_CHECK(*next > now - std::chrono::hours(1));
        }
        break;
      default:
        RunDeviceCommand(model, kCommands[(op >> 2) % kCommands.size()], now);
        break;
    }
    FUZZ_CHECK(model.Trace().size() <= options.trace_limit);
  }
  return 0;
}
