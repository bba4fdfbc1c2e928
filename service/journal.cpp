#include "service/journal.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>
#include <utility>

namespace notavero::service {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("journal: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // Runs one step; true when it gave a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
      return true;
    }
    if (rc != SQLITE_DONE) {
      throw std::runtime_error(std::string("journal: ") + sqlite3_errmsg(db_));
    }
    return false;
  }
  [[nodiscard]] int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  [[nodiscard]] std::string Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt_, column))
                : std::string();
  }
  [[nodiscard]] bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

Journal::Journal(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string message =
        "cannot open the journal " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close(db_);
    throw std::runtime_error(message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
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
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Journal::~Journal() {
  sqlite3_close(db_);
}

void Journal::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = std::string("journal: ") + (error ? error : "error");
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
}

int64_t Journal::Append(const BillEvent& event) {
  const std::scoped_lock lock(mutex_);
  Statement insert(db_,
                   "INSERT INTO events(time_ms, device, kind, amount, code, decision, detail) "
                   "VALUES(?, ?, ?, ?, ?, NULLIF(?, ''), NULLIF(?, ''))");
  insert.Bind(1, event.time_ms ? event.time_ms : NowMs())
      .Bind(2, event.device)
      .Bind(3, event.kind)
      .Bind(4, event.amount)
      .Bind(5, int64_t{event.code})
      .Bind(6, event.decision)
      .Bind(7, event.detail)
      .Step();
  return sqlite3_last_insert_rowid(db_);
}

void Journal::SetDecision(int64_t escrow_id, const std::string& decision, const std::string& by) {
  const std::scoped_lock lock(mutex_);
  Statement update(db_, "UPDATE events SET decision = ?, detail = ? WHERE id = ? AND kind = 'escrow'");
  update.Bind(1, decision).Bind(2, by).Bind(3, escrow_id).Step();
}

Journal::AckResult Journal::Ack(int64_t id) {
  const std::scoped_lock lock(mutex_);
  Statement find(db_, "SELECT acked_ms FROM events WHERE id = ? AND kind = 'stacked'");
  if (!find.Bind(1, id).Step()) {
    return AckResult::kNotStacked;
  }
  if (!find.IsNull(0)) {
    return AckResult::kAlreadyAcked;
  }
  Statement update(db_, "UPDATE events SET acked_ms = ? WHERE id = ?");
  update.Bind(1, NowMs()).Bind(2, id).Step();
  return AckResult::kAcked;
}

std::vector<BillEvent> Journal::Since(int64_t since, int limit) {
  const std::scoped_lock lock(mutex_);
  Statement select(db_,
                   "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL "
                   "FROM events WHERE id > ?1 OR (kind = 'stacked' AND acked_ms IS NULL AND id <= ?1) "
                   "ORDER BY id LIMIT ?2");
  select.Bind(1, since).Bind(2, int64_t{limit});
  std::vector<BillEvent> events;
  while (select.Step()) {
    BillEvent event;
    event.id = select.Int(0);
    event.time_ms = select.Int(1);
    event.device = select.Text(2);
    event.kind = select.Text(3);
    event.amount = select.Int(4);
    event.code = static_cast<int32_t>(select.Int(5));
    event.decision = select.Text(6);
    event.detail = select.Text(7);
    event.acked = select.Int(8) != 0;
    events.push_back(std::move(event));
  }
  return events;
}

int64_t Journal::LastId() {
  const std::scoped_lock lock(mutex_);
  Statement select(db_, "SELECT COALESCE(MAX(id), 0) FROM events");
  select.Step();
  return select.Int(0);
}

}  // namespace notavero::service
