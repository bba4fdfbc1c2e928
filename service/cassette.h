// What a validator's cassette holds: the bills stacked since it went in.
// The device reports 0x42 while the cassette is out: the service then
// journals a "collection" row (amount: the sum, code: the bill count,
// detail: {"inserted_ms","removed_ms","by_value","unconfirmed",
// "unconfirmed_amount"}), and a "cassette-in" row when the device works
// again.  The content is rebuilt from the journal at start, so that a
// restart loses no bill of a cassette.  Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/messages.h"

namespace notavero::service {

struct CassetteContent {
  std::string device;
  bool present = true;
  int64_t inserted_ms = 0;               // 0: before the journal's first cassette row
  int64_t removed_ms = 0;                // while out
  std::map<int64_t, uint64_t> by_value;  // 1/10000 units -> bills
  uint64_t bills = 0;
  int64_t amount = 0;
  uint64_t unconfirmed = 0;  // sent to the stacker, outcome never reported
  int64_t unconfirmed_amount = 0;
};

// {"device":..,"present":..,"inserted_ms":..,"bills":..,"amount":..,
//  "by_value":{"100":3},"unconfirmed":..,"unconfirmed_amount":..,"capacity":..}
std::string CassetteJson(const CassetteContent& content, unsigned capacity);
std::string CassetteMetrics(const std::vector<CassetteContent>& cassettes, unsigned capacity);

class Cassette {
 public:
  explicit Cassette(std::string device);

  // Reads the current cassette from the journal (its own read-only
  // connection): the last cassette row of the device and the bills after
  // it.  Throws std::runtime_error when the journal cannot be read.
  void Restore(const std::string& journal_path);

  void Stacked(int64_t amount);
  void Unconfirmed(int64_t amount);
  // A stacked outcome that resolves an unconfirmed row: that bill is no
  // longer unconfirmed (Stacked counts it).
  void Resolved(int64_t amount);
  // The device's status word: the row to journal when the cassette went
  // out (a collection) or in again; nothing otherwise.
  std::optional<BillEvent> State(int32_t word, int64_t now_ms);

  [[nodiscard]] CassetteContent Content() const;

 private:
  mutable std::mutex mutex_;
  CassetteContent content_;
};

}  // namespace notavero::service
