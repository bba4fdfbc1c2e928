// The frame on the line, in both directions:
//
//   offset 0      sync byte 0x02
//          1      address (0x03 in every frame we send; not examined in replies)
//          2      length of the whole frame, sync and CRC included: n + 5
//          3      n payload bytes (command byte and parameters, or reply data)
//          3 + n  CRC-16 low byte
//          4 + n  CRC-16 high byte
//
// The CRC covers everything before it.  There is no byte stuffing: frames are
// found by the sync byte and delimited by the length byte alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace notavero {

inline constexpr uint8_t kFrameSync = 0x02;
inline constexpr uint8_t kFrameAddress = 0x03;
// Sync, address, length and the two CRC bytes.
inline constexpr std::size_t kFrameOverhead = 5;
inline constexpr std::size_t kMinFrameLength = kFrameOverhead;
inline constexpr std::size_t kMaxFrameLength = 255;
inline constexpr std::size_t kMaxPayload = kMaxFrameLength - kFrameOverhead;

// Transmit buffer of one exchange.
inline constexpr std::size_t kTxFrameSize = 256;
using TxFrame = std::array<uint8_t, kTxFrameSize>;

// CRC-16/KERMIT (reflected polynomial 0x8408, initial value 0, no final XOR)
// over the first `count` bytes of `data`.
constexpr uint16_t Crc16(const uint8_t* data, std::size_t count) {
  uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1U) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0x8408U) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

// Lays out one outgoing frame in `frame` from the first `n` bytes of
// `payload` (command byte first).  Returns the frame's length, which is also
// frame[2].  Throws std::out_of_range unless 1 <= n <= kMaxPayload.
std::size_t BuildFrame(TxFrame& frame, const uint8_t* payload, std::size_t n);

// True when the `length` bytes at `frame` form a frame with a good CRC: the
// CRC over the first length - 2 bytes equals the last two bytes, low byte
// first.  Frames shorter than kMinFrameLength are never good.  The length
// byte itself is not compared with `length`; the assembler delimits frames.
bool FrameCrcGood(const uint8_t* frame, std::size_t length);

}  // namespace notavero
