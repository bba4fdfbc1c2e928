// The response assembler and the exchange's use of it, fed arbitrary bytes
// in arbitrary batches, with exchanges starting and ending between them.
//
// The driver's own exchange runs on two threads with a 100 ms pause per
// command, far too slow for fuzzing; this target repeats its steps on one
// thread: an exchange restarts the assembler and empties the buffer, the
// event thread feeds bytes while the exchange waits and drops them once the
// frame is complete, and the exchange copies the reply into a command buffer
// of 11 or 201 bytes.  The input is a list of operations:
//   op % 4 == 0: start an exchange
//   op % 4 == 1: a batch of the next (op >> 2) bytes
//   op % 4 == 2: the exchange takes its reply into an 11-byte buffer
//   op % 4 == 3: the same into a 201-byte buffer
// Every complete frame is checked against an independent reading of the
// bytes that formed it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/frame.h"
#include "protocol/response_assembler.h"

using notavero::TResponseAssembler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  TResponseAssembler rx;
  bool waiting = false;
  TResponseAssembler::Result status = TResponseAssembler::Result::kIncomplete;
  std::vector<uint8_t> since_sync;  // the bytes of the frame being assembled, by our own reading
  std::size_t i = 0;
  while (i < size) {
    const uint8_t op = data[i++];
    switch (op % 4) {
      case 0:
        rx.Restart();
        rx.RxLength = 0;
        waiting = true;
        status = TResponseAssembler::Result::kIncomplete;
        since_sync.clear();
        break;
      case 1: {
        const std::size_t count = std::min<std::size_t>(op >> 2, size - i);
        for (std::size_t k = 0; k < count; ++k) {
          const uint8_t byte = data[i + k];
          if (!waiting) {
            continue;  // consumed and dropped, as when no exchange waits
          }
          if (rx.RxState == 0) {
            since_sync.clear();
          }
          const uint8_t state_before = rx.RxState;
          const auto result = rx.Feed(byte);
          if (state_before != 0 || byte == notavero::kFrameSync) {
            since_sync.push_back(byte);
          }
          FUZZ_CHECK(rx.RxLength >= 0 && rx.RxLength < static_cast<int32_t>(TResponseAssembler::kBufferSize));
          FUZZ_CHECK(rx.RxState <= 4);
          if (result != TResponseAssembler::Result::kIncomplete) {
            // A whole frame: sync, a length of at least 5 that it fills exactly.
            const auto length = static_cast<std::size_t>(rx.RxLength);
            FUZZ_CHECK(rx.RxBuffer[0] == notavero::kFrameSync);
            FUZZ_CHECK(length >= notavero::kMinFrameLength && length <= notavero::kMaxFrameLength);
            FUZZ_CHECK(rx.RxBuffer[2] == length);
            FUZZ_CHECK(since_sync.size() == length);
            FUZZ_CHECK(std::equal(since_sync.begin(), since_sync.end(), rx.RxBuffer.begin()));
            const bool good = notavero::FrameCrcGood(rx.RxBuffer.data(), length);
            FUZZ_CHECK(good == (result == TResponseAssembler::Result::kGood));
            FUZZ_CHECK(rx.RxState == 0);
            status = result;
            waiting = false;
          }
        }
        i += count;
        break;
      }
      default: {
        // Copy-back: never past the command's buffer.
        std::array<uint8_t, 201> buffer{};
        const std::size_t buffer_size = op % 4 == 2 ? 11 : buffer.size();
        if (status == TResponseAssembler::Result::kGood) {
          const auto length = static_cast<std::size_t>(std::max(rx.RxLength, 0));
          std::copy_n(rx.RxBuffer.begin(), std::min(length, buffer_size), buffer.begin());
          FUZZ_CHECK(buffer[0] == notavero::kFrameSync);
        }
        waiting = false;
        break;
      }
    }
  }
  return 0;
}
