// The bill cycle's money decisions, as tables of polled status sequences run
// against the cycle directly: no line, no thread, no clock.  Each row is run
// for every bill type of the table and for both kinds of host (one that lets
// the poll acknowledge outcomes, one that records them first), and what the
// cycle did is compared with the row, command by command and call by call.
//
// A row's polls: "19" a state, "80/t" a state with the bill type under test
// as its sub-code ("80/1" a fixed one), "end" the driver ending.  What it
// expects, in order: the device's commands (reset, table, enable, disable,
// stack, return, ack, pause) and the host's calls (escrow:A, stacked:A,
// returned:A, foreign:stacked, foreign:returned, unconfirmed:A, leave:81/t);
// A is the bill's amount in currency units ("$a", "0" when unknown).  A
// token ending in '?' is expected only from a host that records outcomes
// first (the poll acknowledged the report for the other), one ending in '!'
// only from the other.
#include "driver/bill_cycle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/codes.h"

namespace notavero {
namespace {

std::string Hex2(unsigned value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

// How the host and the driver around the cycle behave in a row.
struct Setup {
  bool stack = true;                    // the host's decision on an escrow
  int retries = 0;                      // outcomes the host cannot record before it can
  bool enable = true;                   // the host asked for acceptance before the first poll
  bool table_fails = false;             // the bill table never comes
  bool standing = false;                // the C interface's standing enable
  std::optional<std::string> handed{};  // "81/t": left by the driver before
  int gone_after_calls = -1;            // the host releases the driver after this many bill calls
  int wind_down_before = -1;            // the poll (from 0) before which destruction begins
  int reopen_before = -1;               // the poll before which the port is lost and opened again
};

struct Row {
  const char* name;
  Setup setup;
  const char* polls;
  const char* expected;
};

// The device and the host, writing down what the cycle asks of them.
class Recorder final : public TCycleDevice, public TCycleHost {
 public:
  Recorder(const Setup& setup, bool records) : setup_(setup), records_(records) {
    if (setup.enable) {
      request_ = 1;
      wanted_ = true;
    }
  }
  std::vector<std::string> trace;

  // Device.
  void Ack() override { trace.emplace_back("ack"); }
  void Reset() override { trace.emplace_back("reset"); }
  void Stack() override { trace.emplace_back("stack"); }
  void ReturnBill() override { trace.emplace_back("return"); }
  bool LoadTable() override {
    trace.emplace_back("table");
    return !setup_.table_fails;
  }
  [[nodiscard]] CurrencyAmount ValueOf(uint8_t bill_type) const override {
    return bill_type < kValues.size() ? kValues[bill_type] : 0;
  }
  uint32_t EnableBillTypes(bool enable) override {
    trace.emplace_back(enable ? "enable" : "disable");
    return enable && !setup_.table_fails ? 0xFC : 0;  // no table, no bill type to enable
  }
  bool TakeEnableRequest(bool& value, uint32_t& request) override {
    value = wanted_;
    request = request_;
    return request_ != 0;
  }
  void EnableRequestDone(uint32_t request) override {
    if (request == request_) {
      request_ = 0;
    }
  }
  void RestoreEnableRequest() override {
    if (request_ == 0 && wanted_) {
      request_ = 2;
    }
  }
  void Finishing(bool on) override { finishing_ += on ? 1 : -1; }
  void Pause() override { trace.emplace_back("pause"); }

  // Host.
  bool Escrow(CurrencyAmount amount, uint8_t /*bill_type*/) override {
    trace.push_back("escrow:" + Units(amount));
    Called();
    return setup_.stack;
  }
  bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t /*bill_type*/) override {
    trace.push_back((kind == beStacked ? "stacked:" : "returned:") + Units(amount));
    Called();
    const bool recorded = !(records_ && retries_++ < setup_.retries);
    if (recorded && kind == beStacked) {
      credited += amount;
    }
    return recorded;
  }
  void Notify(int32_t kind, int32_t code) override {
    if (kind == NV_EVENT_FOREIGN_OUTCOME) {
      trace.emplace_back(code == NV_BILL_STACKED ? "foreign:stacked" : "foreign:returned");
    }
  }
  void Unconfirmed(uint8_t /*bill_type*/, CurrencyAmount amount) override {
    trace.push_back("unconfirmed:" + Units(amount));
  }
  void CountBill(TBillEvent kind, uint8_t /*bill_type*/, CurrencyAmount amount, int sign) override {
    (kind == beStacked ? stacked_amount : returned_count) += kind == beStacked ? sign * amount : sign;
  }
  [[nodiscard]] bool Gone() const override { return gone_; }
  [[nodiscard]] bool TakesEvents() const override { return true; }
  [[nodiscard]] bool RecordsOutcomes() const override { return records_; }
  [[nodiscard]] bool StandingEnable() const override { return setup_.standing; }

  CurrencyAmount stacked_amount = 0;  // as counted by the cycle
  CurrencyAmount returned_count = 0;
  CurrencyAmount credited = 0;  // stacked amounts the host recorded
  int finishing_ = 0;

  // Bill types 0 and 1 have no value, 2 to 7 have one.
  static constexpr BillValueTable kValues{0, 0, 100000, 500000, 1000000, 5000000, 10000000, 50000000};
  static constexpr uint8_t kLastValuedType = 7;

 private:
  static std::string Units(CurrencyAmount amount) { return std::to_string(amount / kCurrencyScale); }
  void Called() {
    if (++calls_ == setup_.gone_after_calls) {
      gone_ = true;
    }
  }

  const Setup& setup_;
  const bool records_;
  uint32_t request_ = 0;
  bool wanted_ = false;
  int retries_ = 0;
  int calls_ = 0;
  bool gone_ = false;
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// "$t" and "$a" of a row for one bill type.
std::string Bind(std::string word, uint8_t bill_type) {
  const auto replace = [&](const std::string& from, const std::string& to) {
    for (auto at = word.find(from); at != std::string::npos; at = word.find(from)) {
      word.replace(at, from.size(), to);
    }
  };
  replace("$a", std::to_string(Recorder::kValues[bill_type] / kCurrencyScale));
  replace("/t", "/" + Hex2(bill_type));
  return word;
}

uint16_t Status(const std::string& poll) {
  const auto state = static_cast<uint8_t>(std::stoul(poll.substr(0, 2), nullptr, 16));
  const uint8_t sub = poll.size() > 3 ? static_cast<uint8_t>(std::stoul(poll.substr(3), nullptr, 16)) : 0;
  return MakeStatus(state, sub);
}

TOutcomeSeen Seen(const std::string& poll) {
  const uint16_t status = Status(poll);
  return {DeviceStateOf(status), SubCodeOf(status)};
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

// Runs every row for bill types 2..7 and both hosts; returns the number of
// cases run.
int RunTable(const std::vector<Row>& rows) {
  int cases = 0;
  for (const Row& row : rows) {
    for (uint8_t bill_type = 2; bill_type <= Recorder::kLastValuedType; ++bill_type) {
      for (const bool records : {false, true}) {
        if (row.setup.retries > 0 && !records) {
          continue;  // only a host that records outcomes can ask for one again
        }
        ++cases;
        Recorder recorder(row.setup, records);
        TBillCycle cycle(recorder, recorder);
        cycle.Begin(row.setup.handed ? std::optional(Seen(Bind(*row.setup.handed, bill_type)))
                                     : std::nullopt);
        const std::vector<std::string> polls = Split(row.polls);
        for (int index = 0; index < static_cast<int>(polls.size()); ++index) {
          const std::string poll = Bind(polls[index], bill_type);
          if (index == row.setup.wind_down_before) {
            cycle.WindDown();
          }
          if (index == row.setup.reopen_before) {
            cycle.PortReopened();
          }
          if (poll == "end") {
            if (const auto left = cycle.End()) {
              recorder.trace.push_back("leave:" + Hex2(left->device_state) + "/" + Hex2(left->bill_type));
            }
            continue;
          }
          const uint16_t status = Status(poll);
          cycle.Seen(DeviceStateOf(status));
          cycle.OnStatus(status);
        }
        std::vector<std::string> expected;
        for (std::string word : Split(row.expected)) {
          if (word.back() == '?' || word.back() == '!') {
            if (records != (word.back() == '?')) {
              continue;
            }
            word.pop_back();
          }
          expected.push_back(Bind(word, bill_type));
        }
        EXPECT_EQ(Joined(recorder.trace), Joined(expected))
            << row.name << " (bill type " << int{bill_type} << (records ? ", host records outcomes" : "")
            << ")";
        EXPECT_EQ(recorder.finishing_, 0) << row.name;
        // The counters hold what the host recorded, nothing it could not.
        EXPECT_EQ(recorder.stacked_amount, recorder.credited) << row.name;
      }
    }
  }
  return cases;
}

// A bill decided in escrow: the host hears of its outcome exactly once.
TEST(BillCycleTable, DecidedBillsAreToldTheirOutcomeOnce) {
  const std::vector<Row> rows = {
      {"stacked", {}, "19 14 15 80/t 17 81/t 14", "table enable escrow:$a stack stacked:$a ack?"},
      {"returned by the host",
       {.stack = false},
       "19 14 80/t 18 82/t 14",
       "table enable escrow:$a return returned:$a ack?"},
      {"outcome shown twice before the device took the acknowledge",
       {},
       "19 14 80/t 81/t 81/t 14",
       "table enable escrow:$a stack stacked:$a ack? ack?"},
      {"an outcome with no bill in play after the first is a repeat: acknowledged, not credited",
       {},
       "19 14 80/t 81/t 14 81/t 14",
       "table enable escrow:$a stack stacked:$a ack? ack?"},
      {"escrow shown twice is asked once",
       {},
       "19 14 80/t 80/t 17 81/t 14",
       "table enable escrow:$a stack escrow:$a stack stacked:$a ack?"},
      {"rejected after the decision: nothing to credit",
       {},
       "19 14 80/t 1C 14",
       "table enable escrow:$a stack"},
      {"returned although the host stacked it: the return is told",
       {},
       "19 14 80/t 82/t 14",
       "table enable escrow:$a stack returned:$a ack?"},
      {"no enable asked: a device found accepting is turned off",
       {.enable = false},
       "19 14 19",
       "table disable"},
      {"standing enable comes back after a power-up",
       {.standing = true},
       "19 14 10 19 14",
       "table enable reset table enable"},
  };
  EXPECT_GE(RunTable(rows), 100);
}

// Outcomes nobody decided in this driver: a first event is told as foreign,
// a repeat of the driver before is not told again.
TEST(BillCycleTable, ForeignAndRepeatedOutcomes) {
  const std::vector<Row> rows = {
      {"first event stacked, before the table: held, then credited once",
       {},
       "81/t 81/t 14",
       "table enable foreign:stacked stacked:$a ack?"},
      {"first event returned", {}, "19 82/t 14", "table enable foreign:returned returned:$a ack?"},
      {"first event repeats the hand-over", {.handed = "81/t"}, "81/t 81/t 14", "table enable ack?"},
      {"hand-over the device settled: a later outcome is new",
       {.handed = "81/t"},
       "19 14 81/t 14",
       "table enable foreign:stacked stacked:$a ack?"},
      {"hand-over passed on by a driver that never saw it settle", {.handed = "81/t"}, "end", "leave:81/t"},
      {"reported outcome left for the next driver",
       {},
       "19 14 80/t 81/t end",
       "table enable escrow:$a stack stacked:$a ack? leave:81/t"},
      {"reported outcome settled: nothing left",
       {},
       "19 14 80/t 81/t 14 end",
       "table enable escrow:$a stack stacked:$a ack?"},
      {"held before the table and dropped by the device: unconfirmed, with the table's amount",
       {},
       "81/t 19",
       "table enable unconfirmed:$a"},
  };
  EXPECT_GE(RunTable(rows), 90);
}

// What the device may have taken without telling: said, with its amount,
// never dropped and never credited.
TEST(BillCycleTable, VanishedBillsAreUnconfirmedWithTheirAmount) {
  const std::vector<Row> rows = {
      {"stacked bill gone in a power cut",
       {},
       "19 14 80/t 17 10 19",
       "table enable escrow:$a stack unconfirmed:$a reset table"},
      {"stacked bill gone to idle", {}, "19 14 80/t 17 14", "table enable escrow:$a stack unconfirmed:$a"},
      {"returned bill gone: nothing in hand",
       {.stack = false},
       "19 14 80/t 18 14",
       "table enable escrow:$a return"},
      {"driver ends with the bill on its way",
       {},
       "19 14 80/t 17 end",
       "table enable escrow:$a stack unconfirmed:$a"},
      {"held stacked report dropped by the device",
       {.retries = 1},
       "19 14 80/t 81/t 10",
       "table enable escrow:$a stack stacked:$a pause unconfirmed:$a reset"},
      {"held report recorded on its second offer",
       {.retries = 1},
       "19 14 80/t 81/t 81/t 14",
       "table enable escrow:$a stack stacked:$a pause stacked:$a ack"},
      {"held report the host never recorded, driver ends",
       {.retries = 9},
       "19 14 80/t 81/t 81/t end",
       "table enable escrow:$a stack stacked:$a pause stacked:$a pause unconfirmed:$a"},
      {"no table: the bill goes back unasked",
       {.table_fails = true},
       "19 14 80/t 82/t 14",
       "table enable disable return table disable"},
  };
  EXPECT_GE(RunTable(rows), 60);
}

// A driver on its way out, a host gone from its callback, a port reopened.
TEST(BillCycleTable, WindDownReleaseAndReopen) {
  const std::vector<Row> rows = {
      {"escrow while winding down goes back unasked; a host with events hears of its return",
       {.wind_down_before = 2},
       "19 14 80/t 82/t 14",
       "table enable return foreign:returned returned:$a ack?"},
      {"bill in play is followed to its outcome while winding down",
       {.wind_down_before = 3},
       "19 14 80/t 17 81/t 14",
       "table enable escrow:$a stack stacked:$a ack?"},
      {"host gone in the escrow callback: the outcome is left to the device",
       {.gone_after_calls = 1},
       "19 14 80/t 81/t",
       "table enable escrow:$a stack unconfirmed:$a!"},
      {"reopened with the bill still in escrow: the decision again, not the host",
       {.reopen_before = 3},
       "19 14 80/t 80/t 81/t 14",
       "table enable escrow:$a stack table stack enable stacked:$a ack?"},
  };
  EXPECT_GE(RunTable(rows), 40);
}

}  // namespace
}  // namespace notavero
