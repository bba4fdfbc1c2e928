// Drives a DeviceModel the way the driver does, with a clock the test moves.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "protocol/codes.h"
#include "protocol/frame.h"
#include "sim/device_model.h"

namespace notavero::sim::test {

inline std::vector<uint8_t> Frame(std::initializer_list<uint8_t> payload) {
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.begin(), payload.size());
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

class ModelDriver {
 public:
  // Public so that tests can move the clock and reach the model.
  explicit ModelDriver(const ModelOptions& options = {}) : model(options, now) {}

  // Sends one frame; returns every byte the device answers, in one piece.
  std::vector<uint8_t> Send(const std::vector<uint8_t>& frame) {
    now += std::chrono::milliseconds(10);
    auto replies = model.Receive(frame.data(), frame.size(), now);
    std::vector<uint8_t> bytes;
    for (const auto& reply : replies) {
      bytes.insert(bytes.end(), reply.bytes.begin(), reply.bytes.end());
    }
    return bytes;
  }
  std::vector<uint8_t> Send(std::initializer_list<uint8_t> payload) { return Send(Frame(payload)); }

  // Poll, then Ack as the driver does after every good poll reply; returns
  // the poll reply.
  std::vector<uint8_t> PollAck() {
    auto reply = Send({cmdPoll});
    Send({cmdAck});
    return reply;
  }
  // The state byte of a poll reply.
  static uint8_t StateOf(const std::vector<uint8_t>& reply) { return reply.size() >= 6 ? reply[3] : 0; }

  // Brings a fresh device to waiting for a bill with types 2..7 enabled.
  void ToWaiting() {
    Send({cmdReset});
    while (StateOf(PollAck()) != dsDisabled) {
    }
    Send({cmdEnableBillTypes, 0x00, 0x00, 0xFC, 0x00, 0x00, 0xFC});
  }

  SimTime now = SimTime() + std::chrono::hours(1);  // declared first: the model starts at it
  DeviceModel model;
};

}  // namespace notavero::sim::test
