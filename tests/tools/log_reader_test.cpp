// The log reader on logs written line by line here, damaged on purpose: a
// cut last line, garbage bytes, a line cut in the middle of a frame and
// glued to the next; the reader skips and names exactly those lines and
// still counts everything around them.

#include "tools/notavero/log_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/cp1251.h"
#include "common/hex.h"
#include "log/log_phrases.h"
#include "protocol/codes.h"
#include "protocol/frame.h"

namespace notavero::logread {
namespace {

const std::string kState = phrase::kStateLine.str();
const std::string kThreadError = phrase::kThreadError.str() + phrase::kCashDeviceError.str();

std::string Frame(std::vector<uint8_t> payload) {
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  return HexBytes(frame.data(), length);
}

// Builds a log as the driver writes it, one second per line from 10:00:00.
class LogText {
 public:
  LogText& Line(const std::string& text, char mark = '+') {
    text_ += std::string(1, mark) + " " + Stamp() + " [] " + text + "\r\n";
    ++second_;
    return *this;
  }
  LogText& Raw(const std::string& bytes) {
    text_ += bytes;
    return *this;
  }
  LogText& Load() {
    return Raw("\r\n" + Cp1251(u8"Ошибка открытия файла:No such file or directory").str() + "\r\n");
  }
  LogText& Poll(uint8_t state, uint8_t sub_code = 0, bool with_sub_code = false,
                const std::string& port = "COM7") {
    Line("[" + port + "]:  Send: " + Frame({cmdPoll}));
    Line("[" + port +
         "]:  Receive: " + (with_sub_code || sub_code != 0 ? Frame({state, sub_code}) : Frame({state})));
    Line("[" + port + "]:  Send: " + Frame({cmdAck}));
    std::string status = HexBytes(&state, 1) + "-" + HexBytes(&sub_code, 1);
    return Line(kState + status + ". text", '?');
  }
  // The driver reads the table: 10, 50, 100, 500, 1000, 5000 as types 2..7.
  LogText& Table() {
    std::vector<uint8_t> table(kBillTypeCount * kBillTableEntrySize, 0);
    const uint8_t entries[][2] = {{1, 1}, {5, 1}, {1, 2}, {5, 2}, {1, 3}, {5, 3}};
    for (std::size_t i = 0; i < 6; ++i) {
      uint8_t* entry = &table[(2 + i) * kBillTableEntrySize];
      entry[0] = entries[i][0];
      entry[1] = 'R';
      entry[2] = 'U';
      entry[3] = 'S';
      entry[4] = entries[i][1];
    }
    Line("[COM7]:  Send: " + Frame({cmdGetBillTable}));
    return Line("[COM7]:  Receive: " + Frame(table));
  }
  [[nodiscard]] std::string Stamp() const {
    char text[32];
    std::snprintf(text, sizeof text, "08.12 10:%02d:%02d.000", second_ / 60, second_ % 60);
    return text;
  }
  [[nodiscard]] const std::string& Text() const { return text_; }

 private:
  std::string text_;
  int second_ = 0;
};

// One stacked 100 and one returned 5000, with a rejection between.
LogText Day() {
  LogText log;
  log.Load().Poll(dsPowerUp).Poll(dsInitializing).Poll(dsDisabled).Table();
  log.Poll(dsWaitingForBill).Poll(dsAccepting).Poll(dsEscrow, 4).Poll(dsStacking).Poll(dsStacked, 4);
  log.Poll(dsStacked, 4);  // its acknowledge was lost: the same event again
  log.Poll(dsWaitingForBill).Poll(dsBillError, 0x68).Poll(dsWaitingForBill);
  log.Poll(dsEscrow, 7).Poll(dsReturning).Poll(dsReturned, 7).Poll(dsWaitingForBill);
  return log;
}

TEST(LogReader, WholeLogCountsEachEventOnce) {
  const Report report = ReadLog(Day().Text());
  const Summary& s = report.summary;
  EXPECT_TRUE(report.skipped.empty());
  ASSERT_EQ(s.loads.size(), 1U);
  EXPECT_EQ(s.loads[0].line, 1U);
  EXPECT_EQ(s.stacked, (std::map<int64_t, uint64_t>{{100, 1}}));
  EXPECT_EQ(s.returned, (std::map<int64_t, uint64_t>{{5000, 1}}));
  EXPECT_EQ(s.rejected, (std::map<uint8_t, uint64_t>{{0x68, 1}}));
  EXPECT_EQ(s.power_ups, 1U);
  EXPECT_EQ(s.timeouts + s.bad_frames + s.failed_cycles + s.silences, 0U);
}

TEST(LogReader, DamagedLinesAreSkippedByNumberAndTheRestIsRead) {
  LogText log = Day();
  // Garbage bytes, with a NUL, on a line of their own (line A).
  log.Raw(std::string("\x7f\x01garbage\0\xff\xfe", 12) + "\r\n");
  // A line cut in the middle of a frame, the next line glued to it (line B).
  log.Raw("+ " + log.Stamp() + " [] [COM7]:  Receive: 02 03 07 8");
  log.Line("[COM7]:  Send: " + Frame({cmdPoll}));
  // A state line cut after its state byte (line C), a broken time stamp (D).
  log.Raw("? " + log.Stamp() + " [] " + kState + "81\r\n");
  log.Raw("+ 32.13 10:99:00.000 [] [COM7]:  Send: " + Frame({cmdPoll}) + "\r\n");
  // A reply cut short by the time-out is no damage: it is a time-out.
  log.Line("[COM7]:  Send: " + Frame({cmdPoll}));
  log.Line("[COM7]:  Receive: 02 03 07 81");
  log.Line(kThreadError, '?');
  // Then another bill goes in and the file ends in the middle of a frame.
  log.Poll(dsEscrow, 2).Poll(dsStacking).Poll(dsStacked, 2).Poll(dsWaitingForBill);
  log.Raw("+ " + log.Stamp() + " [] [COM7]:  Receive: 02 03 06 1");

  const std::string text = log.Text();
  const auto line_of = [&text](std::size_t offset) {
    return static_cast<uint64_t>(
        std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n') + 1);
  };
  const Report report = ReadLog(text, {}, "Notavero.log");
  ASSERT_EQ(report.skipped.size(), 5U);
  const std::vector<std::pair<uint64_t, std::string>> expected = {
      {line_of(text.find("\x7f\x01garbage")), "control bytes in the line"},
      {line_of(text.find("Receive: 02 03 07 8+")), "broken frame bytes"},
      {line_of(text.find(kState + "81\r")), "broken state line"},
      {line_of(text.find("+ 32.13")), "broken time stamp"},
      {line_of(text.rfind("Receive: 02 03 06 1")), "cut off: no line end"},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(report.skipped[i].file, "Notavero.log");
    EXPECT_EQ(report.skipped[i].line, expected[i].first) << i;
    EXPECT_EQ(report.skipped[i].reason, expected[i].second) << i;
  }
  const Summary& s = report.summary;
  EXPECT_EQ(s.stacked, (std::map<int64_t, uint64_t>{{10, 1}, {100, 1}}));
  EXPECT_EQ(s.returned, (std::map<int64_t, uint64_t>{{5000, 1}}));
  EXPECT_EQ(s.timeouts, 1U);
  EXPECT_EQ(s.failed_cycles, 1U);
  EXPECT_EQ(s.silences, 1U);
  EXPECT_GT(s.silent_ms, 0);
}

TEST(LogReader, DriverNotesAndRepeatedErrorsAreCounted) {
  LogText log = Day();
  // A repeat of an event already credited, met after a new driver started.
  log.Poll(dsStacked, 5);
  log.Line(Cp1251(u8"Повтор события без новой купюры, не зачисляется: 81-05").str(), '?');
  log.Line(Cp1251(u8"Исход купюры не подтверждён устройством: тип 06, сумма 1000").str(), '?');
  log.Line(kThreadError + Cp1251(u8" (повторов: 41)").str(), '?');
  log.Raw(Cp1251(u8"Пропущено строк журнала: 7").str() + "\r\n");
  log.Line("[COM7]:  Send: " + Frame({cmdPoll}));
  log.Line("[COM7]:  Receive: 02 03 06 14 00 00");  // a bad CRC
  const Summary s = ReadLog(log.Text()).summary;
  EXPECT_EQ(s.stacked, (std::map<int64_t, uint64_t>{{100, 1}}));
  EXPECT_EQ(s.repeated_events, 1U);
  EXPECT_EQ(s.unconfirmed, 1U);
  EXPECT_EQ(s.unconfirmed_sum, 1000);
  EXPECT_EQ(s.failed_cycles, 42U);
  EXPECT_EQ(s.dropped_lines, 7U);
  EXPECT_EQ(s.bad_frames, 1U);
}

TEST(LogReader, PortByPathAndItsLossAreRead) {
  LogText log = Day();
  const std::string path = "/dev/serial/by-id/usb-validator";
  log.Line(Cp1251(u8"Порт потерян, повторное открытие каждую секунду: ").str() + path, '?');
  log.Line(Cp1251(u8"Порт открыт снова: ").str() + path, '?');
  log.Line("[" + path + "]:  Send: " + Frame({cmdPoll}));
  log.Line("[" + path + "]:  Receive: " + Frame({dsEscrow, 3}));
  log.Line("[" + path + "]:  Send: " + Frame({cmdAck}));
  log.Line(kState + "80-03. text", '?');
  log.Line("[" + path + "]:  Send: " + Frame({cmdPoll}));
  log.Line("[" + path + "]:  Receive: " + Frame({dsStacked, 3}));
  log.Line(kState + "81-03. text", '?');
  const Report report = ReadLog(log.Text());
  EXPECT_TRUE(report.skipped.empty());
  EXPECT_EQ(report.summary.ports_lost, 1U);
  EXPECT_EQ(report.summary.ports_reopened, 1U);
  EXPECT_EQ(report.summary.stacked, (std::map<int64_t, uint64_t>{{50, 1}, {100, 1}}));
}

TEST(LogReader, ASilenceThePeriodCutsCountsOnlyItsPartInThePeriod) {
  LogText log = Day();
  std::string middle;
  for (int i = 0; i < 20; ++i) {  // the device answers nothing for a minute
    if (i == 10) {
      middle = log.Stamp();
    }
    log.Line("[COM7]:  Send: " + Frame({cmdPoll}));
    log.Line("[COM7]:  Receive: 02 03");  // a reply cut short by the time-out
    log.Line(kThreadError, '?');
  }
  log.Poll(dsWaitingForBill);
  const Summary whole = ReadLog(log.Text()).summary;
  ASSERT_EQ(whole.silences, 1U);
  EXPECT_EQ(whole.longest_silence_ms, whole.silent_ms);
  const Summary cut = ReadLog(log.Text(), {.since = *ParseMoment(middle)}).summary;
  ASSERT_EQ(cut.silences, 1U);
  EXPECT_LT(cut.silent_ms, whole.silent_ms);
  EXPECT_EQ(cut.longest_silence_ms, cut.silent_ms) << "the longest silence counted time outside the period";
}

TEST(LogReader, PeriodAndTimeline) {
  const std::string text = Day().Text();
  // The period splits at the stacked bill's first state line.
  const Report all = ReadLog(text, {.timeline = true});
  std::string stacked_at;
  for (const auto& entry : all.timeline) {
    if (entry.text == "Poll -> 81 stacked 100") {
      stacked_at = FormatMoment(entry.moment);
    }
  }
  ASSERT_FALSE(stacked_at.empty());
  const LogMoment split = *ParseMoment(stacked_at);
  const Summary before = ReadLog(text, {.until = split}).summary;
  const Summary after = ReadLog(text, {.since = split}).summary;
  EXPECT_TRUE(before.stacked.empty());
  EXPECT_EQ(after.stacked, (std::map<int64_t, uint64_t>{{100, 1}}));
  EXPECT_EQ(before.loads.size() + after.loads.size(), 1U);
  EXPECT_EQ(after.returned, all.summary.returned);

  std::vector<std::string> bills;
  for (const auto& entry : all.timeline) {
    if (entry.kind == "bill" || entry.text == "Get bill table -> 10 50 100 500 1000 5000") {
      bills.push_back(entry.text);
    }
  }
  EXPECT_EQ(bills, (std::vector<std::string>{
                       "Get bill table -> 10 50 100 500 1000 5000", "Poll -> 80 escrow 100",
                       "Poll -> 81 stacked 100",
                       "Poll -> 1C rejecting 68 inhibited denomination (Ошибка возврата стоимости)",
                       "Poll -> 80 escrow 5000", "Poll -> 82 returned 5000"}));

  EXPECT_EQ(ParseMoment("2024-12-08 10:00:35"), ParseMoment("08.12 10:00:35.000"));
  EXPECT_EQ(ParseMoment("2024-12-08T10:00"), ParseMoment("08.12 10:00"));
  EXPECT_LT(*ParseMoment("08.12"), *ParseMoment("08.12 00:00:00.001"));
  EXPECT_FALSE(ParseMoment("31.13 10:00"));
  EXPECT_FALSE(ParseMoment("yesterday"));
}

// Two validators of one process log into one file.  A state line names no
// port: it belongs to the port whose poll reply it repeats, and each port's
// states change on their own.
TEST(LogReader, TimelineNamesThePortOfEveryLineOfSeveralValidators) {
  LogText log;
  log.Poll(dsDisabled, 0, false, "COM7")
      .Poll(dsWaitingForBill, 0, false, "/dev/ttyUSB1")
      .Poll(dsDisabled, 0, false, "COM7")
      .Poll(dsWaitingForBill, 0, false, "/dev/ttyUSB1")
      .Poll(dsWaitingForBill, 0, false, "COM7");
  const Report report = ReadLog(log.Text(), {.timeline = true});
  EXPECT_TRUE(report.skipped.empty());
  std::vector<std::pair<std::string, std::string>> states;
  for (const auto& entry : report.timeline) {
    states.emplace_back(entry.port, entry.text);
  }
  EXPECT_EQ(states, (std::vector<std::pair<std::string, std::string>>{{"COM7", "Poll -> 19 disabled"},
                                                                      {"/dev/ttyUSB1", "Poll -> 14 idling"},
                                                                      {"COM7", "Poll -> 14 idling"}}));
}

// The driver and the reader share the phrases; no phrase may hide another
// (one the start of the next), or the reader would take its lines for the
// other's.  That the reader has a case for each is held by its switch.
TEST(LogReader, EachPhraseOfTheDriverIsReadAsItself) {
  for (const LogPhraseText& entry : kDriverLogPhrases) {
    const auto found = MatchLogPhrase(std::string(entry.text) + "81-05");
    ASSERT_TRUE(found) << Cp1251ToUtf8(entry.text);
    EXPECT_EQ(found->phrase, entry.phrase)
        << Cp1251ToUtf8(entry.text) << " is read as " << Cp1251ToUtf8(found->text);
  }
  EXPECT_FALSE(MatchLogPhrase(phrase::kCashDeviceError));
}

TEST(LogReader, FilesAreReadOldestFirst) {
  const std::vector<std::string> names = {"a/Notavero.log",   "a/Notavero.log.0", "a/Notavero.log.10",
                                          "a/Notavero.log.2", "copy-b.log",       "copy-a.log"};
  const std::vector<LogMoment> first = {5, 4, 1, 3, 900, 800};
  EXPECT_EQ(OrderLogFiles(names, first), (std::vector<std::size_t>{2, 3, 1, 0, 5, 4}));
}

}  // namespace
}  // namespace notavero::logread
