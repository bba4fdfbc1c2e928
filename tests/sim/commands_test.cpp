// The text commands: what they accept, what they refuse, what status says;
// and the bill table text.

#include "sim/commands.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/bill_table.h"
#include "tests/sim/model_helpers.h"

namespace notavero::sim {
namespace {

using test::ModelDriver;

TEST(Commands, UnknownOrMalformedCommandsChangeNothingAndSayWhy) {
  ModelDriver d;
  d.ToWaiting();
  const auto before = FormatStatus(StatusOf(d.model));
  for (const char* line : {"fly", "insert", "insert 24", "insert x", "insert 2 3", "silent", "silent -1",
                           "bad-crc many", "failure", "failure 1FF", "busy 0", "busy 256", "split 1", "delay",
                           "bad-length middle", "jam door", "power-cycle 13", "clear now", "full 1"}) {
    const auto result = RunDeviceCommand(d.model, line, d.now);
    EXPECT_FALSE(result.ok) << line;
    EXPECT_FALSE(result.text.empty()) << line;
    EXPECT_EQ(FormatStatus(StatusOf(d.model)), before) << line;
  }
  EXPECT_NE(RunDeviceCommand(d.model, "fly", d.now).text.find("unknown command 'fly'"), std::string::npos);
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsWaitingForBill);
}

TEST(Commands, BlankLinesAndCommentsDoNothing) {
  ModelDriver d;
  for (const char* line : {"", "   ", "# a comment", "\r"}) {
    const auto result = RunDeviceCommand(d.model, line, d.now);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.text, "");
  }
  EXPECT_TRUE(RunDeviceCommand(d.model, "full  # the stacker", d.now).ok);
  EXPECT_EQ(d.model.State(), dsAcceptorFull);
}

TEST(Commands, StatusReportsStateMaskAndBillsWithTheirSums) {
  ModelOptions options;
  options.table[9] = BillTableEntry{2, {'R', 'U', 'S'}, 2};
  ModelDriver d(options);
  d.ToWaiting();
  d.Send({cmdEnableBillTypes, 0x00, 0x02, 0xFC, 0x00, 0x02, 0xFC});
  for (const int type : {4, 4, 9, 7}) {
    ASSERT_TRUE(RunDeviceCommand(d.model, "insert " + std::to_string(type), d.now).ok);
    while (ModelDriver::StateOf(d.PollAck()) != dsEscrow) {
    }
    d.Send({type == 7 ? cmdReturn : cmdStack});
    while (ModelDriver::StateOf(d.PollAck()) != dsWaitingForBill) {
    }
  }
  EXPECT_EQ(RunDeviceCommand(d.model, "status", d.now).text,
            "state=14 sub=00 enabled=0002FC stacked=3 stacked_sum=400 returned=1 returned_sum=5000"
            " stacked_types=4:2,9:1 returned_types=7:1 text=Ожидается вставка купюры");
  RunDeviceCommand(d.model, "busy 12", d.now);
  EXPECT_EQ(RunDeviceCommand(d.model, "status", d.now).text.substr(0, 15), "state=1B sub=0C");
}

TEST(Commands, InsertNamesTheBillAndWarnsWhenItsTypeIsNotEnabled) {
  ModelDriver d;
  d.ToWaiting();
  auto result = RunDeviceCommand(d.model, "insert 5", d.now);
  EXPECT_TRUE(result.ok);
  EXPECT_NE(result.text.find("500 RUS"), std::string::npos);
  ModelDriver e;
  e.ToWaiting();
  result = RunDeviceCommand(e.model, "insert 0", e.now);
  EXPECT_TRUE(result.ok);
  EXPECT_NE(result.text.find("not enabled"), std::string::npos);
  result = RunDeviceCommand(e.model, "insert 2", e.now);
  EXPECT_FALSE(result.ok);  // the first bill is still in the head
  EXPECT_NE(result.text.find("state 15"), std::string::npos);
}

TEST(BillTableText, ParsesEntriesInOrderWithEmptyOnesAndComments) {
  BillTable table{};
  ASSERT_EQ(ParseBillTable("# types 0 and 1 empty\n-\n-\n1 RUS 1\n  5\tRUS 1  # fifty\n\n2 USD 2\r\n", table),
            "");
  EXPECT_TRUE(table[0].Empty());
  EXPECT_EQ(table[2].Value(), 10U);
  EXPECT_EQ(table[3].Value(), 50U);
  EXPECT_EQ(table[4].Describe(), "200 USD");
  EXPECT_TRUE(table[5].Empty());
  EXPECT_EQ(EncodeBillTable(table)[20], 2);
  EXPECT_EQ(EncodeBillTable(table)[21], 'U');
}

TEST(BillTableText, RefusesBadLinesNamingThemAndKeepsTheTable) {
  BillTable table = DefaultBillTable();
  EXPECT_EQ(ParseBillTable("1 RUS 1\n1 RU 1\n", table).substr(0, 7), "line 2:");
  EXPECT_NE(ParseBillTable("256 RUS 1\n", table), "");
  EXPECT_NE(ParseBillTable("1 RUS\n", table), "");
  std::string many;
  for (int i = 0; i < 25; ++i) {
    many += "1 RUS 1\n";
  }
  EXPECT_EQ(ParseBillTable(many, table), "line 25: more than 24 entries");
  EXPECT_EQ(table[2].Value(), 10U);
  EXPECT_TRUE(table[0].Empty());
}

TEST(BillTableText, ValuesThatDoNotFitAreZero) {
  EXPECT_EQ((BillTableEntry{5, {'R', 'U', 'S'}, 3}).Value(), 5000U);
  EXPECT_EQ((BillTableEntry{18, {'R', 'U', 'S'}, 18}).Value(), 18000000000000000000ULL);
  EXPECT_EQ((BillTableEntry{19, {'R', 'U', 'S'}, 18}).Value(), 0U);
  EXPECT_EQ((BillTableEntry{1, {'R', 'U', 'S'}, 255}).Value(), 0U);
}

TEST(BillTableText, ShippedTablesLoad) {
  const std::string dir = NOTAVERO_SIM_TABLES;
  const BillTable standard = LoadBillTableFile(dir + "/default.txt");
  const BillTable builtin = DefaultBillTable();
  for (std::size_t i = 0; i < kBillTypeCount; ++i) {
    EXPECT_EQ(standard[i].Describe(), builtin[i].Describe()) << "type " << i;
  }
  const BillTable with_200 = LoadBillTableFile(dir + "/with-200.txt");
  EXPECT_EQ(with_200[8].Describe(), "200 RUS");
  EXPECT_EQ(with_200[7].Describe(), "5000 RUS");
}

TEST(BillTableText, LoadingAMissingFileNamesIt) {
  try {
    LoadBillTableFile("/nonexistent/table.txt");
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("/nonexistent/table.txt"), std::string::npos);
  }
}

}  // namespace
}  // namespace notavero::sim
