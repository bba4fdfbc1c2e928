// notavero-serve's parts that need no socket: the money journal, the client
// messages, the Host/Origin/token checks and the configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "service/cassette.h"
#include "service/config.h"
#include "service/journal.h"
#include "service/ledger.h"
#include "service/messages.h"
#include "service/metrics.h"
#include "service/security.h"

namespace notavero::service {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serve-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

BillEvent Event(const std::string& kind, int64_t amount = 1000000, const std::string& device = "kiosk") {
  BillEvent event;
  event.device = device;
  event.kind = kind;
  event.amount = amount;
  return event;
}

TEST(JournalTest, ReplaysLaterEventsAndUnacknowledgedStackedOnesAcrossReopening) {
  TempDir dir;
  int64_t escrow = 0;
  int64_t stacked = 0;
  int64_t second = 0;
  {
    Journal journal(dir.File("journal.sqlite"));
    escrow = journal.Append(Event("escrow"));
    journal.SetDecision(escrow, "stack", "client");
    stacked = journal.Append(Event("stacked"));
    second = journal.Append(Event("stacked", 500000));
    EXPECT_LT(escrow, stacked);
    EXPECT_LT(stacked, second);
    EXPECT_EQ(journal.Ack(stacked), Journal::AckResult::kAcked);
    EXPECT_EQ(journal.Ack(stacked), Journal::AckResult::kAlreadyAcked);
    EXPECT_EQ(journal.Ack(escrow), Journal::AckResult::kNotStacked);
    EXPECT_EQ(journal.Ack(second + 1), Journal::AckResult::kNotStacked);
  }
  Journal journal(dir.File("journal.sqlite"));  // as after a restart
  EXPECT_EQ(journal.LastId(), second);
  // A client that has seen everything still gets the stacked bill it has not acknowledged.
  auto events = journal.Since(second, 100);
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].id, second);
  EXPECT_EQ(events[0].amount, 500000);
  EXPECT_FALSE(events[0].acked);

  events = journal.Since(0, 100);
  ASSERT_EQ(events.size(), 3U);
  EXPECT_EQ(events[0].decision, "stack");
  EXPECT_EQ(events[0].detail, "client");
  EXPECT_TRUE(events[1].acked);
  EXPECT_EQ(journal.Since(0, 2).size(), 2U);
  // Ids are never reused, also after the newest row is gone.
  EXPECT_GT(journal.Append(Event("returned")), second);
}

TEST(JournalTest, AcknowledgingALaterStackedEventLeavesAnEarlierOneToBeReplayed) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  const int64_t first = journal.Append(Event("stacked"));
  const int64_t second = journal.Append(Event("stacked", 500000));
  EXPECT_EQ(journal.Ack(second), Journal::AckResult::kAcked);
  const auto events = journal.Since(second, 100);
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].id, first);
  EXPECT_FALSE(events[0].acked);
  EXPECT_EQ(journal.Ack(first), Journal::AckResult::kAcked);
  EXPECT_TRUE(journal.Since(second, 100).empty());
}

TEST(JournalTest, AForeignOutcomeIsARepeatOnlyWhenTheDevicesLastEscrowHasThatOutcome) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  using Foreign = Journal::Foreign;
  // Nothing journaled for this device: the outcome is new.
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kOutcome);
  // An escrow without an outcome (killed between the decision and the outcome).
  journal.Append(Event("escrow"));
  journal.Append(Event("rejected", 0));
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kOutcome);
  // Its outcome journaled (killed before the device took the acknowledge).
  journal.Append(Event("stacked"));
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kRepeat);
  journal.Append(Event("repeat"));
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kRepeat);
  // A bill the driver returned by itself is no repeat of a stacked one.
  EXPECT_EQ(journal.ResolveForeign("kiosk", "returned"), Foreign::kOutcome);
  // Another device's rows count for nothing here, in either direction.
  journal.Append(Event("escrow", 1000000, "left"));
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kRepeat);
  EXPECT_EQ(journal.ResolveForeign("left", "stacked"), Foreign::kOutcome);
  // A later escrow of this device starts over.
  journal.Append(Event("escrow"));
  EXPECT_EQ(journal.ResolveForeign("kiosk", "stacked"), Foreign::kOutcome);
}

// A scan of the events table grows with the journal and holds the server's
// thread and the journal's lock meanwhile.  Scans of the partial indexes
// (undecided escrows, unacknowledged stacked bills) stay small.
TEST(JournalTest, NoQuerySearchesTheWholeTable) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  for (const char* sql : Journal::Queries()) {
    for (const std::string& line : journal.QueryPlan(sql)) {
      const bool table_scan = line.starts_with("SCAN") &&
                              line.find("USING INDEX undecided") == std::string::npos &&
                              line.find("USING INDEX unacked") == std::string::npos;
      EXPECT_FALSE(table_scan) << sql << "\n  " << line;
    }
  }
}

TEST(MessagesTest, ParsesCommandsAndNamesWhatIsWrong) {
  auto parsed = ParseCommand(R"({"cmd":"hello","token":"abc","since":41,"ref":"r"})");
  ASSERT_TRUE(parsed.command) << parsed.error;
  EXPECT_EQ(parsed.command->kind, CommandKind::kHello);
  EXPECT_EQ(parsed.command->token, "abc");
  EXPECT_EQ(parsed.command->since, 41);
  EXPECT_EQ(parsed.command->ref, "r");
  parsed = ParseCommand(R"({"cmd":"stack","id":12})");
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ(parsed.command->id, 12);
  parsed = ParseCommand(R"({"cmd":"enable","device":"left"})");
  ASSERT_TRUE(parsed.command);
  EXPECT_EQ(parsed.command->device, "left");

  const std::pair<const char*, const char*> bad[] = {
      {"", "not JSON"},
      {"[1]", "not a JSON object"},
      {R"({"id":1})", "cmd missing"},
      {R"({"cmd":"fly"})", "unknown cmd"},
      {R"({"cmd":"ack"})", "id missing"},
      {R"({"cmd":"ack","id":0})", "id is out of range"},
      {R"({"cmd":"ack","id":1.5})", "id must be an integer"},
      {R"({"cmd":"ack","id":18446744073709551615})", "id must be an integer"},
      {R"({"cmd":"stack","id":1,"device":"a"})", "unexpected field \"device\""},
      {R"({"cmd":"status","since":1})", "unexpected field \"since\""},
      {R"({"cmd":"hello","since":-1})", "since is out of range"},
  };
  for (const auto& [text, error] : bad) {
    parsed = ParseCommand(text);
    EXPECT_FALSE(parsed.command) << text;
    EXPECT_EQ(parsed.error, error) << text;
  }
  EXPECT_EQ(ParseCommand(R"({"cmd":"fly","ref":"x"})").ref, "x");
  EXPECT_EQ(ParseCommand(std::string(kMaxMessageBytes + 1, ' ')).error, "message too large");
  EXPECT_EQ(ParseCommand(R"({"cmd":"enable","device":")" + std::string(65, 'd') + "\"}").error,
            "device is too long");
}

TEST(MessagesTest, EventsAreFlatJson) {
  BillEvent event = Event("escrow");
  event.id = 7;
  event.time_ms = 1000;
  event.decision = "return";
  event.detail = "no-client";
  EXPECT_EQ(BillEventJson(event),
            R"({"type":"escrow","id":7,"device":"kiosk","time":1000,"amount":1000000,"bill_type":0,)"
            R"("decision":"return",)"
            R"("by":"no-client"})");
  EXPECT_EQ(JsonObject().Add("text", "\xC2\xA0\"\n\xFF").Text(),
            "{\"text\":\"\xC2\xA0\\\"\\n\xEF\xBF\xBD\"}");
}

TEST(SecurityTest, OnlyTheServicesOwnHostOriginAndToken) {
  AccessPolicy policy;
  policy.hosts = OwnHosts("127.0.0.1", 8765);
  policy.origins = OwnOrigins("127.0.0.1", 8765);
  policy.token = "0123456789abcdef0123";
  EXPECT_TRUE(HostAllowed(policy, "127.0.0.1:8765"));
  EXPECT_TRUE(HostAllowed(policy, "LOCALHOST:8765"));
  EXPECT_FALSE(HostAllowed(policy, "localhost"));
  EXPECT_FALSE(HostAllowed(policy, "evil.example:8765"));  // a rebound name
  EXPECT_FALSE(HostAllowed(policy, ""));
  EXPECT_TRUE(OriginAllowed(policy, "http://localhost:8765", true));
  EXPECT_TRUE(OriginAllowed(policy, "", false));
  EXPECT_FALSE(OriginAllowed(policy, "null", true));
  EXPECT_FALSE(OriginAllowed(policy, "http://localhost:8766", true));
  EXPECT_FALSE(OriginAllowed(policy, "https://127.0.0.1:8765", true));
  EXPECT_TRUE(BearerAllowed(policy, "Bearer 0123456789abcdef0123"));
  EXPECT_FALSE(BearerAllowed(policy, "Bearer 0123456789abcdef012"));
  EXPECT_FALSE(BearerAllowed(policy, "Bearer 0123456789abcdef01234"));
  EXPECT_FALSE(BearerAllowed(policy, "Basic 0123456789abcdef0123"));
  EXPECT_FALSE(TokenEquals("", ""));
  EXPECT_EQ(OwnHosts("::1", 80),
            (std::vector<std::string>{"[::1]:80", "localhost:80", "[::1]", "localhost"}));
}

// Origins are whole values: one with characters after an allowed one is
// another site.
TEST(SecurityTest, AnOriginThatOnlyStartsLikeAnAllowedOneIsRefused) {
  AccessPolicy on80;
  on80.origins = OwnOrigins("127.0.0.1", 80);
  EXPECT_TRUE(OriginAllowed(on80, "http://localhost", true));
  EXPECT_FALSE(OriginAllowed(on80, "http://localhost.evil.example", true));
  AccessPolicy on8765;
  on8765.origins = OwnOrigins("127.0.0.1", 8765);
  EXPECT_TRUE(OriginAllowed(on8765, "http://127.0.0.1:8765", true));
  EXPECT_FALSE(OriginAllowed(on8765, "http://127.0.0.1:87650", true));
}

TEST(SecurityTest, TokenFileIsCreatedPrivateAndReadBack) {
  TempDir dir;
  const std::string path = dir.File("token");
  const std::string token = LoadOrCreateToken(path);
  EXPECT_EQ(token.size(), 64U);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  EXPECT_EQ(LoadOrCreateToken(path), token);
  ::chmod(path.c_str(), 0644);
  EXPECT_THROW(LoadOrCreateToken(path), std::runtime_error);
}

TEST(ConfigTest, FileThenOptions) {
  TempDir dir;
  const std::string file = dir.File("serve.conf");
  std::ofstream(file) << "# kiosk\ndevice = left=/dev/ttyUSB0\nhttp-port 9000\nescrow-timeout=2500\n"
                         "allow-origin = http://kiosk.local\n";
  const Config config = ParseConfig({"--config", file, "--port", "right=3", "--http-port=9001", "--enable"});
  ASSERT_EQ(config.devices.size(), 2U);
  EXPECT_EQ(config.devices[0].name, "left");
  EXPECT_EQ(config.devices[0].path, "/dev/ttyUSB0");
  EXPECT_EQ(config.devices[1].name, "right");
  EXPECT_EQ(config.devices[1].port, 3);
  EXPECT_EQ(config.http_port, 9001U);
  EXPECT_EQ(config.escrow_timeout.count(), 2500);
  EXPECT_EQ(config.allow_origins, std::vector<std::string>{"http://kiosk.local"});
  EXPECT_TRUE(config.enable);
  EXPECT_EQ(ParseConfig({"--device", "/dev/a", "--device", "/dev/b", "--state-dir", "/s"}).devices[1].name,
            "v2");
  EXPECT_EQ(ParseConfig({"--device", "/dev/a", "--state-dir", "/s"}).journal, "/s/journal.sqlite");
  EXPECT_THROW(ParseConfig({}), std::invalid_argument);
  EXPECT_THROW(ParseConfig({"--device", "a=/x", "--device", "a=/y"}), std::invalid_argument);
  EXPECT_THROW(ParseConfig({"--device", "/x", "--http-port", "70000"}), std::invalid_argument);
  EXPECT_THROW(ParseConfig({"--device", "/x", "--bogus", "1"}), std::invalid_argument);
}

TEST(LedgerTest, ConnectionStringsRefuseAPasswordAndCheckARemoteServersCertificate) {
  EXPECT_THROW(LedgerConninfo("host=ledger.example dbname=notavero password=x"), std::invalid_argument);
  EXPECT_THROW(LedgerConninfo("host=ledger.example dbname='unclosed"), std::invalid_argument);
  const auto remote = LedgerConninfo("host=ledger.example dbname=notavero user=k1");
  EXPECT_NE(remote.find("sslmode=verify-full"), std::string::npos) << remote;
  EXPECT_NE(remote.find("connect_timeout=5"), std::string::npos) << remote;
  // A host list is remote when one of its hosts is.
  EXPECT_NE(LedgerConninfo("host=localhost,ledger.example").find("verify-full"), std::string::npos);
  // A name is not an address: one that begins like a loopback address is remote.
  EXPECT_NE(LedgerConninfo("host=127.evil.example").find("verify-full"), std::string::npos);
  EXPECT_THROW(LedgerConninfo("host=ledger.example sslpassword=x"), std::invalid_argument);
  EXPECT_THROW(LedgerConninfo("postgresql://k1:x@ledger.example/notavero"), std::invalid_argument);
  // A service file names the mode, or libpq's default holds; the check
  // after connecting decides.
  for (const char* local :
       {"host=/run/postgresql dbname=n", "host=localhost", "hostaddr=127.0.0.1", "host=127.0.0.2", "host=::1",
        "host=ledger.example sslmode=require", "service=ledger"}) {
    EXPECT_EQ(LedgerConninfo(local).find("verify-full"), std::string::npos) << local;
  }
}

TEST(CassetteTest, ACollectionHoldsTheBillsSinceInsertionAndARestartRebuildsTheCurrentOne) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  Cassette cassette("kiosk");
  const auto record = [&](std::optional<BillEvent> row) {
    ASSERT_TRUE(row.has_value());
    row->device = "kiosk";
    journal.Append(*row);
  };
  EXPECT_FALSE(cassette.State(0x14, 1000));  // at work: nothing to journal
  for (const int64_t amount : {1000000, 1000000, 5000000}) {
    journal.Append(Event("stacked", amount));
    cassette.Stacked(amount);
  }
  journal.Append(Event("unconfirmed", 500000));
  cassette.Unconfirmed(500000);
  journal.Append(Event("stacked", 1000000, "other"));  // another validator's cassette
  EXPECT_FALSE(cassette.State(0x10, 1500));            // power-up says nothing of the cassette
  auto collection = cassette.State(0x142, 2000);       // 0x42 with a sub-code
  ASSERT_TRUE(collection.has_value());
  EXPECT_EQ((std::tuple{collection->kind, collection->amount, collection->code}),
            (std::tuple{std::string("collection"), int64_t{7000000}, 3}));
  EXPECT_EQ(collection->detail,
            R"({"inserted_ms":null,"removed_ms":2000,"by_value":{"100":2,"500":1},"unconfirmed":1,)"
            R"("unconfirmed_amount":500000})");
  record(collection);
  EXPECT_FALSE(cassette.State(0x42, 2500));  // reported again: one collection
  EXPECT_FALSE(cassette.Content().present);
  record(cassette.State(0x19, 3000));  // back in
  journal.Append(Event("stacked", 500000));
  cassette.Stacked(500000);

  Cassette restarted("kiosk");
  restarted.Restore(journal.Path());
  const auto content = restarted.Content();
  EXPECT_TRUE(content.present);
  EXPECT_GT(content.inserted_ms, 0);
  EXPECT_EQ(
      (std::tuple{content.bills, content.amount, content.unconfirmed, content.by_value}),
      (std::tuple{uint64_t{1}, int64_t{500000}, uint64_t{0}, std::map<int64_t, uint64_t>{{500000, 1}}}));
}

TEST(MetricsTest, AmountsAndStackedByValue) {
  EXPECT_EQ(AmountText(1000000), "100");
  EXPECT_EQ(AmountText(5000), "0.5");
  EXPECT_EQ(AmountText(12345), "1.2345");
  ValidatorSnapshot snapshot;
  snapshot.name = "kiosk";
  snapshot.stacked_by_value["100"] = 3;
  snapshot.stacked_amount = 3000000;
  const std::string text = RenderMetrics({snapshot}, ServiceFigures{});
  EXPECT_NE(text.find("\nnotavero_bills_stacked_total{device=\"kiosk\",value=\"100\"} 3\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nnotavero_stacked_amount_total{device=\"kiosk\"} 300\n"), std::string::npos);
  EXPECT_NE(text.find("\nnotavero_last_answer_age_seconds{device=\"kiosk\"} -1\n"), std::string::npos);
}

}  // namespace
}  // namespace notavero::service
