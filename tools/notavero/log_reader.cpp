#include "tools/notavero/log_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "common/cp1251.h"
#include "driver/bill_table.h"
#include "log/log_phrases.h"
#include "protocol/bill_table.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/state_names.h"
#include "protocol/state_text.h"

namespace notavero::logread {

namespace {

constexpr int64_t kDayMs = 86400000;
constexpr std::string_view kMarks = "-+?!#$^";
constexpr std::size_t kStampSize = 18;  // "dd.mm hh:mm:ss.zzz"

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::optional<int> Digits(std::string_view text) {
  if (text.empty() || text.size() > 9) {
    return std::nullopt;
  }
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<uint64_t> Number(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

std::optional<uint8_t> Hex2(std::string_view text) {
  if (text.size() != 2 || HexDigit(text[0]) < 0 || HexDigit(text[1]) < 0) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(HexDigit(text[0]) * 16 + HexDigit(text[1]));
}

// " XX XX ..." exactly as the port writes a frame; nothing when broken.
std::optional<std::vector<uint8_t>> FrameBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  if (text.size() % 3 != 0) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < text.size(); i += 3) {
    const auto byte = Hex2(text.substr(i + 1, 2));
    if (text[i] != ' ' || !byte) {
      return std::nullopt;
    }
    bytes.push_back(*byte);
  }
  return bytes;
}

std::optional<LogMoment> MakeMoment(int month, int day, int hour, int minute, int second, int ms) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 || ms > 999) {
    return std::nullopt;
  }
  return ((month - 1) * 31 + (day - 1)) * kDayMs + ((hour * 60 + minute) * 60 + second) * int64_t{1000} + ms;
}

bool Separator(char c) {
  return c == ':' || c == '.' || c == '-';  // the Windows build writes the locale's time separator
}

// "hh:mm[:ss[.zzz]]" as milliseconds of the day parts.
bool ParseTimeOfDay(std::string_view text, int& hour, int& minute, int& second, int& ms) {
  hour = minute = second = ms = 0;
  if (text.size() != 5 && text.size() != 8 && text.size() != 12) {
    return false;
  }
  const auto h = Digits(text.substr(0, 2));
  const auto m = Digits(text.substr(3, 2));
  if (!h || !m || !Separator(text[2])) {
    return false;
  }
  hour = *h;
  minute = *m;
  if (text.size() >= 8) {
    const auto s = Digits(text.substr(6, 2));
    if (!s || !Separator(text[5])) {
      return false;
    }
    second = *s;
  }
  if (text.size() == 12) {
    const auto z = Digits(text.substr(9, 3));
    if (!z || text[8] != '.') {
      return false;
    }
    ms = *z;
  }
  return true;
}

// The time stamp of a line "M dd.mm hh:mm:ss.zzz [tag] text"; nothing when
// the line has none.
std::optional<LogMoment> StampOf(std::string_view line) {
  if (line.size() < 2 + kStampSize + 2 || kMarks.find(line[0]) == std::string_view::npos || line[1] != ' ') {
    return std::nullopt;
  }
  const std::string_view stamp = line.substr(2, kStampSize);
  const auto day = Digits(stamp.substr(0, 2));
  const auto month = Digits(stamp.substr(3, 2));
  int hour = 0;
  int minute = 0;
  int second = 0;
  int ms = 0;
  if (!day || !month || stamp[2] != '.' || stamp[5] != ' ' ||
      !ParseTimeOfDay(stamp.substr(6), hour, minute, second, ms)) {
    return std::nullopt;
  }
  return MakeMoment(*month, *day, hour, minute, second, ms);
}

std::string Utf8(std::string_view cp1251) {
  return Cp1251ToUtf8(cp1251);
}

std::string HexText(uint8_t byte) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string CommandName(uint8_t command) {
  switch (command) {
    case cmdAck:
      return "Ack";
    case cmdReset:
      return "Reset";
    case cmdGetStatus:
      return "Get status";
    case cmdSetSecurity:
      return "Set security";
    case cmdPoll:
      return "Poll";
    case cmdEnableBillTypes:
      return "Enable bill types";
    case cmdStack:
      return "Stack";
    case cmdReturn:
      return "Return";
    case cmdGetBillTable:
      return "Get bill table";
    default:
      return "Command " + HexText(command);
  }
}

std::string Seconds(int64_t ms) {
  const int64_t tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// A stacked or returned bill as the device reported it.
struct Outcome {
  bool stacked = true;
  uint8_t bill_type = 0;
  int64_t value = 0;  // currency units; 0 unknown
  bool in_period = false;
  bool repeat = false;  // the driver did not count it: a repeat of an earlier event
};

struct PortState {
  // The state of its last poll reply and when it came (a count of replies
  // over all ports): the state line that follows names no port, and is
  // given to the port whose reply it repeats.
  std::optional<uint16_t> reply;
  uint64_t reply_order = 0;
  std::optional<uint16_t> status;  // the last state line given to it
  int last_command = -1;
  LogMoment sent_at = kNoMoment;
  LogMoment silent_since = kNoMoment;
};

}  // namespace

struct LogReader::State {
  Options options;
  Report report;
  std::string file;
  uint64_t line_number = 0;
  LogMoment moment = kNoMoment;  // of the last time-stamped line
  bool load_pending = false;     // an empty line came; its load starts at the next time stamp
  uint64_t load_line = 0;
  // Lines without a time stamp (the logger's own) go out in one write with
  // the next line: they are counted at its time.
  std::vector<TimelineEntry> unstamped;
  uint64_t unstamped_dropped = 0;
  std::optional<uint16_t> status;
  bool status_made_outcome = false;
  std::vector<Outcome> outcomes;
  std::array<int64_t, kBillTypeCount> values{};         // from the last bill table read
  std::map<std::string, PortState, std::less<>> ports;  // by the name in the line: "COM7", "/dev/ttyUSB0"
  std::string current_port;  // the port the line being read is about, as far as the log says
  uint64_t replies = 0;      // poll replies read, for PortState::reply_order

  bool InPeriod(LogMoment m) const {
    if (m == kNoMoment) {
      return options.since == kNoMoment;  // before the first time stamp
    }
    return (options.since == kNoMoment || m >= options.since) &&
           (options.until == kNoMoment || m < options.until);
  }
  bool InPeriod() const { return InPeriod(moment); }

  void Skip(std::string reason) {
    report.skipped.push_back(SkippedLine{file, line_number, std::move(reason)});
  }

  void Note(std::string kind, std::string text) {
    if (options.timeline && InPeriod()) {
      report.timeline.push_back(
          TimelineEntry{moment, file, line_number, std::move(kind), std::move(text), current_port});
    }
  }

  int64_t ValueOf(uint8_t bill_type) const { return bill_type < values.size() ? values[bill_type] : 0; }

  std::string ValueText(uint8_t bill_type) const {
    const int64_t value = ValueOf(bill_type);
    return value != 0 ? std::to_string(value) : "of unknown value (type " + HexText(bill_type) + ")";
  }

  void EndSilence(PortState& port, LogMoment end) {
    if (port.silent_since == kNoMoment) {
      return;
    }
    const LogMoment start = port.silent_since;
    port.silent_since = kNoMoment;
    if (end == kNoMoment || end < start) {
      return;
    }
    const LogMoment from = options.since == kNoMoment ? start : std::max(start, options.since);
    const LogMoment to = options.until == kNoMoment ? end : std::min(end, options.until);
    if (to < from || (to == from && !InPeriod(start))) {
      return;  // outside the period
    }
    Summary& s = report.summary;
    ++s.silences;
    s.silent_ms += to - from;
    // Within the period, as the time in all is: a silence that began before
    // it counts from its start.
    s.longest_silence_ms = std::max(s.longest_silence_ms, to - from);
  }

  void EndAllSilences(LogMoment end) {
    for (auto& [number, port] : ports) {
      EndSilence(port, end);
    }
  }

  void Line(std::string_view line);
  void Stamped(std::string_view text);
  void PortLine(std::string_view text);
  void Frame(PortState& port, bool sent, const std::vector<uint8_t>& bytes);
  void StateLine(std::string_view text);
  void Finish();
};

void LogReader::State::Line(std::string_view line) {
  if (line.empty()) {
    // A load of the library: what came before ended with its process.
    EndAllSilences(moment);
    ports.clear();
    current_port.clear();
    status.reset();
    status_made_outcome = false;
    load_pending = true;
    load_line = line_number;
    return;
  }
  if (StartsWith(line, phrase::kOpenFailure)) {
    unstamped.push_back(
        TimelineEntry{kNoMoment, file, line_number, "file",
                      "log file started anew (" + Utf8(line.substr(phrase::kOpenFailure.size())) + ")", ""});
    return;
  }
  if (StartsWith(line, phrase::kDroppedLines)) {
    const auto count = Number(line.substr(phrase::kDroppedLines.size()));
    if (!count) {
      Skip("broken count of dropped lines");
      return;
    }
    unstamped_dropped += *count;
    unstamped.push_back(TimelineEntry{kNoMoment, file, line_number, "error",
                                      "the logger lost " + std::to_string(*count) + " line(s) here", ""});
    return;
  }
  // "M dd.mm hh:mm:ss.zzz [tag] text"
  if (line.size() < 2 + kStampSize + 4 || kMarks.find(line[0]) == std::string_view::npos || line[1] != ' ' ||
      line[2 + kStampSize] != ' ' || line[3 + kStampSize] != '[') {
    Skip("not a log line");
    return;
  }
  const std::optional<LogMoment> m = StampOf(line);
  if (!m) {
    Skip("broken time stamp");
    return;
  }
  const std::size_t tag_end = line.find("] ", 4 + kStampSize);
  if (tag_end == std::string_view::npos) {
    Skip("not a log line");
    return;
  }
  moment = *m;
  Summary& s = report.summary;
  if (load_pending) {
    load_pending = false;
    if (InPeriod()) {
      s.loads.push_back(LoadOfLibrary{moment, file, load_line});
      if (options.timeline) {
        report.timeline.push_back(
            TimelineEntry{moment, file, load_line, "load", "the library was loaded", ""});
      }
    }
  }
  if (InPeriod()) {
    s.lines += unstamped.size();
    s.dropped_lines += unstamped_dropped;
    for (TimelineEntry& entry : unstamped) {
      entry.moment = moment;
      if (options.timeline) {
        report.timeline.push_back(std::move(entry));
      }
    }
  }
  unstamped.clear();
  unstamped_dropped = 0;
  if (InPeriod()) {
    ++s.lines;
    s.first = s.first == kNoMoment ? moment : std::min(s.first, moment);
    s.last = std::max(s.last, moment);
  }
  Stamped(line.substr(tag_end + 2));
}

void LogReader::State::Stamped(std::string_view text) {
  Summary& s = report.summary;
  if (StartsWith(text, "[") && text.find("]:  ") != std::string_view::npos) {
    PortLine(text);
    return;
  }
  const std::optional<LogPhraseText> found = MatchLogPhrase(text);
  if (!found) {
    return;  // a line of another program, or of a driver newer than this reader
  }
  const std::string_view rest = text.substr(found->text.size());
  switch (found->phrase) {
    case LogPhrase::kPortLost:
    case LogPhrase::kPortBack: {
      const bool lost = found->phrase == LogPhrase::kPortLost;
      if (InPeriod()) {
        ++(lost ? s.ports_lost : s.ports_reopened);
      }
      Note("link", std::string(lost ? "port lost: " : "port open again: ") + Utf8(rest));
      return;
    }
    case LogPhrase::kStateLine:
      StateLine(rest);
      return;
    case LogPhrase::kThreadError: {
      uint64_t count = 1;
      std::string_view reason = rest;
      const std::size_t repeats = reason.rfind(phrase::kRepeats.view());
      if (repeats != std::string_view::npos && reason.back() == ')') {
        const auto n = Number(reason.substr(repeats + phrase::kRepeats.size(),
                                            reason.size() - repeats - phrase::kRepeats.size() - 1));
        if (n) {
          count += *n;
          reason = reason.substr(0, repeats);
        }
      }
      if (InPeriod()) {
        s.failed_cycles += count;
      }
      Note("error",
           "failed cycle" + (count > 1 ? " x" + std::to_string(count) : std::string()) + ": " + Utf8(reason));
      return;
    }
    case LogPhrase::kUnconfirmed: {
      const auto bill_type = Hex2(rest.substr(0, 2));
      const auto amount = rest.size() >= 2 && StartsWith(rest.substr(2), phrase::kUnconfirmedAmount)
                              ? Number(rest.substr(2 + phrase::kUnconfirmedAmount.size()))
                              : std::nullopt;
      if (!bill_type || !amount) {
        Skip("broken unconfirmed bill line");
        return;
      }
      if (InPeriod()) {
        ++s.unconfirmed;
        s.unconfirmed_sum += static_cast<int64_t>(*amount);
      }
      Note("bill", "outcome not confirmed by the device: bill type " + HexText(*bill_type) + ", " +
                       (*amount != 0 ? std::to_string(*amount) : std::string("value unknown")));
      return;
    }
    case LogPhrase::kRepeatedEvent:
      if (status_made_outcome && !outcomes.empty()) {
        outcomes.back().repeat = true;  // the event the last poll brought was an old one
      }
      if (InPeriod()) {
        ++s.repeated_events;
      }
      Note("bill", "repeated event, not counted again: " + Utf8(rest));
      return;
    case LogPhrase::kUnknownStacked:
      if (status_made_outcome && !outcomes.empty()) {
        outcomes.back().value = 0;  // the driver credited nothing
      }
      Note("bill", "stacked a bill of unknown value, type " + Utf8(rest));
      return;
    case LogPhrase::kUnknownEscrow:
      Note("bill", "returned a bill of unknown value without asking, type " + Utf8(rest));
      return;
    // Well formed, and nothing that is counted here.
    case LogPhrase::kBillTypeOutOfTable:
    case LogPhrase::kStaleReply:
    case LogPhrase::kUnaskedAcceptance:
    case LogPhrase::kDisableForTable:
    case LogPhrase::kNoBillTable:
    case LogPhrase::kEnableBeforeTable:
    case LogPhrase::kDecisionAgain:
    case LogPhrase::kOutcomeNotRecorded:
    case LogPhrase::kReturnNotConfirmed:
    case LogPhrase::kWindingDownEscrow:
    case LogPhrase::kLeftWithDevice:
      return;
  }
}

void LogReader::State::PortLine(std::string_view text) {
  // "[COM7]:  " for a port by number, "[/dev/ttyUSB0]:  " for one by path.
  const std::size_t close = text.find("]:  ");
  const std::string_view name = text.substr(1, close - 1);
  const bool numbered = StartsWith(name, "COM");
  const auto number = numbered ? Digits(name.substr(3)) : std::nullopt;
  if (name.empty() || (numbered && (!number || *number > 65535))) {
    Skip("broken port name");
    return;
  }
  auto found = ports.find(name);
  if (found == ports.end()) {
    found = ports.emplace(std::string(name), PortState{}).first;
  }
  current_port = found->first;
  PortState& state = found->second;
  const std::string_view rest = text.substr(close + 4);
  constexpr std::string_view kSend = phrase::kSend.view();
  constexpr std::string_view kReceive = phrase::kReceive.view();
  const bool sent = StartsWith(rest, kSend);
  if (!sent && !StartsWith(rest, kReceive)) {
    return;  // another port line
  }
  const auto bytes = FrameBytes(rest.substr(sent ? kSend.size() : kReceive.size()));
  if (!bytes) {
    Skip("broken frame bytes");
    return;
  }
  Frame(state, sent, *bytes);
}

void LogReader::State::Frame(PortState& port, bool sent, const std::vector<uint8_t>& bytes) {
  Summary& s = report.summary;
  const bool whole = bytes.size() >= kMinFrameLength && bytes[0] == kFrameSync && bytes[2] == bytes.size();
  if (sent) {
    if (!whole || !FrameCrcGood(bytes.data(), bytes.size())) {
      Note("command", "sent a bad frame");
      port.last_command = -1;
      return;
    }
    const uint8_t command = bytes[3];
    port.last_command = command;
    port.sent_at = moment;
    std::string text = CommandName(command);
    if (command == cmdEnableBillTypes && bytes.size() >= 7) {
      const uint32_t mask = (uint32_t{bytes[4]} << 16) | (uint32_t{bytes[5]} << 8) | bytes[6];
      text += mask == 0 ? std::string(": none") : ":";
      for (uint8_t type = 0; type < kBillTypeCount && mask != 0; ++type) {
        if ((mask & (1U << type)) != 0) {
          text += " " + (values[type] != 0 ? std::to_string(values[type]) : "type " + HexText(type));
        }
      }
    }
    if (command != cmdPoll && command != cmdAck &&
        command != cmdGetBillTable) {  // the table shows with its reply
      Note("command", text);
    }
    return;
  }
  const std::string asked =
      port.last_command >= 0 ? CommandName(static_cast<uint8_t>(port.last_command)) : "?";
  // A reply shorter than its length byte says (or none) is all that came
  // before the time-out.
  const bool cut =
      bytes.empty() || (bytes[0] == kFrameSync &&
                        (bytes.size() < 3 || (bytes[2] >= kMinFrameLength && bytes.size() < bytes[2])));
  if (cut) {
    if (InPeriod()) {
      ++s.timeouts;
    }
    if (port.silent_since == kNoMoment) {
      port.silent_since = port.sent_at != kNoMoment ? port.sent_at : moment;
      Note("link", asked + " -> no answer");
    }
    return;
  }
  if (!whole || !FrameCrcGood(bytes.data(), bytes.size())) {
    if (InPeriod()) {
      ++s.bad_frames;
    }
    Note("link", asked + " -> bad frame (" + std::string(whole ? "CRC" : "sync or length") + ")");
    return;
  }
  if (port.silent_since != kNoMoment) {
    const LogMoment since = port.silent_since;
    EndSilence(port, moment);
    Note("link", "the device answers again after " + Seconds(moment - since));
  }
  if (port.last_command == cmdPoll && (bytes.size() == 6 || bytes.size() == 7)) {
    port.reply = MakeStatus(bytes[3], bytes.size() == 7 ? bytes[4] : 0);
    port.reply_order = ++replies;
  }
  if (port.last_command == cmdGetBillTable && bytes.size() == kBillTableFrameLength) {
    const BillValueTable table = TableValues(DecodeBillTable(bytes.data()));
    std::string text = "Get bill table ->";
    for (std::size_t i = 0; i < table.size(); ++i) {
      values[i] = table[i] / kCurrencyScale;
      if (values[i] != 0) {
        text += " " + std::to_string(values[i]);
      }
    }
    Note("command", text);
  }
}

void LogReader::State::StateLine(std::string_view text) {
  // "XX-YY. text": the state byte, the sub-code, the driver's state text.
  const auto state = Hex2(text.substr(0, 2));
  const auto sub_code = text.size() >= 7 ? Hex2(text.substr(3, 2)) : std::nullopt;
  if (!state || !sub_code || text[2] != '-' || text.substr(5, 2) != ". ") {
    Skip("broken state line");
    return;
  }
  const uint16_t word = MakeStatus(*state, *sub_code);
  // Several validators log into one file: the line is the state of the port
  // whose latest poll reply carried it (without traffic lines, of the one).
  PortState* owner = nullptr;
  for (auto& [name, candidate] : ports) {
    if (candidate.reply == word && (owner == nullptr || candidate.reply_order > owner->reply_order)) {
      owner = &candidate;
      current_port = name;
    }
  }
  std::optional<uint16_t>& last = owner != nullptr ? owner->status : status;
  const bool same = last && *last == word;
  last = word;
  if (same) {
    status_made_outcome = false;
    if ((*state == dsStacked || *state == dsReturned) && !outcomes.empty() && outcomes.back().value == 0 &&
        outcomes.back().bill_type == *sub_code) {
      outcomes.back().value = ValueOf(*sub_code);  // the table was read meanwhile
    }
    return;
  }
  status_made_outcome = false;
  Summary& s = report.summary;
  const std::string name(StateName(*state));
  std::string line = "Poll -> " + HexText(*state) + " " + (name.empty() ? "unknown state" : name);
  std::string kind = "state";
  switch (*state) {
    case dsPowerUp:
    case dsPowerUpWithBill:
    case dsPowerUpBillNoReturn:
      if (InPeriod()) {
        ++s.power_ups;
      }
      break;
    case dsEscrow:
      line += " " + ValueText(*sub_code);
      kind = "bill";
      break;
    case dsStacked:
    case dsReturned:
      outcomes.push_back(Outcome{*state == dsStacked, *sub_code, ValueOf(*sub_code), InPeriod(), false});
      status_made_outcome = true;
      line += " " + ValueText(*sub_code);
      kind = "bill";
      break;
    case dsBillError:
      if (InPeriod()) {
        ++s.rejected[*sub_code];
      }
      line +=
          " " + HexText(*sub_code) + " " + RejectReasonName(*sub_code) + " (" + Utf8(StateToText(word)) + ")";
      kind = "bill";
      break;
    default:
      if (*sub_code != 0 || name.empty()) {
        line += " " + HexText(*sub_code) + " (" + Utf8(StateToText(word)) + ")";
      }
      break;
  }
  Note(kind, line);
}

void LogReader::State::Finish() {
  EndAllSilences(moment);
  Summary& s = report.summary;
  for (const Outcome& outcome : outcomes) {
    if (!outcome.in_period || outcome.repeat) {
      continue;
    }
    ++(outcome.stacked ? s.stacked : s.returned)[outcome.value];
  }
}

// ---------------------------------------------------------------------------

std::optional<LogMoment> ParseMoment(std::string_view text) {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int ms = 0;
  // "YYYY-MM-DD[ hh:mm...]" or "YYYY-MM-DDThh:mm..."
  if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
    const auto year = Digits(text.substr(0, 4));
    const auto month = Digits(text.substr(5, 2));
    const auto day = Digits(text.substr(8, 2));
    if (!year || !month || !day) {
      return std::nullopt;
    }
    if (text.size() > 10 && ((text[10] != ' ' && text[10] != 'T') ||
                             !ParseTimeOfDay(text.substr(11), hour, minute, second, ms))) {
      return std::nullopt;
    }
    return MakeMoment(*month, *day, hour, minute, second, ms);
  }
  // "dd.mm[ hh:mm[:ss[.zzz]]]"
  if (text.size() < 5 || text[2] != '.') {
    return std::nullopt;
  }
  const auto day = Digits(text.substr(0, 2));
  const auto month = Digits(text.substr(3, 2));
  if (!day || !month) {
    return std::nullopt;
  }
  if (text.size() > 5 && (text[5] != ' ' || !ParseTimeOfDay(text.substr(6), hour, minute, second, ms))) {
    return std::nullopt;
  }
  return MakeMoment(*month, *day, hour, minute, second, ms);
}

std::string FormatMoment(LogMoment moment) {
  if (moment < 0) {
    return "--.-- --:--:--.---";
  }
  const int64_t days = moment / kDayMs;
  int64_t ms = moment % kDayMs;
  std::array<char, 32> text{};
  const auto two = [](char* out, int64_t v) {
    out[0] = static_cast<char>('0' + v / 10 % 10);
    out[1] = static_cast<char>('0' + v % 10);
  };
  two(&text[0], days % 31 + 1);
  text[2] = '.';
  two(&text[3], days / 31 + 1);
  text[5] = ' ';
  two(&text[6], ms / 3600000);
  ms %= 3600000;
  text[8] = ':';
  two(&text[9], ms / 60000);
  ms %= 60000;
  text[11] = ':';
  two(&text[12], ms / 1000);
  text[14] = '.';
  text[15] = static_cast<char>('0' + ms % 1000 / 100);
  two(&text[16], ms % 100);
  return {text.data(), kStampSize};
}

std::vector<std::size_t> OrderLogFiles(const std::vector<std::string>& names,
                                       const std::vector<LogMoment>& first_moments) {
  const auto copy_number = [&names](std::size_t i) -> int {
    const std::string& name = names[i];
    const std::size_t dot = name.rfind('.');
    const auto n = dot == std::string::npos ? std::nullopt : Digits(std::string_view(name).substr(dot + 1));
    return n ? *n : -1;
  };
  std::vector<std::size_t> order(names.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int na = copy_number(a);
    const int nb = copy_number(b);
    if ((na >= 0) != (nb >= 0)) {
      return na >= 0;  // rotated copies before the current file
    }
    if (na >= 0) {
      return na > nb;  // the higher number the older
    }
    const LogMoment ma = a < first_moments.size() ? first_moments[a] : kNoMoment;
    const LogMoment mb = b < first_moments.size() ? first_moments[b] : kNoMoment;
    return ma < mb;
  });
  return order;
}

std::string_view StateName(uint8_t state) {
  // The driver's own English names, as the C interface and the tools give them.
  const std::string_view name = notavero::StateName(state);
  return name == "unknown" ? std::string_view{} : name;
}

namespace {

template <typename Key>
uint64_t CountOf(const std::map<Key, uint64_t>& bills) {
  uint64_t n = 0;
  for (const auto& [key, count] : bills) {
    n += count;
  }
  return n;
}

int64_t SumOf(const std::map<int64_t, uint64_t>& bills) {
  int64_t sum = 0;
  for (const auto& [value, count] : bills) {
    sum += value * static_cast<int64_t>(count);
  }
  return sum;
}

}  // namespace

uint64_t Summary::StackedCount() const {
  return CountOf(stacked);
}

int64_t Summary::StackedSum() const {
  return SumOf(stacked);
}

uint64_t Summary::ReturnedCount() const {
  return CountOf(returned);
}

int64_t Summary::ReturnedSum() const {
  return SumOf(returned);
}

uint64_t Summary::RejectedCount() const {
  return CountOf(rejected);
}

LogReader::LogReader(Options options) : state_(std::make_unique<State>()) {
  state_->options = options;
}

LogReader::~LogReader() = default;

void LogReader::ReadFile(std::string_view name, std::string_view content) {
  State& s = *state_;
  s.file = std::string(name);
  s.line_number = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    ++s.line_number;
    const std::size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) {
      s.Skip("cut off: no line end");  // the logger writes whole lines only
      break;
    }
    std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
      s.Skip("control bytes in the line");
      continue;
    }
    try {
      s.Line(line);
    } catch (const std::exception&) {
      s.Skip("unreadable");  // whatever a line holds, the reading goes on
    }
  }
}

Report LogReader::Finish() {
  state_->Finish();
  return std::move(state_->report);
}

Report ReadLog(std::string_view content, LogReader::Options options, std::string_view name) {
  LogReader reader(options);
  reader.ReadFile(name, content);
  return reader.Finish();
}

LogMoment FirstMoment(std::string_view content) {
  std::size_t pos = 0;
  while (pos < content.size()) {
    const std::size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) {
      break;
    }
    if (const auto moment = StampOf(content.substr(pos, end - pos))) {
      return *moment;
    }
    pos = end + 1;
  }
  return kNoMoment;
}

}  // namespace notavero::logread
