// The operator's ledger: the kiosk's money journal shipped, row by row and
// in order, to a central PostgreSQL database (service/ledger/schema-*.sql).
//
// One thread beside the driver and the clients reads the journal through a
// connection of its own (WAL: it never waits for a bill's commit, nor a bill
// for it), takes the rows after the ledger's cursor for this journal, and
// in one transaction has the ledger check their hash chain, inserts them (a
// row already there is ignored) and moves the cursor from where it was to
// the batch's last id.  The central cursor decides what is shipped: a kill
// at any moment ships nothing twice and skips nothing.  The confirmed id is
// also kept in a local file, for the figures while the ledger cannot be
// reached.  The journal deletes no row.
//
// Rows and cursors are kept per journal identity.  At each connection the
// shipper compares its journal with what the ledger holds of it: a new
// journal (a re-imaged kiosk, or a second kiosk with this kiosk id) ships
// whole; a journal whose rows differ from the ledger's after some id (one
// restored from a backup) ships the rows after the prefix they share as a
// journal of its own that names where it continues, so that no bill is
// counted twice nor skipped.  Each such finding is said in the status, the
// metrics and the log.
//
// Shipping needs libpq and is built on Linux only (ledger.cpp); on Windows
// ledger_win32.cpp refuses --ledger and the ledger command, saying why.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/messages.h"

struct sqlite3;
// libpq's handles, as libpq-fe.h names them (ledger.cpp includes it).
typedef struct pg_conn PGconn;      // NOLINT(modernize-use-using): libpq's own declaration
typedef struct pg_result PGresult;  // NOLINT(modernize-use-using): libpq's own declaration

namespace notavero::service {

// The connection string as the service uses it: refuses a secret in it
// (password=, sslpassword=: it would show in the process list and the unit
// file; libpq's password file, ~/.pgpass or PGPASSFILE with mode 0600, holds
// the password); adds sslmode=verify-full for a host named as one that is
// not this machine when neither the string, a service file nor PGSSLMODE
// names a mode, a connect time-out, and a time-out for data the server does
// not acknowledge (a network that went away in the middle of a batch ends
// the batch, not the shipping).  Whatever it says, a connection is used only
// after LedgerTransportRefusal found nothing to refuse.  Throws
// std::invalid_argument saying what was refused and why.
std::string LedgerConninfo(const std::string& conninfo);

// What the environment does that the operator should know (PGPASSWORD is
// visible to every process of the same user); empty when nothing.
std::string LedgerEnvironmentWarning();

// Why rows may not go over this established connection: it is neither a
// Unix socket, nor to a loopback address, nor TLS with a server certificate
// checked against its name (sslmode=verify-full).  Decided on the socket's
// peer and the TLS state libpq reports, whatever the connection string, a
// service file or the environment said.  Empty when the connection may be
// used.
std::string LedgerTransportRefusal(PGconn* connection);

struct LedgerStatus {
  bool enabled = false;
  std::string kiosk;
  bool connected = false;
  int64_t confirmed_id = 0;       // the ledger holds every row up to this id
  int64_t rows_waiting = 0;       // journal rows after it
  int64_t oldest_waiting_ms = 0;  // time of the first of them, 0 when none waits
  int64_t last_success_ms = 0;    // last batch committed (or cursor read), 0 never
  std::string last_error;         // the last failure (libpq's message), empty after a success
  uint64_t rows_shipped = 0;      // rows the ledger took since this run's first connection
  std::string journal;            // this journal's identity
  std::string ledger_journal;     // the identity its next rows ship under (another after a fork)
  std::string divergence;         // the last thing found that differs from what the ledger held
  uint64_t divergences = 0;       // how many were found since the service started
  int64_t live_journals = 0;      // journals of this kiosk id whose rows interleave in time (0 unknown)
};

std::string LedgerStatusJson(const LedgerStatus& status, int64_t now_ms);
std::string LedgerMetrics(const LedgerStatus& status, int64_t now_ms);

class LedgerShipper {
 public:
  struct Options {
    std::string conninfo;  // as LedgerConninfo gives it
    std::string kiosk;
    std::string journal;      // the journal's path
    std::string identity;     // and its identity
    std::string cursor_file;  // the confirmed id, kept locally
    int batch = 500;          // rows a transaction
    std::chrono::milliseconds idle_poll{1000};
    std::chrono::milliseconds max_backoff{10000};
    // A statement's longest run on the server (statement_timeout); the
    // shipper waits for any reply, and for a connection, 2 s longer before
    // it calls the ledger hung and drops the connection.
    std::chrono::milliseconds timeout{15000};
    // While nothing is to be shipped, the ledger is asked for the kiosk's
    // cursor this often: a ledger that went away or hangs shows at once.
    std::chrono::milliseconds probe_interval{10000};
  };

  explicit LedgerShipper(Options options);
  ~LedgerShipper();
  LedgerShipper(const LedgerShipper&) = delete;
  LedgerShipper& operator=(const LedgerShipper&) = delete;

  void Start();
  // Ends a query in flight (its socket is shut down: no exchange with a
  // server that may be unreachable) and joins the thread.
  void Stop();
  [[nodiscard]] LedgerStatus Status() const;

 private:
  // A journal row as the ledger has it: the bill event (a kind or decision
  // this version does not know ships as it was written) and its link.
  struct Row : BillEvent {
    std::string link;  // empty: the row predates the hash chain
  };
  // The same bill event, by what the ledger keeps of it (time, device,
  // kind, amount, bill type): rows before the chain have no link.
  static bool SameContent(const Row& a, const Row& b) {
    return a.time_ms == b.time_ms && a.device == b.device && a.kind == b.kind && a.amount == b.amount &&
           a.code == b.code;
  }
  struct Cursor {
    std::string continues;
    int64_t continues_after = 0;
    int64_t id = 0;
  };

  void Run();
  bool Connect();
  // Decides which of the ledger's journals the next rows ship under, and
  // from which id (ledger_journal_, central_), comparing this journal with
  // the ledger's copy; false (with the error kept) when the ledger could
  // not be asked.
  bool Resolve();
  // A new journal's cursor: it continues the rows shipped before journals
  // had identities when its row at that cursor is theirs.
  bool BeginJournal(const std::map<std::string, Cursor>& cursors);
  bool MakeCursor(const std::string& journal, const std::string& continues, int64_t after,
                  const std::string& link);
  bool HeldRow(const std::string& journal, int64_t id, Row& row, bool& found);
  bool LocalRow(int64_t id, Row& row);
  std::string LocalLinkBefore(int64_t id);  // the link of the row before id ("" none)
  // The largest id in [from, upto] at which this journal and the ledger's
  // copy of journal still agree (from when none after it does); -1 when the
  // ledger could not be asked.
  int64_t CommonPrefix(const std::string& journal, int64_t from, int64_t upto);
  // Reads this journal's cursor and the journals live beside it; false when
  // the ledger did not answer or the cursor moved under this shipper.
  bool ReadCursor();
  void Diverged(const std::string& what);
  void Disconnect();
  // The cursor read again while idle; false (and disconnected) when the
  // ledger did not answer, or the cursor moved under this shipper.
  bool Probe();
  // Reads the next rows to ship and the backlog's figures; false when the
  // journal cannot be read.
  bool ReadBatch(std::vector<Row>& rows);
  int64_t LastJournalId();                                  // -1 when the journal cannot say
  int64_t JournalRowsBetween(int64_t after, int64_t upto);  // ids in (after, upto]; -1 when unknown
  // One transaction; false on failure (the error is kept).
  bool Ship(const std::vector<Row>& rows);
  bool InsertRows(const std::vector<Row>& rows);
  // One statement (or several, without values) with every reply awaited
  // within the time-out; nullptr when the connection failed or the ledger
  // did not answer (the error is kept: the connection is not to be used).
  PGresult* Exec(const std::string& sql, const std::vector<std::string>& values);
  // Exec that expects `status` (libpq's ExecStatusType); false with the
  // error kept (and the SQLSTATE in failed_state_) otherwise.
  bool Step(const std::string& sql, const std::vector<std::string>& values, int status,
            PGresult** out = nullptr);
  void Failed(const std::string& error);
  void StoreLocalCursor(int64_t id);
  int64_t LoadLocalCursor() const;
  bool Wait(std::chrono::milliseconds pause);

  const Options options_;
  sqlite3* journal_ = nullptr;
  PGconn* connection_ = nullptr;  // the thread's own
  int64_t central_ = -1;          // the central cursor as last read, -1 unknown
  std::string ledger_journal_;    // the ledger's journal the next rows ship under
  // The journal ends inside the ledger's copy of it (a backup restored):
  // nothing ships until it grows past this id, then it forks.
  int64_t hold_until_ = -1;
  // The cursor as this run last knew it, kept across connections: a
  // connection lost with a COMMIT's reply finds on the next one whether the
  // batch went in, and the rows shipped are counted again from the journal.
  int64_t known_ = -1;
  std::string known_journal_;  // the ledger's journal known_ is of
  bool broken_ = false;        // the connection failed or hung: drop it
  std::string failed_state_;   // SQLSTATE of the last failed statement
  std::chrono::steady_clock::time_point last_exchange_{};
  std::atomic<bool> stopping_{false};

  std::mutex socket_mutex_;
  int socket_ = -1;  // the connection's, for Stop

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  LedgerStatus status_;
  std::thread thread_;
};

// notavero-serve ledger init|maintain|report ... (args after "ledger");
// returns the exit status, printing what it did or why it could not.
int LedgerCommand(const std::vector<std::string>& args);

}  // namespace notavero::service
