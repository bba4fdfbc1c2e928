// Rebuilds one reply frame from the bytes of the line, one byte at a time.
//
// States: 0 seeking the sync byte, 1 address, 2 length, 3 body (payload and
// CRC low byte), 4 CRC high byte.  Only state 0 looks for the sync byte, so
// a 0x02 inside a frame is data.  A complete frame occupies
// RxBuffer[0 .. RxLength - 1] and is then checked against its CRC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace notavero {

class TResponseAssembler {
 public:
  static constexpr std::size_t kBufferSize = 1001;

  enum class Result : uint8_t {
    kIncomplete,  // the frame goes on (or no frame has begun)
    kGood,        // a whole frame with a good CRC is in RxBuffer
    kBadCrc,      // a whole frame arrived but its CRC does not match
  };

  // Back to seeking the sync byte; the buffer keeps its bytes.
  void Restart() { RxState = 0; }

  Result Feed(uint8_t byte);

  // The fewest further bytes after which Feed can return anything but
  // kIncomplete: the rest of the shortest frame while a frame has begun
  // (the rest of this one once its length is known), a whole shortest
  // frame while seeking the sync byte.
  [[nodiscard]] uint32_t BytesToResult() const;

  std::array<uint8_t, kBufferSize> RxBuffer{};
  int32_t RxLength = 0;
  int32_t RxRemaining = 0;
  uint8_t RxState = 0;
};

}  // namespace notavero
