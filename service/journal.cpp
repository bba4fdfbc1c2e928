#include "service/journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <system_error>
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
      throw JournalError(std::string("journal: ") + sqlite3_errmsg(db));
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
      throw JournalError(std::string("journal: ") + sqlite3_errmsg(db_));
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

constexpr const char* kInsertSql =
    "INSERT INTO events(time_ms, device, kind, amount, code, decision, detail) "
    "VALUES(?, ?, ?, ?, ?, NULLIF(?, ''), NULLIF(?, ''))";
constexpr const char* kDecideSql =
    "UPDATE events SET decision = ?, detail = ? WHERE id = ? AND kind = 'escrow'";
constexpr const char* kFindStackedSql = "SELECT acked_ms FROM events WHERE id = ? AND kind = 'stacked'";
constexpr const char* kAckSql = "UPDATE events SET acked_ms = ? WHERE id = ?";
constexpr const char* kLastIdSql = "SELECT COALESCE(MAX(id), 0) FROM events";
constexpr const char* kUndecidedSql =
    "SELECT id FROM events WHERE kind = 'escrow' AND decision IS NULL ORDER BY id";
constexpr const char* kCloseUndecidedSql =
    "UPDATE events SET decision = 'return', detail = ? WHERE kind = 'escrow' AND decision IS NULL";
constexpr const char* kLastEscrowSql =
    "SELECT id FROM events WHERE device = ? AND kind = 'escrow' ORDER BY id DESC LIMIT 1";
constexpr const char* kOutcomeAfterSql =
    "SELECT 1 FROM events WHERE device = ? AND kind = ? AND id > ? LIMIT 1";

const char* const Journal::kPageQuery =
    "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL "
    "FROM events WHERE kind = 'stacked' AND acked_ms IS NULL AND id <= ?1 AND id > ?3 "
    "UNION ALL "
    "SELECT id, time_ms, device, kind, amount, code, decision, detail, acked_ms IS NOT NULL "
    "FROM events WHERE id > MAX(?1, ?3) "
    "ORDER BY id LIMIT ?2";

std::vector<const char*> Journal::Queries() {
  return {kInsertSql, kDecideSql,    kFindStackedSql,    kAckSql,        kPageQuery,
          kLastIdSql, kUndecidedSql, kCloseUndecidedSql, kLastEscrowSql, kOutcomeAfterSql};
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
    // One row, rewritten by Probe: the write that shows the journal works again.
    Exec(
        "CREATE TABLE IF NOT EXISTS health(id INTEGER PRIMARY KEY CHECK (id = 1), time_ms INTEGER NOT NULL)");
  } catch (const JournalDamaged&) {
    sqlite3_close(db_);
    throw;
  } catch (const std::exception& error) {
    sqlite3_close(db_);
    throw std::runtime_error("cannot open the journal " + path + ": " + error.what());
  }
}

Journal::~Journal() {
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

int64_t Journal::Insert(const BillEvent& event) {
  Statement insert(db_, kInsertSql);
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

int64_t Journal::Append(const BillEvent& event) {
  const std::scoped_lock lock(mutex_);
  try {
    return Insert(event);
  } catch (const JournalError& error) {
    Failed(error);
  }
}

void Journal::Decide(int64_t escrow_id, const std::string& decision, const std::string& by) {
  Statement update(db_, kDecideSql);
  update.Bind(1, decision).Bind(2, by).Bind(3, escrow_id).Step();
}

void Journal::SetDecision(int64_t escrow_id, const std::string& decision, const std::string& by) {
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
  const std::scoped_lock lock(mutex_);
  // Two searches, one by the index "unacked", one by id, merged: no scan of
  // the table however long it is.
  Statement select(db_, kPageQuery);
  select.Bind(1, since).Bind(2, int64_t{limit}).Bind(3, after);
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
  Statement select(db_, kLastIdSql);
  select.Step();
  return select.Int(0);
}

std::vector<int64_t> Journal::CloseUndecided(const std::string& by) {
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
      update.Bind(1, by).Step();
    }
  } catch (const JournalError& error) {
    Failed(error);
  }
  return ids;
}

Journal::Foreign Journal::ResolveForeign(const std::string& device, const std::string& kind) {
  const std::scoped_lock lock(mutex_);
  Statement last(db_, kLastEscrowSql);
  if (!last.Bind(1, device).Step()) {
    return Foreign::kOutcome;
  }
  Statement after(db_, kOutcomeAfterSql);
  return after.Bind(1, device).Bind(2, kind).Bind(3, last.Int(0)).Step() ? Foreign::kRepeat
                                                                         : Foreign::kOutcome;
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

bool Journal::QueueDecision(int64_t escrow_id, const std::string& decision, const std::string& by) {
  const std::scoped_lock lock(mutex_);
  if (decisions_.size() >= kQueueLimit) {
    return false;
  }
  decisions_.push_back(QueuedDecision{escrow_id, decision, by});
  return true;
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
  const std::scoped_lock lock(mutex_);
  try {
    Exec("BEGIN IMMEDIATE");
    try {
      std::vector<BillEvent> written(queue_.begin(), queue_.end());
      for (auto& event : written) {
        event.id = Insert(event);
      }
      for (const auto& queued : decisions_) {
        Decide(queued.escrow_id, queued.decision, queued.by);
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
  {
    const std::scoped_lock health_lock(health_mutex_);
    error_.clear();
    failing_.store(false);
  }
  result.recovered = true;
  return result;
}

bool Journal::WriteFallback(const std::string& line) {
  const std::scoped_lock lock(fallback_mutex_);
  const std::string path = FallbackPath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
  ok = ok && ::fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0) {
    ::close(fd);
  }
  if (ok) {
    // The file's name too, when it was just made.
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
      ::fsync(dir_fd);
      ::close(dir_fd);
    }
    return true;
  }
  std::cerr << "notavero-serve: cannot write " << path << ": " << std::generic_category().message(error)
            << ": " << line << std::endl;
  return false;
}

}  // namespace notavero::service
