// The money journal: every bill event in an SQLite database, with an
// increasing id that never repeats.  A journal has an identity (random, made
// when it is created) and its rows a hash chain: each row's hash is SHA-256
// over the hash of the row before it and the row's own content, so that an
// edited, inserted or removed row is found (VerifyJournal).  WAL with synchronous=FULL: an event is
// on disk when Append returns, so a stacked bill is durable before any
// client hears of it, and a kill -9 at any moment loses nothing committed.
// All methods are thread-safe (one connection behind a mutex).
//
// A write that fails (disk full, another process holding the write lock,
// an I/O error) marks the journal as failing, with the reason; Probe(),
// called about once a second, notices when writes work again.  Rows that
// could not be committed meanwhile wait in a bounded queue, and every such
// row also goes, as one JSON line, to the fallback file next to the
// journal, so that a person can account for it whatever happens next.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/messages.h"
#include "service/platform.h"

struct sqlite3;

namespace notavero::service {

// The detail of an unconfirmed row journaled when the service stopped while
// a bill was on its way and no outcome had come: the device may still hold
// the report, and its outcome resolves that row.  Every other unconfirmed
// row was journaled when the device had shown it held no bill (it lost the
// bill, or the report): no later outcome is that bill's.
inline constexpr std::string_view kNoOutcomeBeforeStop = "no outcome came before the service stopped";

// Any failure of a journal call; what() says why.
class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database file is damaged: the service must not run on it.
class JournalDamaged : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct JournalHealth {
  bool ok = true;
  std::string error;  // why writes fail, while they do
};

// {"ok":true,"error":null}, {"ok":false,"error":"journal: database is locked"}
std::string JournalHealthJson(const JournalHealth& health);

class Journal {
 public:
  // Opens or creates the database and checks it (PRAGMA quick_check).
  // Throws JournalDamaged for a damaged file, std::runtime_error for other
  // failures.
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Lock waits end after this long: callers include the driver's thread.
  static constexpr int kBusyTimeoutMs = 250;
  // At start nothing waits on the journal yet: another program that holds
  // its lock for a while (a backup, the sqlite3 tool) is waited for.
  static constexpr int kStartBusyTimeoutMs = 30000;
  // The start is over (the last run's escrows are closed): from now on lock
  // waits are short.
  void Started();
  // Rows kept in memory while the journal fails; more are only in the
  // fallback file.
  static constexpr std::size_t kQueueLimit = 1000;

  [[nodiscard]] const std::string& Path() const { return path_; }
  // This journal's identity: 32 hexadecimal digits, made when it was created
  // (or when a journal of an older version was first opened) and never
  // changed.  A journal replaced by a new one, or restored elsewhere from a
  // copy, is told apart from the one before by it (and by its chain).
  [[nodiscard]] const std::string& Identity() const { return identity_; }
  [[nodiscard]] std::string FallbackPath() const { return path_ + ".pending"; }

  // Writes the event (its id and acked are ignored) and returns its id.
  int64_t Append(const BillEvent& event);
  // Records an escrow's decision and who made it.
  void SetDecision(int64_t escrow_id, BillDecision decision, DecidedBy by);

  enum class AckResult { kAcked, kAlreadyAcked, kNotStacked };
  AckResult Ack(int64_t id);

  // Events with an id above since, and stacked events not acknowledged with
  // an id up to since, in id order; at most limit of them.
  std::vector<BillEvent> Since(int64_t since, int limit);
  // The same, one page at a time: only events with an id above after (the
  // last id of the page before; 0 for the first).
  std::vector<BillEvent> Page(int64_t since, int64_t after, int limit);
  // Its SQL, for a test of its query plan.
  static const char* const kPageQuery;
  // Every statement the journal runs on the events table, and how SQLite
  // would run one (the detail lines of EXPLAIN QUERY PLAN): a test holds
  // that none scans the table.
  static std::vector<const char*> Queries();
  std::vector<std::string> QueryPlan(const std::string& sql);
  int64_t LastId();

  // At start: every escrow of an earlier run still without a decision gets
  // "return" by `by` (the device gives such a bill back).  Returns their ids.
  std::vector<int64_t> CloseUndecided(DecidedBy by);

  // Journals an outcome the device reported (kind "stacked" or "returned")
  // and returns its row as written.  A foreign outcome (one the driver did
  // not see decided) may be one journaled already: the device holds one bill
  // at a time, so a stacked report after the device's last escrow already
  // has a stacked row of the same amount and bill type is that report again,
  // and becomes a row of kind "repeat" (never credited).  A returned report
  // is never a repeat: a returned row too many is no money, a bill taken for
  // a repeat would be lost from the books.  An outcome of a bill already
  // journaled unconfirmed (the device's latest unconfirmed row after its
  // last escrow, same amount and type, not resolved yet, journaled at a stop
  // (kNoOutcomeBeforeStop)) resolves that row:
  // detail "resolves #ID".  With a key (a fallback line's) the row is
  // written at most once: when the key is applied already, the row that
  // took it is returned (and existed, when given, says so).
  BillEvent RecordOutcome(BillEvent outcome, bool foreign, bool* existed = nullptr);
  // RecordOutcome's rule for a foreign outcome: kRepeat when it is a repeat.
  enum class Foreign { kOutcome, kRepeat };
  Foreign ResolveForeign(const std::string& device, RowKind kind, int64_t amount, int32_t bill_type);

  // The device's last escrow when it was decided "stack" and no outcome
  // (stacked, returned, repeat, unconfirmed) of that device follows it: a
  // bill that went to the stacker in an earlier run and was never reported.
  std::optional<BillEvent> StackWithoutOutcome(const std::string& device);
  // The amount of the device's last escrow of this bill type (0: none).
  int64_t LastEscrowAmount(const std::string& device, int32_t bill_type);

  [[nodiscard]] JournalHealth Health() const;
  [[nodiscard]] bool Failing() const { return failing_.load(); }
  // Throws the failure's JournalError while the journal fails: a bill's
  // rows wait behind those queued before them.
  void ThrowIfFailing() const {
    if (Failing()) {
      throw JournalError(Health().error);
    }
  }
  // Marks the journal as failing for a reason found outside its own calls.
  void MarkFailing(const std::string& reason);
  // Called, on the thread whose write failed, each time the journal goes
  // from healthy to failing; must not block.  Set before the journal is used.
  void OnFailing(std::function<void()> listener) { on_failing_ = std::move(listener); }

  // Keeps an event that could not be committed, for Probe to write; false
  // when the queue is full (the event is then only in the fallback file).
  bool Queue(BillEvent event);
  // The same for an escrow's decision.
  // key: its fallback line's.
  bool QueueDecision(int64_t escrow_id, BillDecision decision, DecidedBy by, const std::string& key);
  [[nodiscard]] std::size_t Queued() const;

  struct ProbeResult {
    bool recovered = false;          // the journal was failing and takes writes again
    std::vector<BillEvent> written;  // the queued events, now with their ids
  };
  // While failing: one bounded write (the queued events first); on success
  // the journal is healthy again.  Does nothing while healthy.
  ProbeResult Probe();

  // Appends one line (a JSON object) to FallbackPath(), created with mode
  // 0600, and syncs it (and its directory).  Returns false (and says why on
  // stderr) when it cannot.
  bool WriteFallback(const std::string& line);
  // A new key for a fallback line: 128 random bits in hex.
  static std::string NewKey();

  // The "kind" of a fallback line that holds an escrow's decision (the
  // other lines hold rows, of their row's kind).
  static constexpr std::string_view kDecisionLine = "decision";

  // Applies the fallback file to the journal, once: every line with a key
  // not applied yet becomes its row (a decision only for an escrow still
  // undecided; an outcome by RecordOutcome's rules), each in one transaction
  // with its key; lines without a key (older versions) are never applied,
  // and said on stderr.  Then the file is renamed to
  // FallbackPath() + ".<ms>.applied", so that it is not read again.  Runs at
  // start and when the journal recovers (Probe).  Throws JournalError when
  // the journal cannot take the rows (the file stays for the next try).
  struct ReplayResult {
    std::vector<BillEvent> written;  // rows written now
    std::size_t already = 0;         // lines whose key was applied before
    std::size_t unkeyed = 0;         // lines without a key, not applied
    std::string moved_to;            // where the file went ("" when there was none)
  };
  ReplayResult ReplayFallback();

  // The call that makes a fallback line durable (SyncFile: fsync); tests put one of
  // their own here to see what is synced when.
  using SyncFunction = int (*)(int fd);
  void SetSyncForTest(SyncFunction sync) { sync_ = sync; }

 private:
  void Exec(const char* sql);
  // Adds the chain to a journal that has none (made by an older version).
  void MigrateChain();
  // Inserts a row and its link of the chain; inside a transaction.
  int64_t InsertChained(const BillEvent& event);
  // Insert within a transaction of the caller's, with its key: the id of
  // the row that took the key before, or of the new row.
  int64_t InsertKeyed(const BillEvent& event, bool& existed);
  BillEvent Row(int64_t id);
  // may_repeat: check whether it is a repeat (foreign, or replayed).
  BillEvent RecordOutcomeLocked(BillEvent outcome, bool foreign, bool may_repeat, bool* existed = nullptr);
  Foreign ResolveForeignLocked(const std::string& device, const Term<RowKind>& kind, int64_t amount,
                               int64_t bill_type);
  bool Applied(const std::string& key, int64_t& id);
  void MarkApplied(const std::string& key, int64_t id);
  template <typename Work>
  auto Transaction(Work work);
  void Decide(int64_t escrow_id, BillDecision decision, DecidedBy by);
  // A decision for an escrow that has none yet, with its key; by as the
  // row's detail takes it (a fallback line's, as written).
  void DecideUndecided(int64_t escrow_id, const Term<BillDecision>& decision, std::string_view by,
                       const std::string& key);
  [[noreturn]] void Failed(const JournalError& error);
  void CheckIntact();

  const std::string path_;
  std::string identity_;
  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::mutex reader_mutex_;  // the reads of the service's thread (Page, LastId)
  sqlite3* reader_ = nullptr;
  struct QueuedDecision {
    int64_t escrow_id;
    BillDecision decision;
    DecidedBy by;
    std::string key;
  };
  std::deque<BillEvent> queue_;  // under mutex_
  std::deque<QueuedDecision> decisions_;

  std::atomic<bool> failing_{false};
  mutable std::mutex health_mutex_;  // the reason, apart from mutex_: a probe holds that one a while
  std::string error_;
  std::function<void()> on_failing_;

  std::mutex fallback_mutex_;
  SyncFunction sync_ = &SyncFile;
};

// A row's link: SHA-256 (hex) over the link before it (64 zeros before the
// first) and the row's content.  The ledger computes the same in SQL.
std::string ChainLink(std::string_view previous, int64_t id, int64_t time_ms, std::string_view device,
                      std::string_view kind, int64_t amount, int64_t code, std::string_view decision,
                      std::string_view detail);

// What VerifyJournal found.
struct JournalVerdict {
  bool ok = false;
  std::string identity;
  int64_t chain_from = 0;  // the first row with a link (rows before it predate the chain)
  int64_t rows = 0;        // rows checked
  int64_t first_bad = 0;   // the first row that does not fit its chain (0: none)
  std::string problem;     // why, for people
};

// Checks a journal's chain, read-only, row by row; never changes the file.
// Throws std::runtime_error when the file cannot be read as a journal.
JournalVerdict VerifyJournal(const std::string& path);

// The "journal" subcommand: `notavero-serve journal verify FILE`.  Returns
// the exit status (0 ok, 1 a row does not fit, 2 usage or an unreadable file).
int JournalCommand(const std::vector<std::string>& args);

}  // namespace notavero::service
