#include "sim/commands.h"

#include <charconv>
#include <vector>

#include "common/cp1251.h"
#include "common/hex.h"
#include "protocol/state_text.h"
#include "sim/words.h"

namespace notavero::sim {

namespace {

bool ParseNumber(std::string_view word, int base, unsigned max, unsigned& out) {
  if (base == 16 && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > max) {
    return false;
  }
  out = value;
  return true;
}

std::string Hex2(uint8_t byte) {
  std::string text;
  AppendHex2(text, byte);
  return text;
}

std::string TypeCounts(const std::array<uint64_t, kBillTypeCount>& counts) {
  std::string text;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] != 0) {
      text += (text.empty() ? "" : ",") + std::to_string(i) + ":" + std::to_string(counts[i]);
    }
  }
  return text.empty() ? "-" : text;
}

CommandResult Ok(std::string text) {
  return CommandResult{true, std::move(text), false};
}
CommandResult Fail(std::string text) {
  return CommandResult{false, std::move(text), false};
}

struct Invocation {
  std::string_view name;
  std::vector<std::string_view> args;
};

// Reads the optional argument i as a number; `fallback` when it is absent.
bool Argument(const Invocation& call, std::size_t i, int base, unsigned max, unsigned fallback,
              unsigned& out) {
  if (i >= call.args.size()) {
    out = fallback;
    return true;
  }
  return ParseNumber(call.args[i], base, max, out);
}

CommandResult Usage(const Invocation& call, std::string_view usage) {
  return Fail(std::string(call.name) + ": bad arguments, usage: " + std::string(usage));
}

}  // namespace

SimStatus StatusOf(const DeviceModel& model) {
  SimStatus status;
  status.state = model.State();
  status.sub_code = model.SubCode();
  status.enabled_mask = model.EnabledMask();
  status.counters = model.Counters();
  status.frames_received = model.FramesReceived();
  status.faults = model.Faults();
  return status;
}

std::string FormatStatus(const SimStatus& status) {
  std::string mask;
  AppendHex2(mask, static_cast<uint8_t>(status.enabled_mask >> 16));
  AppendHex2(mask, static_cast<uint8_t>(status.enabled_mask >> 8));
  AppendHex2(mask, static_cast<uint8_t>(status.enabled_mask));
  const auto& c = status.counters;
  return "state=" + Hex2(status.state) + " sub=" + Hex2(status.sub_code) + " enabled=" + mask +
         " stacked=" + std::to_string(c.stacked) + " stacked_sum=" + std::to_string(c.stacked_sum) +
         " returned=" + std::to_string(c.returned) + " returned_sum=" + std::to_string(c.returned_sum) +
         " stacked_types=" + TypeCounts(c.stacked_by_type) +
         " returned_types=" + TypeCounts(c.returned_by_type) +
         (status.line.empty() ? "" : " line=" + status.line + " replugs=" + std::to_string(status.replugs)) +
         " text=" + Cp1251ToUtf8(StateToText(MakeStatus(status.state, status.sub_code)));
}

std::string_view CommandHelp() {
  return R"(Commands (one a line, on stdin or in a --script file):
  insert N            a bill of type N (0..23) goes in; the device must be waiting (14)
  power-cycle [HEX]   power off and on: back to 10 (or 11 / 12, a bill in the head)
  silent N            ignore the next N frames entirely (no answer, no change)
  bad-crc N           the next N replies carry a wrong CRC
  garbage N           N noise bytes (never 02) go before the next reply
  split [P [MS]]      the next reply goes in P pieces (default 3), MS ms apart (default 50)
  delay MS [N]        the next N replies (default 1) wait MS ms before they start
  bad-length [short|long]  the next reply's length byte is 3 (short, the default)
                      or 4 more than the frame carries (long)
  jam [path|cassette] report a jam: 43 in the path (default) or 44 in the cassette
  cassette-missing    report 42
  full                report 41
  failure HEX         report 47 with sub-code HEX (e.g. 50)
  busy N              report 1B for N x 100 ms (1..255), then go on
  clear               end every fault and condition: back to normal
  status              print state, enabled mask, stacked and returned bills and sums
  help                print this list
  unplug              pull the line: the pseudo-terminal goes away (the device keeps
                      its power, state and counters; --link is removed meanwhile)
  replug              plug it again: a new pseudo-terminal (--link points at it);
                      prints its path.  While plugged: pull and plug at once
Program only: sleep MS, wait-state HEX [MS] (default 30000), quit.
Conditions (jam, full, ...) stay until 'clear'; line faults apply to the next frames.)";
}

CommandResult RunDeviceCommand(DeviceModel& model, std::string_view line, SimTime now) {
  line = line.substr(0, line.find('#'));
  const auto words = Words(line);
  if (words.empty()) {
    return Ok("");
  }
  const Invocation call{words[0], {words.begin() + 1, words.end()}};
  const auto& name = call.name;
  unsigned n = 0;
  unsigned m = 0;
  model.Advance(now);

  if (name == "status") {
    return call.args.empty() ? Ok(FormatStatus(StatusOf(model))) : Usage(call, "status");
  }
  if (name == "help") {
    return Ok(std::string(CommandHelp()));
  }
  if (name == "insert") {
    if (call.args.size() != 1 || !ParseNumber(call.args[0], 10, kBillTypeCount - 1, n)) {
      return Usage(call, "insert N (bill type 0..23)");
    }
    const std::string error = model.Insert(static_cast<uint8_t>(n), now);
    if (!error.empty()) {
      return Fail("insert: " + error + " (state " + Hex2(model.State()) + ")");
    }
    const bool enabled = (model.EnabledMask() >> n & 1U) != 0;
    return Ok("insert: bill type " + std::to_string(n) + " (" + model.Table()[n].Describe() + ") goes in" +
              (enabled ? "" : "; its type is not enabled, it will be rejected"));
  }
  if (name == "power-cycle") {
    if (call.args.size() > 1 || !Argument(call, 0, 16, 0xFF, dsPowerUp, n) || n < dsPowerUp ||
        n > dsPowerUpBillNoReturn) {
      return Usage(call, "power-cycle [10|11|12]");
    }
    model.PowerCycle(static_cast<uint8_t>(n), now);
    CommandResult result =
        Ok("power-cycle: the device starts again in state " + Hex2(static_cast<uint8_t>(n)));
    result.power_cycled = true;
    return result;
  }
  if (name == "silent" || name == "bad-crc" || name == "garbage") {
    if (call.args.size() != 1 || !ParseNumber(call.args[0], 10, 100000, n)) {
      return Usage(call, std::string(name) + " N");
    }
    if (name == "silent") {
      model.Silent(n);
      return Ok("silent: the next " + std::to_string(n) + " frames get no answer");
    }
    if (name == "bad-crc") {
      model.BadCrc(n);
      return Ok("bad-crc: the next " + std::to_string(n) + " replies carry a wrong CRC");
    }
    model.Garbage(n);
    return Ok("garbage: " + std::to_string(n) + " noise bytes go before the next reply");
  }
  if (name == "split") {
    if (call.args.size() > 2 || !Argument(call, 0, 10, 255, 3, n) || n < 2 ||
        !Argument(call, 1, 10, 60000, 50, m)) {
      return Usage(call, "split [PIECES (2..255) [PAUSE_MS]]");
    }
    model.Split(n, std::chrono::milliseconds(m));
    return Ok("split: the next reply goes in " + std::to_string(n) + " pieces, " + std::to_string(m) +
              " ms apart");
  }
  if (name == "delay") {
    if (call.args.empty() || call.args.size() > 2 || !Argument(call, 0, 10, 600000, 0, m) ||
        !Argument(call, 1, 10, 100000, 1, n)) {
      return Usage(call, "delay MS [N]");
    }
    model.Delay(std::chrono::milliseconds(m), n);
    return Ok("delay: the next " + std::to_string(n) + " replies wait " + std::to_string(m) + " ms");
  }
  if (name == "bad-length") {
    if (call.args.size() > 1 ||
        (call.args.size() == 1 && call.args[0] != "short" && call.args[0] != "long")) {
      return Usage(call, "bad-length [short|long]");
    }
    const bool below = call.args.empty() || call.args[0] == "short";
    model.BadLength(below);
    return Ok(std::string("bad-length: the next reply's length byte is ") +
              (below ? "3" : "4 more than the frame carries"));
  }
  if (name == "jam") {
    if (call.args.size() > 1 ||
        (call.args.size() == 1 && call.args[0] != "path" && call.args[0] != "cassette")) {
      return Usage(call, "jam [path|cassette]");
    }
    const uint8_t state = !call.args.empty() && call.args[0] == "cassette" ? dsJamInCassette : dsJamInPath;
    model.SetCondition(state, 0);
    return Ok("jam: the device reports " + Hex2(state) + " until 'clear'");
  }
  if (name == "cassette-missing" || name == "full") {
    if (!call.args.empty()) {
      return Usage(call, std::string(name));
    }
    const uint8_t state = name == "full" ? dsAcceptorFull : dsCassetteMissing;
    model.SetCondition(state, 0);
    return Ok(std::string(name) + ": the device reports " + Hex2(state) + " until 'clear'");
  }
  if (name == "failure") {
    if (call.args.size() != 1 || !ParseNumber(call.args[0], 16, 0xFF, n)) {
      return Usage(call, "failure HEX (sub-code, e.g. 50)");
    }
    model.SetCondition(dsFailure, static_cast<uint8_t>(n));
    return Ok("failure: the device reports 47 with sub-code " + Hex2(static_cast<uint8_t>(n)) +
              " until 'clear'");
  }
  if (name == "busy") {
    if (call.args.size() != 1 || !ParseNumber(call.args[0], 10, 255, n) || n == 0) {
      return Usage(call, "busy N (1..255, in units of 100 ms)");
    }
    model.SetBusy(static_cast<uint8_t>(n), now);
    return Ok("busy: the device reports 1B for " + std::to_string(n * 100) + " ms");
  }
  if (name == "clear") {
    if (!call.args.empty()) {
      return Usage(call, "clear");
    }
    model.Clear();
    return Ok("clear: no fault, no condition; the device reports " + Hex2(model.State()));
  }
  return Fail("unknown command '" + std::string(name) + "' (nothing changed; 'help' lists the commands)");
}

}  // namespace notavero::sim
