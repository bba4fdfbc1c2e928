#include "service/journal.h"

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "service/digest.h"
#include "service/platform.h"
#include "service/sqlite.h"

namespace notavero::service {

namespace {

// The link before a journal's first chained row.
constexpr std::string_view kChainStart = "0000000000000000000000000000000000000000000000000000000000000000";

}  // namespace

// A row's link: SHA-256 over the link before it and the row's content, each
// field as its length and its bytes, so that no two rows read alike.  An
// escrow's decision is not part of it: it is set after the row, when the
// decision comes (the outcome's own row follows in the chain).  The time a
// client acknowledged a row is not either.
std::string ChainLink(std::string_view previous, int64_t id, int64_t time_ms, std::string_view device,
                      std::string_view kind, int64_t amount, int64_t code, std::string_view decision,
                      std::string_view detail) {
  std::string content(previous);
  const auto field = [&content](std::string_view value) {
    content += std::to_string(value.size());
    content += ':';
    content += value;
  };
  field(std::to_string(id));
  field(std::to_string(time_ms));
  field(device);
  field(kind);
  field(std::to_string(amount));
  field(std::to_string(code));
  const bool escrow = kind == TermText(RowKind::kEscrow);
  field(escrow ? std::string_view() : decision);
  field(escrow ? std::string_view() : detail);
  Sha256Digest digest{};
  try {
    digest = Sha256(content);
  } catch (const std::runtime_error& error) {
    throw JournalError(std::string("journal: ") + error.what());
  }
  return LowerHex(digest.data(), digest.size());
}

namespace {

std::string NewIdentity() {
  try {
    return RandomHex(16);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(std::string("no random bytes for the journal's identity: ") + error.what());
  }
}

[[noreturn]] void Refused(const std::string& message) {
  throw JournalError("journal: " + message);
}

// The journal's statements: SQLite's refusal is a JournalError.
class Statement : public sqlite::Statement {
 public:
  Statement(sqlite3* db, const char* sql) : sqlite::Statement(db, sql, &Refused) {}
};

// The row a query gives as id, time_ms, device, kind, amount, code,
// decision, detail and whether it is acknowledged, in that order.
BillEvent EventOf(const sqlite::Statement& select) {
  BillEvent event;
  event.id = select.Int(0);
  event.time_ms = select.Int(1);
  event.device = select.Text(2);
  event.kind = Term<RowKind>::Read(select.Text(3));
  event.amount = select.Int(4);
  event.code = static_cast<int32_t>(select.Int(5));  // a bill type, as clients always had it
  event.decision = Term<BillDecision>::Read(select.Text(6));
  event.detail = select.Text(7);
  event.acked = select.Int(8) != 0;
  return event;
}

}  // namespace

constexpr const char* kInsertSql =
    "INSERT INTO events(time_ms, device, kind, amount, code, decision, detail) "
    "VALUES(?, ?, ?, ?, ?, NULLIF(?, ''), NULLIF(?, ''))";
constexpr const char* kDecideSql =
    "UPDATE events SET decision = ?, detail = ? WHERE id = ? AND kind = 'escrow'";
// The link of the row before a new one (its id's neighbour below, by the
// primary key).
constexpr const char* kPreviousLinkSql = "SELECT hash FROM events WHERE id < ? ORDER BY id DESC LIMIT 1";
constexpr const char* kSetLinkSql = "UPDATE events SET hash = ? WHERE id = ?";
constexpr const char* kFindStackedSql = "SELECT acked_ms FROM events WHERE id = ? AND kind = 'stacked'";
constexpr const char* kAckSql = "UPDATE events SET acked_ms = ? WHERE id = ?";
constexpr const char* kLastIdSql = "SELECT COALESCE(MAX(id), 0) FROM events";
constexpr const char* kUndecidedSql =
    "SELECT id FROM events WHERE kind = 'escrow' AND decision IS NULL ORDER BY id";
constexpr const char* kCloseUndecidedSql =
    "UPDATE events SET decision = 'return', detail = ? WHERE kind = 'escrow' AND decision IS NULL";
constexpr const char* kLastEscrowSql =
    "SELECT id FROM events WHERE device = ? AND kind = 'escrow' ORDER BY id DESC LIMIT 1";
constexpr const char* kStackedAfterSql =
    "SELECT 1 FROM events WHERE device = ? AND kind = 'stacked' AND id > ? AND amount = ? AND code = ? LIMIT "
    "1";
constexpr const char* kLastEscrowRowSql =
    "SELECT id, time_ms, amount, code, decision, detail FROM events WHERE device = ? AND kind = 'escrow' "
    "ORDER BY id DESC LIMIT 1";
constexpr const char* kAnyOutcomeAfterSql =
    "SELECT 1 FROM events WHERE device = ? AND kind IN ('stacked', 'returned', 'repeat', 'unconfirmed') "
    "AND id > ? LIMIT 1";
constexpr const char* kLastEscrowOfTypeSql =
    "SELECT amount FROM events WHERE device = ? AND kind = 'escrow' AND code = ? AND amount > 0 "
    "ORDER BY id DESC LIMIT 1";
// The device's latest unconfirmed row after id ?2, and whether an outcome
// after it already resolves it.
constexpr const char* kLastUnconfirmedSql =
    "SELECT id, amount, code, detail FROM events WHERE device = ?1 AND kind = 'unconfirmed' AND id > ?2 "
    "ORDER BY id DESC LIMIT 1";
constexpr const char* kResolvedSql =
    "SELECT 1 FROM events WHERE device = ?1 AND kind IN ('stacked', 'returned') AND id > ?2 AND detail = ?3 "
    "LIMIT 1";
constexpr const char* kRowSql =
    "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL FROM events "
    "WHERE id = ?";
constexpr const char* kDecideUndecidedSql =
    "UPDATE events SET decision = ?, detail = ? WHERE id = ? AND kind = 'escrow' AND decision IS NULL";
constexpr const char* kAppliedSql = "SELECT id FROM applied WHERE key = ?";
constexpr const char* kMarkAppliedSql = "INSERT INTO applied(key, id, time_ms) VALUES(?, ?, ?)";

const char* const Journal::kPageQuery =
    "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL "
    "FROM events WHERE kind = 'stacked' AND acked_ms IS NULL AND id <= ?1 AND id > ?3 "
    "UNION ALL "
    "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL "
    "FROM events WHERE id > MAX(?1, ?3) "
    "ORDER BY id LIMIT ?2";

std::vector<const char*> Journal::Queries() {
  return {kInsertSql,           kDecideSql,          kFindStackedSql,   kAckSql,
          kPageQuery,           kLastIdSql,          kUndecidedSql,     kCloseUndecidedSql,
          kLastEscrowSql,       kStackedAfterSql,    kLastEscrowRowSql, kAnyOutcomeAfterSql,
          kLastEscrowOfTypeSql, kLastUnconfirmedSql, kResolvedSql,      kRowSql,
          kDecideUndecidedSql,  kAppliedSql,         kMarkAppliedSql,   kPreviousLinkSql,
          kSetLinkSql};
}

std::vector<std::string> Journal::QueryPlan(const std::string& sql) {
  const std::scoped_lock lock(mutex_);
  Statement explain(db_, ("EXPLAIN QUERY PLAN " + sql).c_str());
  std::vector<std::string> plan;
  while (explain.Step()) {
    plan.push_back(explain.Text(3));
  }
  return plan;
}

std::string JournalHealthJson(const JournalHealth& health) {
  JsonObject json;
  json.Add("ok", health.ok);
  return health.ok ? json.AddRaw("error", "null").Text() : json.Add("error", health.error).Text();
}

Journal::Journal(const std::string& path) : path_(path) {
  if (sqlite3_open_v2(
          path.c_str(), &db_,
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
          nullptr) != SQLITE_OK) {
    std::string message =
        "cannot open the journal " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close(db_);
    throw std::runtime_error(message);
  }
  try {
    sqlite3_busy_timeout(db_, kStartBusyTimeoutMs);  // short once Started()
    CheckIntact();
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec(
        "CREATE TABLE IF NOT EXISTS events("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " time_ms INTEGER NOT NULL,"
        " device TEXT NOT NULL,"
        " kind TEXT NOT NULL,"
        " amount INTEGER NOT NULL DEFAULT 0,"
        " code INTEGER NOT NULL DEFAULT 0,"
        " decision TEXT,"
        " detail TEXT,"
        " acked_ms INTEGER)");
    Exec("CREATE INDEX IF NOT EXISTS unacked ON events(id) WHERE kind = 'stacked' AND acked_ms IS NULL");
    // A device's last escrow and the outcomes after it (ResolveForeign).
    Exec("CREATE INDEX IF NOT EXISTS device_kind ON events(device, kind, id)");
    Exec("CREATE INDEX IF NOT EXISTS undecided ON events(id) WHERE kind = 'escrow' AND decision IS NULL");
    // The keys of the fallback file's lines that are rows now, each written
    // in the transaction of its row: a line is applied once, whichever of
    // the live path and the file's replay comes first.
    Exec(
        "CREATE TABLE IF NOT EXISTS applied(key TEXT PRIMARY KEY, id INTEGER NOT NULL, time_ms INTEGER NOT "
        "NULL)");
    // One row, rewritten by Probe: the write that shows the journal works again.
    Exec(
        "CREATE TABLE IF NOT EXISTS health(id INTEGER PRIMARY KEY CHECK (id = 1), time_ms INTEGER NOT NULL)");
    MigrateChain();
    // The service's thread reads through a connection of its own: in WAL a
    // reader never waits for a write (a commit, another program's lock).
    if (sqlite3_open_v2(path.c_str(), &reader_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
        SQLITE_OK) {
      throw JournalError(reader_ ? sqlite3_errmsg(reader_) : "out of memory");
    }
  } catch (const JournalDamaged&) {
    sqlite3_close(reader_);
    sqlite3_close(db_);
    throw;
  } catch (const std::exception& error) {
    sqlite3_close(reader_);
    sqlite3_close(db_);
    throw std::runtime_error("cannot open the journal " + path + ": " + error.what());
  }
}

void Journal::MigrateChain() {
  Exec("BEGIN IMMEDIATE");
  try {
    bool has_hash = false;
    {
      Statement columns(db_, "PRAGMA table_info(events)");
      while (columns.Step()) {
        has_hash = has_hash || columns.Text(1) == "hash";
      }
    }
    if (!has_hash) {
      Exec("ALTER TABLE events ADD COLUMN hash TEXT");
    }
    Exec("CREATE TABLE IF NOT EXISTS journal_meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    Statement identity(db_, "SELECT value FROM journal_meta WHERE key = 'identity'");
    if (identity.Step()) {
      identity_ = identity.Text(0);
    } else {
      identity_ = NewIdentity();
      Statement add(db_, "INSERT INTO journal_meta(key, value) VALUES('identity', ?)");
      add.Bind(1, identity_).Step();
    }
    // Rows of an older version have no link: the chain starts after them.
    Exec(
        "INSERT OR IGNORE INTO journal_meta(key, value) "
        "SELECT 'chain_from', COALESCE(MAX(id), 0) + 1 FROM events");
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

Journal::~Journal() {
  sqlite3_close(reader_);
  sqlite3_close(db_);
}

void Journal::Started() {
  const std::scoped_lock lock(mutex_);
  // Never seconds from now on: the driver's thread waits for its commits.
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

void Journal::CheckIntact() {
  std::string problem;
  int code = SQLITE_OK;
  sqlite3_stmt* check = nullptr;
  code = sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &check, nullptr);
  bool reported = false;  // quick_check itself named a problem
  if (code == SQLITE_OK) {
    while ((code = sqlite3_step(check)) == SQLITE_ROW) {
      const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      const std::string_view text = line ? line : "";
      if (text != "ok" && problem.size() < 300) {
        problem += (problem.empty() ? "" : "; ") + std::string(text);
        reported = true;
      }
    }
    code = code == SQLITE_DONE ? SQLITE_OK : code;
  }
  if (code != SQLITE_OK) {
    problem = sqlite3_errmsg(db_);
  }
  sqlite3_finalize(check);
  const int primary = code & 0xFF;
  if (reported || primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
    throw JournalDamaged("the journal " + path_ + " is damaged (" + problem +
                         "); notavero-serve does not run on a damaged journal.  A person must look at it: "
                         "keep the file with its -wal and -shm files, copy them away, recover what they "
                         "hold (sqlite3 FILE .recover), then start the service on a new journal");
  }
  if (code != SQLITE_OK) {
    throw std::runtime_error(problem);
  }
}

void Journal::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = std::string("journal: ") + (error ? error : sqlite3_errmsg(db_));
    sqlite3_free(error);
    throw JournalError(message);
  }
}

void Journal::Failed(const JournalError& error) {
  MarkFailing(error.what());
  throw error;
}

void Journal::MarkFailing(const std::string& reason) {
  bool was_failing = false;
  {
    const std::scoped_lock lock(health_mutex_);
    error_ = reason;
    was_failing = failing_.exchange(true);
  }
  if (!was_failing && on_failing_) {
    on_failing_();
  }
}

JournalHealth Journal::Health() const {
  const std::scoped_lock lock(health_mutex_);
  return JournalHealth{!failing_.load(), error_};
}

int64_t Journal::InsertChained(const BillEvent& event) {
  const int64_t time_ms = event.time_ms ? event.time_ms : NowMs();
  Statement insert(db_, kInsertSql);
  insert.Bind(1, time_ms)
      .Bind(2, event.device)
      .Bind(3, event.kind.Text())
      .Bind(4, event.amount)
      .Bind(5, event.code)
      .Bind(6, event.decision.Text())
      .Bind(7, event.detail)
      .Step();
  const int64_t id = sqlite3_last_insert_rowid(db_);
  Statement previous(db_, kPreviousLinkSql);
  const std::string link =
      previous.Bind(1, id).Step() && !previous.IsNull(0) ? previous.Text(0) : std::string(kChainStart);
  Statement chain(db_, kSetLinkSql);
  chain
      .Bind(1, ChainLink(link, id, time_ms, event.device, event.kind.Text(), event.amount, event.code,
                         event.decision.Text(), event.detail))
      .Bind(2, id)
      .Step();
  return id;
}

template <typename Work>
auto Journal::Transaction(Work work) {
  Exec("BEGIN IMMEDIATE");
  try {
    auto result = work();
    Exec("COMMIT");
    return result;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

bool Journal::Applied(const std::string& key, int64_t& id) {
  Statement find(db_, kAppliedSql);
  if (!find.Bind(1, key).Step()) {
    return false;
  }
  id = find.Int(0);
  return true;
}

void Journal::MarkApplied(const std::string& key, int64_t id) {
  Statement mark(db_, kMarkAppliedSql);
  mark.Bind(1, key).Bind(2, id).Bind(3, NowMs()).Step();
}

int64_t Journal::InsertKeyed(const BillEvent& event, bool& existed) {
  int64_t id = 0;
  existed = !event.key.empty() && Applied(event.key, id);
  if (existed) {
    return id;
  }
  id = InsertChained(event);
  if (!event.key.empty()) {
    MarkApplied(event.key, id);
  }
  return id;
}

BillEvent Journal::Row(int64_t id) {
  Statement select(db_, kRowSql);
  return select.Bind(1, id).Step() ? EventOf(select) : BillEvent{};
}

int64_t Journal::Append(const BillEvent& event) {
  const std::scoped_lock lock(mutex_);
  try {
    return Transaction([&] {
      bool existed = false;
      return InsertKeyed(event, existed);
    });
  } catch (const JournalError& error) {
    Failed(error);
  }
}

void Journal::Decide(int64_t escrow_id, BillDecision decision, DecidedBy by) {
  Statement update(db_, kDecideSql);
  update.Bind(1, TermText(decision)).Bind(2, TermText(by)).Bind(3, escrow_id).Step();
}

void Journal::SetDecision(int64_t escrow_id, BillDecision decision, DecidedBy by) {
  const std::scoped_lock lock(mutex_);
  try {
    Decide(escrow_id, decision, by);
  } catch (const JournalError& error) {
    Failed(error);
  }
}

Journal::AckResult Journal::Ack(int64_t id) {
  const std::scoped_lock lock(mutex_);
  Statement find(db_, kFindStackedSql);
  if (!find.Bind(1, id).Step()) {
    return AckResult::kNotStacked;
  }
  if (!find.IsNull(0)) {
    return AckResult::kAlreadyAcked;
  }
  try {
    Statement update(db_, kAckSql);
    update.Bind(1, NowMs()).Bind(2, id).Step();
  } catch (const JournalError& error) {
    Failed(error);
  }
  return AckResult::kAcked;
}

std::vector<BillEvent> Journal::Since(int64_t since, int limit) {
  return Page(since, 0, limit);
}

std::vector<BillEvent> Journal::Page(int64_t since, int64_t after, int limit) {
  const std::scoped_lock lock(reader_mutex_);
  // Two searches, one by the index "unacked", one by id, merged: no scan of
  // the table however long it is.
  Statement select(reader_, kPageQuery);
  select.Bind(1, since).Bind(2, int64_t{limit}).Bind(3, after);
  std::vector<BillEvent> events;
  while (select.Step()) {
    events.push_back(EventOf(select));
  }
  return events;
}

int64_t Journal::LastId() {
  const std::scoped_lock lock(reader_mutex_);
  Statement select(reader_, kLastIdSql);
  select.Step();
  return select.Int(0);
}

std::vector<int64_t> Journal::CloseUndecided(DecidedBy by) {
  const std::scoped_lock lock(mutex_);
  std::vector<int64_t> ids;
  try {
    // Both use the index "undecided": no scan of the table.
    Statement select(db_, kUndecidedSql);
    while (select.Step()) {
      ids.push_back(select.Int(0));
    }
    if (!ids.empty()) {
      Statement update(db_, kCloseUndecidedSql);
      update.Bind(1, TermText(by)).Step();
    }
  } catch (const JournalError& error) {
    Failed(error);
  }
  return ids;
}

Journal::Foreign Journal::ResolveForeign(const std::string& device, RowKind kind, int64_t amount,
                                         int32_t bill_type) {
  const std::scoped_lock lock(mutex_);
  return ResolveForeignLocked(device, kind, amount, bill_type);
}

Journal::Foreign Journal::ResolveForeignLocked(const std::string& device, const Term<RowKind>& kind,
                                               int64_t amount, int64_t bill_type) {
  if (kind != RowKind::kStacked) {
    return Foreign::kOutcome;  // a return is no money: never taken for a repeat
  }
  Statement last(db_, kLastEscrowSql);
  if (!last.Bind(1, device).Step()) {
    return Foreign::kOutcome;
  }
  Statement after(db_, kStackedAfterSql);
  return after.Bind(1, device).Bind(2, last.Int(0)).Bind(3, amount).Bind(4, bill_type).Step()
             ? Foreign::kRepeat
             : Foreign::kOutcome;
}

BillEvent Journal::RecordOutcomeLocked(BillEvent outcome, bool foreign, bool may_repeat, bool* existed) {
  if (!outcome.key.empty()) {
    int64_t id = 0;
    if (Applied(outcome.key, id)) {
      if (existed != nullptr) {
        *existed = true;
      }
      return Row(id);
    }
  }
  outcome.detail = foreign ? "foreign" : "";
  if (may_repeat &&
      ResolveForeignLocked(outcome.device, outcome.kind, outcome.amount, outcome.code) == Foreign::kRepeat) {
    outcome.detail = outcome.kind.Text();
    outcome.kind = RowKind::kRepeat;
  } else {
    // A bill already journaled unconfirmed at a stop: this outcome resolves
    // that row.  A row of a bill the device lost is final: an outcome after
    // it is another bill's, one whose escrow a killed run never journaled.
    Statement last(db_, kLastEscrowSql);
    const int64_t escrow = last.Bind(1, outcome.device).Step() ? last.Int(0) : 0;
    Statement unconfirmed(db_, kLastUnconfirmedSql);
    if (unconfirmed.Bind(1, outcome.device).Bind(2, escrow).Step() &&
        (unconfirmed.Int(1) == outcome.amount || unconfirmed.Int(1) == 0) &&
        unconfirmed.Int(2) == outcome.code && unconfirmed.Text(3) == kNoOutcomeBeforeStop) {
      const int64_t open = unconfirmed.Int(0);
      const std::string detail = "resolves #" + std::to_string(open);
      Statement resolved(db_, kResolvedSql);
      if (!resolved.Bind(1, outcome.device).Bind(2, open).Bind(3, detail).Step()) {
        outcome.detail = detail;
      }
    }
  }
  bool taken = false;
  outcome.id = InsertKeyed(outcome, taken);
  return outcome;
}

BillEvent Journal::RecordOutcome(BillEvent outcome, bool foreign, bool* existed) {
  const std::scoped_lock lock(mutex_);
  if (existed != nullptr) {
    *existed = false;
  }
  try {
    return Transaction([&] { return RecordOutcomeLocked(std::move(outcome), foreign, foreign, existed); });
  } catch (const JournalError& error) {
    Failed(error);
  }
}

std::optional<BillEvent> Journal::StackWithoutOutcome(const std::string& device) {
  const std::scoped_lock lock(mutex_);
  Statement last(db_, kLastEscrowRowSql);
  if (!last.Bind(1, device).Step() || Term<BillDecision>::Read(last.Text(4)) != BillDecision::kStack) {
    return std::nullopt;
  }
  BillEvent escrow;
  escrow.id = last.Int(0);
  escrow.time_ms = last.Int(1);
  escrow.device = device;
  escrow.kind = RowKind::kEscrow;
  escrow.amount = last.Int(2);
  escrow.code = static_cast<int32_t>(last.Int(3));
  escrow.decision = BillDecision::kStack;
  escrow.detail = last.Text(5);
  Statement after(db_, kAnyOutcomeAfterSql);
  if (after.Bind(1, device).Bind(2, escrow.id).Step()) {
    return std::nullopt;
  }
  return escrow;
}

int64_t Journal::LastEscrowAmount(const std::string& device, int32_t bill_type) {
  const std::scoped_lock lock(mutex_);
  Statement select(db_, kLastEscrowOfTypeSql);
  return select.Bind(1, device).Bind(2, int64_t{bill_type}).Step() ? select.Int(0) : 0;
}

bool Journal::Queue(BillEvent event) {
  const std::scoped_lock lock(mutex_);
  if (queue_.size() >= kQueueLimit) {
    return false;
  }
  if (event.time_ms == 0) {
    event.time_ms = NowMs();
  }
  queue_.push_back(std::move(event));
  return true;
}

bool Journal::QueueDecision(int64_t escrow_id, BillDecision decision, DecidedBy by, const std::string& key) {
  const std::scoped_lock lock(mutex_);
  if (decisions_.size() >= kQueueLimit) {
    return false;
  }
  decisions_.push_back(QueuedDecision{escrow_id, decision, by, key});
  return true;
}

void Journal::DecideUndecided(int64_t escrow_id, const Term<BillDecision>& decision, std::string_view by,
                              const std::string& key) {
  int64_t id = 0;
  if (!key.empty() && Applied(key, id)) {
    return;
  }
  Statement update(db_, kDecideUndecidedSql);
  update.Bind(1, decision.Text()).Bind(2, by).Bind(3, escrow_id).Step();
  if (!key.empty()) {
    MarkApplied(key, escrow_id);
  }
}

std::size_t Journal::Queued() const {
  const std::scoped_lock lock(mutex_);
  return queue_.size() + decisions_.size();
}

Journal::ProbeResult Journal::Probe() {
  ProbeResult result;
  if (!failing_.load()) {
    return result;
  }
  {
    const std::scoped_lock lock(mutex_);  // not held for the replay below, which takes it itself
    try {
      Exec("BEGIN IMMEDIATE");
      try {
        std::vector<BillEvent> written(queue_.begin(), queue_.end());
        for (auto& event : written) {
          bool existed = false;
          event.id = InsertKeyed(event, existed);
        }
        for (const auto& queued : decisions_) {
          DecideUndecided(queued.escrow_id, queued.decision, TermText(queued.by), queued.key);
        }
        Statement health(db_, "INSERT OR REPLACE INTO health(id, time_ms) VALUES(1, ?)");
        health.Bind(1, NowMs()).Step();
        Exec("COMMIT");
        result.written = std::move(written);
        queue_.clear();
        decisions_.clear();
      } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
    } catch (const JournalError& error) {
      MarkFailing(error.what());
      return result;
    }
  }
  {
    const std::scoped_lock health_lock(health_mutex_);
    error_.clear();
    failing_.store(false);
  }
  result.recovered = true;
  // What only the fallback file holds (an earlier run's lines, a row the
  // queue had no room for) goes in now.
  try {
    auto replayed = ReplayFallback();
    result.written.insert(result.written.end(), replayed.written.begin(), replayed.written.end());
  } catch (const JournalError& error) {
    std::cerr << "notavero-serve: " << FallbackPath() << " is not applied yet: " << error.what() << std::endl;
  }
  return result;
}

std::string Journal::NewKey() {
  std::random_device random;
  std::string key;
  constexpr std::string_view kHex = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    const uint32_t word = random();
    for (int shift = 28; shift >= 0; shift -= 4) {
      key += kHex[(word >> shift) & 15U];
    }
  }
  return key;
}

bool Journal::WriteFallback(const std::string& line) {
  const std::scoped_lock lock(fallback_mutex_);
  const std::string path = FallbackPath();
  const int fd = OpenForAppend(path);
  bool ok = fd >= 0;
  const std::string data = line + "\n";
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    ok = n > 0;
    done += ok ? static_cast<std::size_t>(n) : 0;
  }
  ok = ok && sync_(fd) == 0;
  const int error = errno;
  if (fd >= 0) {
    ::close(fd);
  }
  if (ok) {
    SyncDirectoryOf(path, sync_);  // the file's name too, when it was just made
    return true;
  }
  std::cerr << "notavero-serve: cannot write " << path << ": " << std::generic_category().message(error)
            << ": " << line << std::endl;
  return false;
}

Journal::ReplayResult Journal::ReplayFallback() {
  const std::scoped_lock fallback_lock(fallback_mutex_);
  ReplayResult result;
  const std::string path = FallbackPath();
  std::ifstream file(path);
  if (!file) {
    return result;  // nothing was ever left there
  }
  std::vector<nlohmann::json> lines;
  for (std::string text; std::getline(file, text);) {
    if (text.empty()) {
      continue;
    }
    auto line = nlohmann::json::parse(text, nullptr, false);
    if (!line.is_object()) {
      ++result.unkeyed;  // a line cut short, or not ours: a person reads it
      continue;
    }
    if (line.value("journaled", false)) {
      continue;  // a note that an earlier line's row was written
    }
    if (!line.contains("key") || !line["key"].is_string() || line["key"].get<std::string>().empty()) {
      ++result.unkeyed;
      continue;
    }
    lines.push_back(std::move(line));
  }
  file.close();
  const std::scoped_lock lock(mutex_);
  try {
    for (const auto& line : lines) {
      // One transaction a line: its row and its key together.
      Transaction([&] {
        const std::string key = line["key"].get<std::string>();
        int64_t id = 0;
        if (Applied(key, id)) {
          ++result.already;
          return 0;
        }
        const std::string kind = line.value("kind", "");
        if (kind == kDecisionLine) {
          // Its words as the line has them (a line of another version's may
          // hold words this one does not know: they are kept).
          DecideUndecided(
              line.value("id", int64_t{0}),
              Term<BillDecision>::Read(line.value("decision", std::string(TermText(BillDecision::kReturn)))),
              line.value("by", ""), key);
          return 0;
        }
        BillEvent event;
        event.key = key;
        event.time_ms = line.value("time", int64_t{0});
        event.device = line.value("device", "");
        event.kind = Term<RowKind>::Read(kind);
        event.amount = line.value("amount", int64_t{0});
        event.code = static_cast<int32_t>(line.value("bill_type", int64_t{line.value("code", int64_t{0})}));
        event.detail = line.value("detail", "");
        if (event.kind == RowKind::kStacked || event.kind == RowKind::kReturned) {
          // The device may have reported it again to a later run meanwhile:
          // a stacked line is checked as a foreign outcome.
          const bool foreign = event.detail == "foreign";
          const bool may_repeat = foreign || event.kind == RowKind::kStacked;
          event = RecordOutcomeLocked(std::move(event), foreign, may_repeat);
        } else {
          bool existed = false;
          event.id = InsertKeyed(event, existed);
        }
        result.written.push_back(std::move(event));
        return 0;
      });
    }
  } catch (const JournalError& error) {
    Failed(error);
  }
  // Applied: the file is kept for a person, under a name never read again.
  result.moved_to = path + "." + std::to_string(NowMs()) + ".applied";
  if (::rename(path.c_str(), result.moved_to.c_str()) != 0) {
    std::cerr << "notavero-serve: cannot rename " << path << " to " << result.moved_to << ": "
              << std::generic_category().message(errno) << " (its lines are applied; the keys keep them from "
              << "being applied twice)" << std::endl;
    result.moved_to = path;
  } else {
    SyncDirectoryOf(path, sync_);
  }
  if (result.unkeyed > 0) {
    std::cerr
        << "notavero-serve: " << result.unkeyed << " line(s) of " << result.moved_to
        << " carry no key (written by an older version, or cut short): they are NOT in the journal; a person "
           "must account for them"
        << std::endl;
  }
  if (!result.written.empty() || result.already > 0) {
    std::cerr << "notavero-serve: " << path << ": " << result.written.size() << " row(s) journaled now, "
              << result.already << " journaled before; the file is now " << result.moved_to << std::endl;
  }
  return result;
}

}  // namespace notavero::service

namespace notavero::service {

JournalVerdict VerifyJournal(const std::string& path) {
  sqlite3* opened = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  // Closed on every way out, once its statements are finalized.
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> connection(opened, &sqlite3_close_v2);
  sqlite3* db = connection.get();
  if (rc != SQLITE_OK) {
    throw std::runtime_error("cannot open the journal " + path + ": " +
                             (db ? sqlite3_errmsg(db) : "out of memory"));
  }
  JournalVerdict verdict;
  try {
    Statement has_meta(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'journal_meta'");
    if (has_meta.Step()) {
      Statement meta(db, "SELECT key, value FROM journal_meta WHERE key IN ('identity', 'chain_from')");
      while (meta.Step()) {
        if (meta.Text(0) == "identity") {
          verdict.identity = meta.Text(1);
        } else {
          verdict.chain_from = std::stoll(meta.Text(1));
        }
      }
    }
    if (verdict.identity.empty() || verdict.chain_from <= 0) {
      verdict.problem = "the journal has no identity or chain";
      return verdict;
    }
    Statement rows(db,
                   "SELECT id, time_ms, device, kind, amount, code, decision, detail, hash FROM events "
                   "WHERE id >= ? ORDER BY id");
    rows.Bind(1, verdict.chain_from);
    std::string link(kChainStart);
    while (rows.Step()) {
      const int64_t id = rows.Int(0);
      ++verdict.rows;
      const std::string expected = ChainLink(link, id, rows.Int(1), rows.Text(2), rows.Text(3), rows.Int(4),
                                             rows.Int(5), rows.Text(6), rows.Text(7));
      if (rows.IsNull(8) || rows.Text(8) != expected) {
        verdict.first_bad = id;
        verdict.problem = rows.IsNull(8) ? "the row has no link"
                                         : "the row does not fit its chain: it, or the row before it, was "
                                           "changed, or a row before it was removed";
        break;
      }
      link = expected;
    }
  } catch (const std::exception& error) {
    throw std::runtime_error("cannot read the journal " + path + ": " + error.what());
  }
  verdict.ok = verdict.first_bad == 0;
  return verdict;
}

int JournalCommand(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "verify") {
    std::cerr << "usage: notavero-serve journal verify FILE\n";
    return 2;
  }
  try {
    const JournalVerdict verdict = VerifyJournal(args[1]);
    if (verdict.identity.empty()) {
      std::cerr << "notavero-serve: " << args[1] << ": " << verdict.problem
                << " (a journal of an older version gets both when the service next opens it)\n";
      return 1;
    }
    if (!verdict.ok) {
      std::cout << "journal " << verdict.identity << ": row " << verdict.first_bad << ": " << verdict.problem
                << "\n";
      return 1;
    }
    std::cout << "journal " << verdict.identity << ": " << verdict.rows << " row(s) from id "
              << verdict.chain_from << " fit their chain\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << error.what() << "\n";
    return 2;
  }
}

}  // namespace notavero::service
