// The frames the driver sends, built as the driver builds them, for tests
// that watch the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "protocol/codes.h"
#include "protocol/frame.h"

namespace notavero::testing {

using Bytes = std::vector<uint8_t>;

// The whole frame around `payload`: sync, address, length, payload, CRC.
inline Bytes Frame(const Bytes& payload) {
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

inline std::string Hex(const Bytes& bytes) {
  return HexBytes(bytes.data(), bytes.size());
}

inline const Bytes kPoll = Frame({cmdPoll});
inline const Bytes kAck = Frame({cmdAck});
inline const Bytes kReset = Frame({cmdReset});
inline const Bytes kGetStatus = Frame({cmdGetStatus});
inline const Bytes kGetBillTable = Frame({cmdGetBillTable});
inline const Bytes kSecurity = Frame({cmdSetSecurity, 0xFF, 0xFF, 0xFF});
// Every type of the simulator's table enabled (escrow mask as well), and none.
inline const Bytes kEnableAll = Frame({cmdEnableBillTypes, 0, 0, 0xFC, 0, 0, 0xFC});
inline const Bytes kDisableAll = Frame({cmdEnableBillTypes, 0, 0, 0, 0, 0, 0});
inline const Bytes kStack = Frame({cmdStack});
inline const Bytes kReturn = Frame({cmdReturn});

}  // namespace notavero::testing
