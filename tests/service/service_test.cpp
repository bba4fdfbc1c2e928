// notavero-serve's parts that need no socket: the money journal, the client
// messages, the Host/Origin/token checks and the configuration.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

BillEvent Event(RowKind kind, int64_t amount = 1000000, const std::string& device = "kiosk") {
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
    escrow = journal.Append(Event(RowKind::kEscrow));
    journal.SetDecision(escrow, BillDecision::kStack, DecidedBy::kClient);
    stacked = journal.Append(Event(RowKind::kStacked));
    second = journal.Append(Event(RowKind::kStacked, 500000));
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
  EXPECT_EQ(events[0].decision.Text(), "stack");
  EXPECT_EQ(events[0].detail, "client");
  EXPECT_TRUE(events[1].acked);
  EXPECT_EQ(journal.Since(0, 2).size(), 2U);
  // Ids are never reused, also after the newest row is gone.
  EXPECT_GT(journal.Append(Event(RowKind::kReturned)), second);
}

TEST(JournalTest, AcknowledgingALaterStackedEventLeavesAnEarlierOneToBeReplayed) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  const int64_t first = journal.Append(Event(RowKind::kStacked));
  const int64_t second = journal.Append(Event(RowKind::kStacked, 500000));
  EXPECT_EQ(journal.Ack(second), Journal::AckResult::kAcked);
  const auto events = journal.Since(second, 100);
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].id, first);
  EXPECT_FALSE(events[0].acked);
  EXPECT_EQ(journal.Ack(first), Journal::AckResult::kAcked);
  EXPECT_TRUE(journal.Since(second, 100).empty());
}

constexpr int64_t kHundred = 1000000;

TEST(JournalTest, AForeignOutcomeIsARepeatOnlyWhenTheDevicesLastEscrowHasThatStackedBill) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  using Foreign = Journal::Foreign;
  const auto resolve = [&](const std::string& device, RowKind kind, int64_t amount = kHundred,
                           int32_t type = 0) { return journal.ResolveForeign(device, kind, amount, type); };
  // Nothing journaled for this device: the outcome is new.
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kOutcome);
  // An escrow without an outcome (killed between the decision and the outcome).
  journal.Append(Event(RowKind::kEscrow));
  journal.Append(Event(RowKind::kRejected, 0));
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kOutcome);
  // Its outcome journaled (killed before the device took the acknowledge).
  journal.Append(Event(RowKind::kStacked));
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kRepeat);
  journal.Append(Event(RowKind::kRepeat));
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kRepeat);
  // Another bill (its escrow was never journaled) is no repeat of this one.
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked, 5000000), Foreign::kOutcome);
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked, kHundred, 3), Foreign::kOutcome);
  // A return is never a repeat: a returned row too many is no money.
  EXPECT_EQ(resolve("kiosk", RowKind::kReturned), Foreign::kOutcome);
  journal.Append(Event(RowKind::kReturned));
  EXPECT_EQ(resolve("kiosk", RowKind::kReturned), Foreign::kOutcome);
  // Another device's rows count for nothing here, in either direction.
  journal.Append(Event(RowKind::kEscrow, kHundred, "left"));
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kRepeat);
  EXPECT_EQ(resolve("left", RowKind::kStacked), Foreign::kOutcome);
  // A later escrow of this device starts over.
  journal.Append(Event(RowKind::kEscrow));
  EXPECT_EQ(resolve("kiosk", RowKind::kStacked), Foreign::kOutcome);
}

TEST(JournalTest, ALaterOutcomeOfABillJournaledUnconfirmedAtAStopResolvesItsRowOnce) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  // The device lost the bill in a power cut: its row is final.  The next
  // bill of that type and amount, whose escrow a killed run never
  // journaled, is another bill and leaves the row open.
  journal.Append(Event(RowKind::kEscrow));
  BillEvent lost = Event(RowKind::kUnconfirmed);
  lost.detail = "escrow #1 was decided stack before a restart, and the device held no report of it";
  const int64_t final_row = journal.Append(lost);
  const BillEvent next = journal.RecordOutcome(Event(RowKind::kReturned), true);
  EXPECT_EQ(next.detail, "foreign") << "resolved the row of a lost bill: " << final_row;
  EXPECT_EQ(ResolvedId(next), 0);

  // The service stopped before the outcome came: the device still holds it.
  journal.Append(Event(RowKind::kEscrow));
  BillEvent at_stop = Event(RowKind::kUnconfirmed);
  at_stop.detail = kNoOutcomeBeforeStop;
  const int64_t unconfirmed = journal.Append(at_stop);
  // Another bill's outcome resolves nothing.
  EXPECT_EQ(journal.RecordOutcome(Event(RowKind::kStacked, 5000000), true).detail, "foreign");
  const BillEvent stacked = journal.RecordOutcome(Event(RowKind::kStacked), true);
  EXPECT_EQ(stacked.kind.Text(), "stacked");
  EXPECT_EQ(stacked.detail, "resolves #" + std::to_string(unconfirmed));
  EXPECT_EQ(ResolvedId(stacked), unconfirmed);
  // Reported again (the acknowledge lost): a repeat, not a second bill.
  EXPECT_EQ(journal.RecordOutcome(Event(RowKind::kStacked), true).kind.Text(), "repeat");
}

// Probe and the start both replay the fallback file; the live path may
// journal the same outcome with its line's key.  Each line is one row.
TEST(JournalTest, TheFallbackFileIsAppliedOnceByKeyAndNeverReadAgain) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  const int64_t escrow = journal.Append(Event(RowKind::kEscrow));
  const int64_t decided = journal.Append(Event(RowKind::kEscrow));
  journal.SetDecision(decided, BillDecision::kStack, DecidedBy::kClient);
  const std::string live_key = Journal::NewKey();
  const std::string stacked_key = Journal::NewKey();
  EXPECT_EQ(live_key.size(), 32U);
  EXPECT_NE(live_key, stacked_key);
  ASSERT_TRUE(journal.WriteFallback(
      R"({"key":")" + stacked_key +
      R"(","time":1,"device":"kiosk","kind":"stacked","amount":1000000,"bill_type":4,"journaled":false})"));
  ASSERT_TRUE(journal.WriteFallback(R"({"key":")" + Journal::NewKey() +
                                    R"(","device":"kiosk","kind":"decision","id":)" + std::to_string(escrow) +
                                    R"(,"decision":"return","by":"journal-error","journaled":false})"));
  // A decision for an escrow decided meanwhile does not overwrite it.
  ASSERT_TRUE(journal.WriteFallback(
      R"({"key":")" + Journal::NewKey() + R"(","device":"kiosk","kind":"decision","id":)" +
      std::to_string(decided) + R"(,"decision":"return","by":"journal-error","journaled":false})"));
  ASSERT_TRUE(
      journal.WriteFallback(R"({"key":")" + live_key +
                            R"(","device":"kiosk","kind":"rejected","bill_type":104,"journaled":false})"));
  ASSERT_TRUE(
      journal.WriteFallback(R"({"device":"kiosk","kind":"unconfirmed","amount":500000,"journaled":false})"));
  ASSERT_TRUE(
      journal.WriteFallback(R"({"key":")" + stacked_key + R"(","kind":"stacked","journaled":true,"id":99})"));
  // The live path took one line's row first.
  BillEvent rejected = Event(RowKind::kRejected, 0);
  rejected.key = live_key;
  const int64_t live = journal.Append(rejected);

  const auto replayed = journal.ReplayFallback();
  EXPECT_EQ(replayed.written.size(), 1U);  // the stacked row; decisions are no rows
  EXPECT_EQ(replayed.already, 1U);
  EXPECT_EQ(replayed.unkeyed, 1U);
  ASSERT_FALSE(std::filesystem::exists(journal.FallbackPath()));
  struct stat moved {};
  ASSERT_EQ(::stat(replayed.moved_to.c_str(), &moved), 0) << replayed.moved_to;
  EXPECT_EQ(moved.st_mode & 0777, 0600U);
  EXPECT_TRUE(replayed.moved_to.ends_with(".applied"));
  const auto rows = journal.Since(0, 100);
  std::vector<std::tuple<std::string, std::string, std::string>> seen;
  for (const auto& row : rows) {
    seen.emplace_back(row.kind.Text(), row.decision.Text(), row.detail);
  }
  EXPECT_EQ(seen, (std::vector<std::tuple<std::string, std::string, std::string>>{
                      {"escrow", "return", "journal-error"},
                      {"escrow", "stack", "client"},
                      {"rejected", "", ""},
                      {"stacked", "", ""}}));
  EXPECT_EQ(rows[2].id, live);
  // Replayed again (a crash before the rename): nothing doubles.
  std::filesystem::rename(replayed.moved_to, journal.FallbackPath());
  const auto again = journal.ReplayFallback();
  EXPECT_TRUE(again.written.empty());
  EXPECT_EQ(again.already, 4U);  // every keyed line, the decision it did not apply too
  EXPECT_EQ(journal.Since(0, 100).size(), rows.size());
  // The live path after the replay: the row is the replayed one.
  BillEvent late = Event(RowKind::kStacked);
  late.code = 4;
  late.key = stacked_key;
  EXPECT_EQ(journal.RecordOutcome(late, false).id, rows[3].id);
  EXPECT_EQ(journal.Since(0, 100).size(), rows.size());
}

// What was synced, and how much of the file it held then.
std::vector<std::pair<bool, off_t>> g_syncs;

int RecordSync(int fd) {
  struct stat status {};
  ::fstat(fd, &status);
  g_syncs.emplace_back(S_ISDIR(status.st_mode), status.st_size);
  return ::fsync(fd);
}

TEST(JournalTest, AFallbackLineIsSyncedWithItsDirectoryOnceWrittenWhole) {
  TempDir dir;
  Journal journal(dir.File("journal.sqlite"));
  journal.SetSyncForTest(&RecordSync);
  g_syncs.clear();
  const std::string line = R"({"key":"k","kind":"stacked","journaled":false})";
  ASSERT_TRUE(journal.WriteFallback(line));
  ASSERT_TRUE(journal.WriteFallback(line));
  const auto size = static_cast<off_t>(line.size() + 1);
  // The file, after its line was written whole, then its directory (the
  // name of a file just made); each time.
  ASSERT_EQ(g_syncs.size(), 4U);
  EXPECT_EQ(g_syncs[0], std::make_pair(false, size));
  EXPECT_TRUE(g_syncs[1].first);
  EXPECT_EQ(g_syncs[2], std::make_pair(false, 2 * size));
  EXPECT_TRUE(g_syncs[3].first);
}

// A scan of the events table grows with the journal and holds the server's
// thread and the journal's lock meanwhile.  Scans of the partial indexes
// (undecided escrows, unacknowledged stacked bills) stay small.
// Runs SQL on a journal behind the service's back, as a person with the
// sqlite3 tool would.
void Tamper(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(JournalTest, AJournalKeepsItsIdentityAndItsChainFindsAnEditedOrRemovedRow) {
  TempDir dir;
  const std::string path = dir.File("journal.sqlite");
  std::string identity;
  std::vector<int64_t> ids;
  {
    Journal journal(path);
    identity = journal.Identity();
    for (const RowKind kind : {RowKind::kEscrow, RowKind::kStacked, RowKind::kEscrow, RowKind::kReturned,
                               RowKind::kEscrow, RowKind::kStacked}) {
      ids.push_back(journal.Append(Event(kind)));
    }
    journal.SetDecision(ids[0], BillDecision::kStack,
                        DecidedBy::kClient);  // a decision comes after its row: not in the chain
  }
  EXPECT_EQ(identity.size(), 32U);
  EXPECT_EQ(Journal(path).Identity(), identity) << "the identity changed when the journal was opened again";
  EXPECT_NE(Journal(dir.File("other.sqlite")).Identity(), identity);
  JournalVerdict verdict = VerifyJournal(path);
  EXPECT_TRUE(verdict.ok) << verdict.problem << " at row " << verdict.first_bad;
  EXPECT_EQ(verdict.rows, 6);

  Tamper(path, "UPDATE events SET amount = 50000000 WHERE id = " + std::to_string(ids[3]));
  verdict = VerifyJournal(path);
  EXPECT_FALSE(verdict.ok);
  EXPECT_EQ(verdict.first_bad, ids[3]) << "an edited amount";
  Tamper(path, "UPDATE events SET amount = 1000000 WHERE id = " + std::to_string(ids[3]));
  EXPECT_TRUE(VerifyJournal(path).ok) << "the amount put back";
  Tamper(path, "DELETE FROM events WHERE id = " + std::to_string(ids[1]));
  verdict = VerifyJournal(path);
  EXPECT_EQ(verdict.first_bad, ids[2]) << "a removed row shows at the row after it";
}

TEST(JournalTest, AJournalOfAnOlderVersionGetsAnIdentityAndAChainFromItsNextRow) {
  TempDir dir;
  const std::string path = dir.File("journal.sqlite");
  Tamper(
      path,
      "CREATE TABLE events(id INTEGER PRIMARY KEY AUTOINCREMENT, time_ms INTEGER NOT NULL, device TEXT NOT "
      "NULL, kind TEXT NOT NULL, amount INTEGER NOT NULL DEFAULT 0, code INTEGER NOT NULL DEFAULT 0, "
      "decision TEXT, detail TEXT, acked_ms INTEGER);"
      "INSERT INTO events(time_ms, device, kind, amount) VALUES(1, 'kiosk', 'escrow', 1000000),"
      "(2, 'kiosk', 'stacked', 1000000);");
  EXPECT_FALSE(VerifyJournal(path).ok) << "no chain yet";
  int64_t next = 0;
  {
    Journal journal(path);
    EXPECT_EQ(journal.Since(0, 10).size(), 2U) << "the old rows stay";
    next = journal.Append(Event(RowKind::kEscrow));
    journal.Append(Event(RowKind::kStacked));
  }
  const JournalVerdict verdict = VerifyJournal(path);
  EXPECT_TRUE(verdict.ok) << verdict.problem;
  EXPECT_EQ(verdict.chain_from, 3);
  EXPECT_EQ(next, 3);
  EXPECT_EQ(verdict.rows, 2);
}

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
  BillEvent event = Event(RowKind::kEscrow);
  event.id = 7;
  event.time_ms = 1000;
  event.decision = BillDecision::kReturn;
  event.detail = "no-client";
  EXPECT_EQ(BillEventJson(event),
            R"({"type":"escrow","id":7,"device":"kiosk","time":1000,"amount":1000000,"bill_type":0,)"
            R"("decision":"return",)"
            R"("by":"no-client"})");
  EXPECT_EQ(JsonObject().Add("text", "\xC2\xA0\"\n\xFF").Text(),
            "{\"text\":\"\xC2\xA0\\\"\\n\xEF\xBF\xBD\"}");
}

// Every word as journals, ledgers and clients hold it (the texts never
// change), and texts that are none of them: each refused, and kept as read.
template <typename E>
void ExpectTerms(const std::vector<std::pair<E, std::string_view>>& stored,
                 const std::vector<std::string_view>& unknown) {
  EXPECT_EQ(stored.size(), kTerms<E>.size()) << "a word without its stored text here";
  for (const auto& [value, text] : stored) {
    EXPECT_EQ(TermText(value), text);
    EXPECT_EQ(ParseTerm<E>(text), value) << text;
    EXPECT_TRUE(Term<E>::Read(text) == value) << text;
    EXPECT_EQ(Term<E>(value).Text(), text);
  }
  for (const std::string_view text : unknown) {
    EXPECT_EQ(ParseTerm<E>(text), std::nullopt) << "'" << text << "' read as a word";
    const Term<E> kept = Term<E>::Read(text);
    EXPECT_EQ(kept.Known(), std::nullopt) << text;
    EXPECT_EQ(kept.Text(), text);
    for (const auto& [value, known] : stored) {
      EXPECT_FALSE(kept == value) << "'" << text << "' equals " << known;
    }
  }
}

TEST(TermsTest, EveryWordReadsBackFromItsTextAndAnyOtherTextIsRefusedButKept) {
  using K = RowKind;
  ExpectTerms<RowKind>({{K::kEscrow, "escrow"},
                        {K::kStacked, "stacked"},
                        {K::kReturned, "returned"},
                        {K::kRejected, "rejected"},
                        {K::kUnconfirmed, "unconfirmed"},
                        {K::kRepeat, "repeat"},
                        {K::kCollection, "collection"},
                        {K::kCassetteIn, "cassette-in"}},
                       {"", "Stacked", "stacked ", "decision", "cassette_in", "stack"});
  ExpectTerms<BillDecision>(
      {{BillDecision::kNone, ""}, {BillDecision::kStack, "stack"}, {BillDecision::kReturn, "return"}},
      {"Stack", "stacked", "later", " "});
  using B = DecidedBy;
  ExpectTerms<DecidedBy>({{B::kClient, "client"},
                          {B::kTimeout, "timeout"},
                          {B::kNoClient, "no-client"},
                          {B::kClosing, "closing"},
                          {B::kRestart, "restart"},
                          {B::kJournalError, "journal-error"}},
                         {"", "no_client", "Client", "foreign"});

  // The journal's statements spell the words they look for in SQL: each is
  // one of ours.
  const std::regex quoted(R"((kind|decision) (= ('[^']*')|IN \(('[^)]*)\)))");
  const std::regex word("'([^']*)'");
  int words_seen = 0;
  for (const std::string sql : Journal::Queries()) {
    for (auto match = std::sregex_iterator(sql.begin(), sql.end(), quoted); match != std::sregex_iterator();
         ++match) {
      const std::string words = (*match)[3].str() + (*match)[4].str();
      for (auto each = std::sregex_iterator(words.begin(), words.end(), word); each != std::sregex_iterator();
           ++each) {
        const std::string text = (*each)[1].str();
        ++words_seen;
        EXPECT_TRUE((*match)[1] == "kind" ? ParseTerm<RowKind>(text).has_value()
                                          : ParseTerm<BillDecision>(text).has_value())
            << "'" << text << "' in " << sql;
      }
    }
  }
  EXPECT_GE(words_seen, 15) << "the statements' words were not found";

  // A row another program wrote with words this version does not know is
  // replayed as it was, never as one of ours.
  TempDir dir;
  const std::string path = dir.File("journal.sqlite");
  Journal(path).Append(Event(RowKind::kStacked));
  Tamper(path,
         "INSERT INTO events(time_ms, device, kind, amount, decision, detail) "
         "VALUES(5, 'kiosk', 'refund', 1000000, 'later', 'by hand')");
  const auto rows = Journal(path).Since(0, 10);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[1].kind.Known(), std::nullopt);
  EXPECT_EQ(rows[1].decision.Known(), std::nullopt);
  EXPECT_EQ(BillEventJson(rows[1]),
            R"({"type":"refund","id":)" + std::to_string(rows[1].id) + R"(,"device":"kiosk","time":5})");
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
  // An unknown option is called unknown, wherever it stands; --version is a flag.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--device", "/x", "--foo"}, std::vector<std::string>{"--foo"}}) {
    try {
      ParseConfig(args);
      ADD_FAILURE() << "--foo was taken";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "unknown option --foo");
    }
  }
  EXPECT_TRUE(ParseConfig({"--version"}).version);
}

TEST(ConfigTest, TheServiceManagersStateDirectoryIsKeptBesideTheOneChosen) {
  // systemd lists the directories of StateDirectory= with ':'; the first is the service's.
  ASSERT_EQ(::setenv("STATE_DIRECTORY", "/var/lib/serve:/var/lib/other", 1), 0);
  const Config managed = ParseConfig({"--device", "/dev/a"});
  const Config chosen = ParseConfig({"--device", "/dev/a", "--state-dir", "/s"});
  ::unsetenv("STATE_DIRECTORY");
  const Config outside = ParseConfig({"--device", "/dev/a"});
  EXPECT_EQ(managed.state_dir, "/var/lib/serve");
  EXPECT_EQ(managed.manager_state_dir, "/var/lib/serve");
  EXPECT_EQ(managed.journal, "/var/lib/serve/journal.sqlite");
  EXPECT_EQ(chosen.state_dir, "/s");
  EXPECT_EQ(chosen.manager_state_dir, "/var/lib/serve");
  EXPECT_EQ(outside.state_dir, "/var/lib/notavero-serve");
  EXPECT_EQ(outside.manager_state_dir, "");
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
    journal.Append(Event(RowKind::kStacked, amount));
    cassette.Stacked(amount);
  }
  journal.Append(Event(RowKind::kUnconfirmed, 500000));
  cassette.Unconfirmed(500000);
  journal.Append(Event(RowKind::kStacked, 1000000, "other"));  // another validator's cassette
  EXPECT_FALSE(cassette.State(0x10, 1500));                    // power-up says nothing of the cassette
  auto collection = cassette.State(0x142, 2000);               // 0x42 with a sub-code
  ASSERT_TRUE(collection.has_value());
  EXPECT_EQ((std::tuple{std::string(collection->kind.Text()), collection->amount, collection->code}),
            (std::tuple{std::string("collection"), int64_t{7000000}, 3}));
  EXPECT_EQ(collection->detail,
            R"({"inserted_ms":null,"removed_ms":2000,"by_value":{"100":2,"500":1},"unconfirmed":1,)"
            R"("unconfirmed_amount":500000})");
  record(collection);
  EXPECT_FALSE(cassette.State(0x42, 2500));  // reported again: one collection
  EXPECT_FALSE(cassette.Content().present);
  record(cassette.State(0x19, 3000));  // back in
  journal.Append(Event(RowKind::kStacked, 500000));
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
