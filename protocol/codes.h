// Command bytes, device state codes and the layouts of the command
// parameters and replies that both sides of the line share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace notavero {

// First payload byte of every frame the driver sends.
enum TCommand : uint8_t {
  cmdAck = 0x00,
  cmdReset = 0x30,
  cmdGetStatus = 0x31,
  cmdSetSecurity = 0x32,
  cmdPoll = 0x33,
  cmdEnableBillTypes = 0x34,
  cmdStack = 0x35,
  cmdReturn = 0x36,
  cmdGetBillTable = 0x41,
};

// Low byte of the status word that a poll returns.
enum TDeviceState : uint8_t {
  dsPowerUp = 0x10,
  dsPowerUpWithBill = 0x11,
  dsPowerUpBillNoReturn = 0x12,
  dsInitializing = 0x13,
  dsWaitingForBill = 0x14,
  dsAccepting = 0x15,
  dsStacking = 0x17,
  dsReturning = 0x18,
  dsDisabled = 0x19,
  dsHolding = 0x1A,
  dsBusy = 0x1B,
  dsBillError = 0x1C,
  dsAcceptorFull = 0x41,
  dsCassetteMissing = 0x42,
  dsJamInPath = 0x43,
  dsJamInCassette = 0x44,
  dsCounterfeit = 0x45,
  dsPauseTwoBills = 0x46,
  dsFailure = 0x47,
  dsEscrow = 0x80,
  dsStacked = 0x81,
  dsReturned = 0x82,
};

// States in which the device cannot take a bill until a person (or a power
// cut) clears it: its cassette full or missing, a jam, a fraud block, a
// failure.  The passing states (power-up, busy, a pause for two bills) are not.
constexpr bool CannotTakeBills(uint8_t state) {
  return (state >= dsAcceptorFull && state <= dsCounterfeit) || state == dsFailure;
}

// Status word: device state in the low byte, sub-code in the high byte.
constexpr uint8_t DeviceStateOf(uint16_t status) {
  return static_cast<uint8_t>(status & 0xFF);
}
constexpr uint8_t SubCodeOf(uint16_t status) {
  return static_cast<uint8_t>(status >> 8);
}
constexpr uint16_t MakeStatus(uint8_t state, uint8_t sub_code) {
  return static_cast<uint16_t>(state | (sub_code << 8));
}

// Bill types are numbered 0..23; a 24-bit mask has bit i for type i.
inline constexpr std::size_t kBillTypeCount = 24;

// Parameters of cmdSetSecurity.
inline constexpr std::array<uint8_t, 3> kSecurityParameters = {0xFF, 0xFF, 0xFF};

// Parameters of cmdEnableBillTypes: bits 23..16, 15..8 and 7..0 of the mask,
// then the same three bytes again.
inline constexpr std::size_t kEnableParameterCount = 6;
constexpr std::array<uint8_t, kEnableParameterCount> EnableParameters(uint32_t mask) {
  const auto high = static_cast<uint8_t>(mask >> 16);
  const auto middle = static_cast<uint8_t>(mask >> 8);
  const auto low = static_cast<uint8_t>(mask);
  return {high, middle, low, high, middle, low};
}

// Bill table reply: 24 entries of 5 bytes (multiplier, three-letter country
// code, decimal exponent) between the frame header and the CRC.
inline constexpr std::size_t kBillTableEntrySize = 5;
inline constexpr std::size_t kBillTableFrameLength = 3 + kBillTypeCount * kBillTableEntrySize + 2;
static_assert(kBillTableFrameLength == 125);

// Frame length of the reply to cmdGetStatus (enabled types, security).
inline constexpr std::size_t kStatusFrameLength = 11;

}  // namespace notavero
