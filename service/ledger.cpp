#include "service/ledger.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/clock.h"
#include "service/journal.h"
#include "service/metrics.h"
#include "service/sqlite.h"

namespace notavero::service {

// The schema files, in order (generated from service/ledger/schema-*.sql).
extern const char* const kLedgerSchema[];
extern const int kLedgerSchemaVersions;

namespace {

using Clock = std::chrono::steady_clock;

// How much longer than a statement's time-out the client waits for any
// reply before it calls the ledger hung.
constexpr auto kReplyMargin = std::chrono::milliseconds(2000);

// A loopback address written as one (a name that resolves to one is not
// known before the connection; the check after connecting decides).
bool IsLoopbackLiteral(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Whether the connection string names only this machine (for the default
// sslmode; the check after connecting decides what is used).
bool IsLocalHost(const std::string& host) {
  if (host.empty()) {
    return true;  // the Unix socket
  }
  // host may list several, comma-separated: every one must be local.
  std::size_t start = 0;
  while (start <= host.size()) {
    const auto comma = host.find(',', start);
    const std::string one =
        host.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const bool local = one.empty() || one.front() == '/' || one.front() == '@' || one == "localhost" ||
                       IsLoopbackLiteral(one);
    if (!local) {
      return false;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return true;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before threads write any
  return value ? value : "";
}

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

std::string Trimmed(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  for (char& ch : text) {
    ch = ch == '\n' ? ' ' : ch;
  }
  return text;
}

// A Prometheus label value.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char ch : text.substr(0, 300)) {
    if (ch == '\\' || ch == '"') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string SqlState(const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr ? state : "";
}

constexpr const char* kInsufficientPrivilege = "42501";
constexpr const char* kQueryCanceled = "57014";
constexpr const char* kUndefinedTable = "42P01";
constexpr const char* kUndefinedFunction = "42883";

// A journal row selected as id, time_ms, device, kind, amount, code,
// decision, detail, hash; its words as written (ones this version does not
// know ship unchanged).
void ReadRow(const sqlite::Statement& select, BillEvent& row, std::string& link) {
  row.id = select.Int(0);
  row.time_ms = select.Int(1);
  row.device = select.Text(2);
  row.kind = Term<RowKind>::Read(select.Text(3));
  row.amount = select.Int(4);
  row.code = select.Int(5);
  row.decision = Term<BillDecision>::Read(select.Text(6));
  row.detail = select.Text(7);
  link = select.Text(8);
}

// A PostgreSQL array literal of the values (empty ones NULL when nulls).
std::string ArrayLiteral(const std::vector<std::string>& values, bool nulls) {
  std::string text = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += i ? "," : "";
    if (nulls && values[i].empty()) {
      text += "NULL";
      continue;
    }
    text += '"';
    for (const char c : values[i]) {
      if (c == '"' || c == '\\') {
        text += '\\';
      }
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

// Waits until libpq can go on with the socket; false at the deadline or
// when stop is set.  An error of the socket's is left for libpq to report.
bool AwaitSocket(PGconn* pg, bool write, Clock::time_point deadline, const std::atomic<bool>* stop) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || (stop != nullptr && stop->load())) {
      return false;
    }
    if (PQsocket(pg) < 0) {
      return true;
    }
    pollfd watched{PQsocket(pg), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    // In slices, so that a stop is seen while a hung ledger keeps quiet.
    const int ready = ::poll(&watched, 1, static_cast<int>(std::min<int64_t>(left, 250)));
    if (ready > 0 || (ready < 0 && errno != EINTR)) {
      return true;
    }
  }
}

std::string SecondsText(std::chrono::milliseconds bound) {
  return std::to_string((bound.count() + 999) / 1000) + " s";
}

// A connection made within bound, checked by LedgerTransportRefusal, or
// nullptr with the reason in error.  libpq's connect_timeout counts only
// in its blocking calls: this bound holds for a server that accepts the
// connection and never answers.
PGconn* OpenConnection(const std::string& conninfo, std::chrono::milliseconds bound,
                       const std::atomic<bool>* stop, std::string& error) {
  PGconn* pg = PQconnectStart(conninfo.c_str());
  if (pg == nullptr) {
    error = "cannot connect: out of memory";
    return nullptr;
  }
  const auto deadline = Clock::now() + bound;
  auto polling = PGRES_POLLING_WRITING;
  while (PQstatus(pg) != CONNECTION_BAD && polling != PGRES_POLLING_OK && polling != PGRES_POLLING_FAILED) {
    if (!AwaitSocket(pg, polling == PGRES_POLLING_WRITING, deadline, stop)) {
      error = "cannot connect: the ledger did not complete the connection within " + SecondsText(bound) +
              " (a hung server or pooler?)";
      if (PQsocket(pg) >= 0) {
        ::shutdown(PQsocket(pg), SHUT_RDWR);  // nothing more is said to it
      }
      PQfinish(pg);
      return nullptr;
    }
    polling = PQconnectPoll(pg);
  }
  if (PQstatus(pg) != CONNECTION_OK) {
    error = "cannot connect: " + Trimmed(PQerrorMessage(pg));
    PQfinish(pg);
    return nullptr;
  }
  if (std::string refused = LedgerTransportRefusal(pg); !refused.empty()) {
    error = std::move(refused);
    PQfinish(pg);
    return nullptr;
  }
  // Notices (a warning of the server's) are not the service's output.
  PQsetNoticeProcessor(
      pg, [](void*, const char*) {}, nullptr);
  return pg;
}

}  // namespace

std::string LedgerConninfo(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (options == nullptr) {
    std::string why = error ? Trimmed(error) : "out of memory";
    PQfreemem(error);
    throw std::invalid_argument("ledger: the connection string is not valid: " + why);
  }
  std::map<std::string, std::string> given;
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val != nullptr) {
      given[option->keyword] = option->val;
    }
  }
  PQconninfoFree(options);
  if (given.count("password") != 0) {
    throw std::invalid_argument(
        "ledger: a password in the connection string is refused (it would show in the process list and "
        "the configuration): put it in libpq's password file (~/.pgpass, or the file PGPASSFILE or "
        "passfile= names), mode 0600");
  }
  if (given.count("sslpassword") != 0) {
    throw std::invalid_argument(
        "ledger: sslpassword in the connection string is refused (it would show in the process list and "
        "the configuration): give a client key without a passphrase, readable by the service's user only "
        "(sslkey=, mode 0600)");
  }
  if (given.count("dbname") != 0 && given["dbname"].find('=') != std::string::npos) {
    throw std::invalid_argument("ledger: a connection URI or string as dbname is refused: give its keys");
  }
  std::string result = conninfo;
  const std::string host = given.count("host") ? given["host"] : Env("PGHOST");
  const std::string hostaddr = given.count("hostaddr") ? given["hostaddr"] : Env("PGHOSTADDR");
  const bool local = IsLocalHost(host) && IsLocalHost(hostaddr);
  // A service file may name the host and the mode: the mode is left to it
  // (libpq's default, prefer, where it names none); the check after
  // connecting refuses what is not safe.
  const bool service = given.count("service") != 0 || !Env("PGSERVICE").empty();
  if (!local && !service && given.count("sslmode") == 0 && Env("PGSSLMODE").empty()) {
    result += " sslmode=verify-full";
  }
  if (given.count("connect_timeout") == 0 && Env("PGCONNECT_TIMEOUT").empty()) {
    result += " connect_timeout=5";
  }
  if (given.count("tcp_user_timeout") == 0) {
    result += " tcp_user_timeout=15000";
  }
  if (given.count("keepalives_idle") == 0) {
    result += " keepalives_idle=30 keepalives_interval=10 keepalives_count=3";
  }
  if (given.count("application_name") == 0) {
    result += " application_name=notavero-serve";
  }
  return result;
}

std::string LedgerEnvironmentWarning() {
  if (Env("PGPASSWORD").empty()) {
    return {};
  }
  return "warning: PGPASSWORD is set: every process of this user can read it (/proc/PID/environ); put the "
         "password in libpq's password file (~/.pgpass or PGPASSFILE, mode 0600) instead";
}

std::string LedgerTransportRefusal(PGconn* connection) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(PQsocket(connection), reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
    return "ledger: refused: cannot tell where the connection goes (getpeername: " +
           std::system_category().message(errno) + ")";
  }
  char address[INET6_ADDRSTRLEN] = "?";
  bool loopback = false;
  if (peer.ss_family == AF_UNIX) {
    return {};
  }
  if (peer.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
    loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    ::inet_ntop(AF_INET, &in->sin_addr, address, sizeof address);
  } else if (peer.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&peer);
    loopback = IN6_IS_ADDR_LOOPBACK(&in->sin6_addr) ||
               (IN6_IS_ADDR_V4MAPPED(&in->sin6_addr) && in->sin6_addr.s6_addr[12] == 127);
    ::inet_ntop(AF_INET6, &in->sin6_addr, address, sizeof address);
  }
  if (loopback) {
    return {};
  }
  std::string mode = "?";
  PQconninfoOption* options = PQconninfo(connection);
  for (const PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr; ++option) {
    if (std::strcmp(option->keyword, "sslmode") == 0 && option->val != nullptr) {
      mode = option->val;
    }
  }
  PQconninfoFree(options);
  const bool tls = PQsslInUse(connection) != 0;
  if (tls && mode == "verify-full") {
    return {};
  }
  const char* host = PQhost(connection);
  return std::string("ledger: refused the connection to ") + (host != nullptr ? host : "?") + " (" + address +
         "): it is neither a Unix socket nor loopback nor TLS with a verified server (" +
         (tls ? "TLS" : "no TLS") + ", sslmode " + mode +
         "): give sslmode=verify-full and the server's CA (sslrootcert=, or ~/.postgresql/root.crt)";
}

std::string LedgerStatusJson(const LedgerStatus& s, int64_t now_ms) {
  JsonObject json;
  json.Add("enabled", s.enabled);
  if (!s.enabled) {
    return json.Text();
  }
  json.Add("kiosk", s.kiosk).Add("connected", s.connected).Add("confirmed_id", s.confirmed_id);
  json.Add("rows_waiting", s.rows_waiting);
  if (s.oldest_waiting_ms != 0) {
    json.Add("oldest_waiting_ms", s.oldest_waiting_ms)
        .Add("oldest_waiting_age_ms", std::max<int64_t>(0, now_ms - s.oldest_waiting_ms));
  } else {
    json.AddRaw("oldest_waiting_ms", "null");
  }
  if (s.last_success_ms != 0) {
    json.Add("last_success_ms", s.last_success_ms);
  } else {
    json.AddRaw("last_success_ms", "null");
  }
  if (s.last_error.empty()) {
    json.AddRaw("last_error", "null");
  } else {
    json.Add("last_error", s.last_error);
  }
  json.Add("rows_shipped", static_cast<int64_t>(s.rows_shipped));
  json.Add("journal", s.journal).Add("ledger_journal", s.ledger_journal);
  if (s.divergence.empty()) {
    json.AddRaw("divergence", "null");
  } else {
    json.Add("divergence", s.divergence);
  }
  return json.Add("divergences", static_cast<int64_t>(s.divergences))
      .Add("live_journals", s.live_journals)
      .Text();
}

std::string LedgerMetrics(const LedgerStatus& s, int64_t now_ms) {
  if (!s.enabled) {
    return {};
  }
  std::string out;
  const auto gauge = [&out](const char* name, const char* type, const char* help, const std::string& value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(value).append("\n");
  };
  gauge("notavero_ledger_up", "gauge", "1 while the last exchange with the ledger succeeded.",
        s.connected && s.last_error.empty() ? "1" : "0");
  gauge("notavero_ledger_rows_waiting", "gauge", "Journal rows the ledger does not hold yet.",
        std::to_string(s.rows_waiting));
  gauge("notavero_ledger_oldest_waiting_age_seconds", "gauge",
        "Age of the oldest journal row the ledger does not hold yet, 0 when none waits.",
        s.oldest_waiting_ms == 0 ? "0" : Seconds(std::max<int64_t>(0, now_ms - s.oldest_waiting_ms)));
  gauge("notavero_ledger_last_success_timestamp_seconds", "gauge",
        "Unix time of the last batch the ledger committed, 0 never.", Seconds(s.last_success_ms));
  gauge("notavero_ledger_confirmed_id", "gauge", "The ledger holds every journal row up to this id.",
        std::to_string(s.confirmed_id));
  gauge("notavero_ledger_rows_shipped_total", "counter",
        "Rows the ledger committed since the service started.", std::to_string(s.rows_shipped));
  gauge("notavero_ledger_divergences_total", "counter",
        "Times this journal was found to differ from what the ledger held (a new journal beside others of "
        "this kiosk id, or a journal restored from a backup).",
        std::to_string(s.divergences));
  gauge("notavero_ledger_live_journals", "gauge",
        "Journals of this kiosk id in the ledger whose rows interleave in time with this one's, itself "
        "included (more than 1: two kiosks with one kiosk id); 0 unknown.",
        std::to_string(s.live_journals));
  out +=
      "# HELP notavero_ledger_error_info The last failure to ship (libpq's message); none after a success.\n"
      "# TYPE notavero_ledger_error_info gauge\n";
  if (!s.last_error.empty()) {
    out += "notavero_ledger_error_info{error=\"" + LabelValue(s.last_error) + "\"} 1\n";
  }
  return out;
}

LedgerShipper::LedgerShipper(Options options) : options_(std::move(options)) {
  status_.enabled = true;
  status_.kiosk = options_.kiosk;
  status_.journal = options_.identity;
  status_.confirmed_id = LoadLocalCursor();
  if (sqlite3_open_v2(options_.journal.c_str(), &journal_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    const std::string why = journal_ ? sqlite3_errmsg(journal_) : "out of memory";
    sqlite3_close(journal_);
    throw std::runtime_error("ledger: cannot read the journal " + options_.journal + ": " + why);
  }
  sqlite3_busy_timeout(journal_, 1000);
}

LedgerShipper::~LedgerShipper() {
  Stop();
  sqlite3_close(journal_);
}

void LedgerShipper::Start() {
  thread_ = std::thread([this] { Run(); });
}

void LedgerShipper::Stop() {
  {
    const std::scoped_lock lock(mutex_);
    stop_ = true;
  }
  stopping_ = true;  // a wait for a connection ends too
  wake_.notify_all();
  {
    const std::scoped_lock lock(socket_mutex_);
    if (socket_ >= 0) {
      ::shutdown(socket_, SHUT_RDWR);  // the thread's query ends with an error
    }
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  Disconnect();
}

LedgerStatus LedgerShipper::Status() const {
  const std::scoped_lock lock(mutex_);
  return status_;
}

bool LedgerShipper::Wait(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, pause, [this] { return stop_; });
  return !stop_;
}

void LedgerShipper::Failed(const std::string& error) {
  const std::scoped_lock lock(mutex_);
  status_.last_error = error;
}

void LedgerShipper::Run() {
  auto backoff = std::chrono::milliseconds(1000);
  std::vector<Row> rows;
  rows.reserve(static_cast<std::size_t>(options_.batch));
  for (;;) {
    {
      const std::scoped_lock lock(mutex_);
      if (stop_) {
        break;
      }
    }
    bool ok = connection_ != nullptr || Connect();
    bool more = false;
    if (ok && hold_until_ >= 0 && LastJournalId() > hold_until_) {
      Disconnect();  // a restored journal took its first new row: it forks now
      ok = Connect();
    }
    if (ok) {
      ok = ReadBatch(rows);
      if (ok && !rows.empty()) {
        ok = Ship(rows);
        more = ok && static_cast<int>(rows.size()) == options_.batch;
        if (ok && !more) {
          ReadBatch(rows);  // the figures after the last batch (the next round reads them otherwise)
        }
      } else if (ok && Clock::now() - last_exchange_ >= options_.probe_interval) {
        ok = Probe();  // an idle kiosk learns that the ledger went away or hangs
      }
    } else {
      ReadBatch(rows);  // the backlog's figures while the ledger is away
    }
    if (ok) {
      backoff = std::chrono::milliseconds(1000);
      if (!more && !Wait(options_.idle_poll)) {
        break;
      }
      continue;
    }
    if (!Wait(backoff)) {
      break;
    }
    backoff = std::min(backoff * 2, options_.max_backoff);
  }
}

bool LedgerShipper::Connect() {
  std::string error;
  PGconn* connection = OpenConnection(options_.conninfo, options_.timeout + kReplyMargin, &stopping_, error);
  if (connection == nullptr) {
    Failed(error);
    return false;
  }
  // Replies are awaited with poll and a deadline: a send never blocks either.
  PQsetnonblocking(connection, 1);
  connection_ = connection;
  broken_ = false;
  last_exchange_ = Clock::now();
  {
    const std::scoped_lock lock(socket_mutex_);
    socket_ = PQsocket(connection_);
  }
  if (!Resolve()) {
    if (failed_state_ == kUndefinedTable || failed_state_ == kUndefinedFunction) {
      Failed(
          "the ledger's schema is older than this service's (no journal_cursor): its owner runs "
          "notavero-serve ledger init (SQLSTATE " +
          failed_state_ + ")");
    }
    Disconnect();
    return false;
  }
  // A batch whose COMMIT's reply was lost went in if the cursor is past
  // where this run last knew it: its rows count as shipped.
  uint64_t recounted = 0;
  if (known_ >= 0 && known_journal_ == ledger_journal_ && central_ > known_) {
    recounted = static_cast<uint64_t>(std::max<int64_t>(0, JournalRowsBetween(known_, central_)));
  }
  known_ = central_;
  known_journal_ = ledger_journal_;
  StoreLocalCursor(central_);
  const std::scoped_lock lock(mutex_);
  status_.connected = true;
  status_.confirmed_id = central_;
  status_.ledger_journal = ledger_journal_;
  status_.rows_shipped += recounted;
  status_.last_error.clear();
  status_.last_success_ms = NowMs();
  return true;
}

bool LedgerShipper::Resolve() {
  hold_until_ = -1;
  PGresult* listed = nullptr;
  if (!Step("SELECT journal, COALESCE(continues, ''), COALESCE(continues_after, 0), journal_id "
            "FROM journal_cursor WHERE kiosk = $1",
            {options_.kiosk}, PGRES_TUPLES_OK, &listed)) {
    return false;
  }
  std::map<std::string, Cursor> cursors;
  {
    const Result read(listed);
    for (int i = 0; i < PQntuples(read.get()); ++i) {
      cursors[PQgetvalue(read.get(), i, 0)] =
          Cursor{PQgetvalue(read.get(), i, 1), std::strtoll(PQgetvalue(read.get(), i, 2), nullptr, 10),
                 std::strtoll(PQgetvalue(read.get(), i, 3), nullptr, 10)};
    }
  }
  const int64_t last = LastJournalId();
  if (last < 0) {
    Failed("cannot read the journal: " + std::string(sqlite3_errmsg(journal_)));
    return false;
  }
  // Follow this journal through the ledger: under its own identity, then
  // through each continuation made for it, to the one its next rows go to.
  std::string current = options_.identity;
  int64_t base = 0;  // the rows of `current` begin after this id
  for (std::size_t hops = 0; hops <= cursors.size(); ++hops) {
    const auto found = cursors.find(current);
    if (found == cursors.end()) {
      if (current == options_.identity) {
        return BeginJournal(cursors);
      }
      return false;  // a continuation is made before it is followed
    }
    const int64_t held_up_to = found->second.id;
    if (held_up_to <= base) {
      ledger_journal_ = current;
      central_ = held_up_to;
      return ReadCursor();
    }
    const int64_t agreed = CommonPrefix(current, base, std::min(held_up_to, last));
    if (agreed < 0) {
      return false;
    }
    if (agreed == held_up_to) {
      ledger_journal_ = current;
      central_ = held_up_to;
      return ReadCursor();
    }
    if (agreed >= last) {
      // Every row of this journal is in the ledger, and the ledger holds
      // more: its next row will differ from the ledger's next one.
      Diverged("this journal ends at id " + std::to_string(last) +
               " but the ledger holds its rows up to id " + std::to_string(held_up_to) +
               " (a journal restored from a backup?): its new rows will ship as a journal of their own that "
               "continues after id " +
               std::to_string(agreed));
      ledger_journal_ = current;
      central_ = held_up_to;
      hold_until_ = agreed;
      return ReadCursor();
    }
    Row next;
    if (!LocalRow(agreed + 1, next)) {
      Failed("cannot read the journal's row " + std::to_string(agreed + 1));
      return false;
    }
    // The continuation's identity is made from the journal it continues,
    // where, and the first row after: the same restored journal finds the
    // same continuation again (after a kill, on every connection), another
    // one makes another.
    const std::string first = next.link.empty()
                                  ? ChainLink("", next.id, next.time_ms, next.device, next.kind.Text(),
                                              next.amount, next.code, next.decision.Text(), next.detail)
                                  : next.link;
    const std::string fork = ChainLink(current, agreed, 0, first, "fork", 0, 0, "", "").substr(0, 32);
    if (cursors.count(fork) == 0) {
      Row shared;
      const std::string link = agreed > base && LocalRow(agreed, shared) ? shared.link : std::string();
      if (!MakeCursor(fork, current, agreed, link)) {
        return false;
      }
      std::string what = "this journal differs from the ledger's copy of journal " + current;
      what +=
          " after id " + std::to_string(agreed) + " (a journal restored from a backup?): its rows from id ";
      what += std::to_string(agreed + 1) + " ship as journal " + fork + ", which continues it; the ledger's ";
      what += std::to_string(held_up_to - agreed) + " row(s) after id " + std::to_string(agreed);
      Diverged(what + " stay, and count once");
      cursors[fork] = Cursor{current, agreed, agreed};
    }
    current = fork;
    base = agreed;
  }
  Failed("the ledger's journals of kiosk " + options_.kiosk + " continue one another in a circle");
  return false;
}

bool LedgerShipper::BeginJournal(const std::map<std::string, Cursor>& cursors) {
  // Rows shipped before journals had identities are the journal ''; the
  // journal that was migrated in place continues them.
  const auto legacy = cursors.find("");
  if (legacy != cursors.end() && legacy->second.id > 0) {
    Row local;
    Row held;
    bool found = false;
    if (!HeldRow("", legacy->second.id, held, found)) {
      return false;
    }
    if (found && LocalRow(legacy->second.id, local) && SameContent(local, held)) {
      if (!MakeCursor(options_.identity, "", legacy->second.id, local.link)) {
        return false;
      }
      std::cerr << "notavero-serve: ledger: journal " << options_.identity << " continues the rows kiosk "
                << options_.kiosk << " shipped before journals had identities, after id " << legacy->second.id
                << "\n";
      ledger_journal_ = options_.identity;
      central_ = legacy->second.id;
      return ReadCursor();
    }
  }
  if (!MakeCursor(options_.identity, "", 0, "")) {
    return false;
  }
  if (!cursors.empty()) {
    Diverged("journal " + options_.identity + " is new to the ledger, which holds " +
             std::to_string(cursors.size()) + " other journal(s) of kiosk " + options_.kiosk +
             " (a re-imaged kiosk, or another kiosk with this --kiosk-id): it ships whole, beside them");
  }
  ledger_journal_ = options_.identity;
  central_ = 0;
  return ReadCursor();
}

bool LedgerShipper::MakeCursor(const std::string& journal, const std::string& continues, int64_t after,
                               const std::string& link) {
  PGresult* made = nullptr;
  if (!Step("INSERT INTO journal_cursor(kiosk, journal, continues, continues_after, journal_id, link) "
            "VALUES ($1, $2, NULLIF($3, ''), NULLIF($4::bigint, 0), $4::bigint, NULLIF($5, '')) "
            "ON CONFLICT DO NOTHING",
            {options_.kiosk, journal, continues, std::to_string(after), link}, PGRES_COMMAND_OK, &made)) {
    return false;
  }
  const Result held(made);
  if (std::strcmp(PQcmdTuples(made), "1") != 0) {
    Failed("another service made the ledger's cursor of journal " + journal +
           " at the same moment: read again");
    broken_ = true;
    return false;
  }
  return true;
}

bool LedgerShipper::HeldRow(const std::string& journal, int64_t id, Row& row, bool& found) {
  PGresult* read = nullptr;
  if (!Step("SELECT round(extract(epoch FROM time) * 1000)::bigint, device, kind, amount, bill_type, "
            "COALESCE(link, '') FROM events WHERE kiosk = $1 AND journal = $2 AND journal_id = $3::bigint",
            {options_.kiosk, journal, std::to_string(id)}, PGRES_TUPLES_OK, &read)) {
    return false;
  }
  const Result held(read);
  found = PQntuples(read) == 1;
  if (found) {
    row.id = id;
    row.time_ms = std::strtoll(PQgetvalue(read, 0, 0), nullptr, 10);
    row.device = PQgetvalue(read, 0, 1);
    row.kind = Term<RowKind>::Read(PQgetvalue(read, 0, 2));
    row.amount = std::strtoll(PQgetvalue(read, 0, 3), nullptr, 10);
    row.code = std::strtoll(PQgetvalue(read, 0, 4), nullptr, 10);
    row.link = PQgetvalue(read, 0, 5);
  }
  return true;
}

int64_t LedgerShipper::CommonPrefix(const std::string& journal, int64_t from, int64_t upto) {
  // Rows agree when their links do (a link covers every row before it), or,
  // before the chain, when their content does.  A row the ledger does not
  // hold (in a detached month) agrees with none.
  const auto agrees = [this, &journal](int64_t id, bool& asked) {
    Row local;
    Row held;
    bool found = false;
    asked = HeldRow(journal, id, held, found);
    if (!asked || !found || !LocalRow(id, local)) {
      return false;
    }
    if (!local.link.empty() || !held.link.empty()) {
      return local.link == held.link;
    }
    return SameContent(local, held);
  };
  bool asked = true;
  if (upto > from && agrees(upto, asked)) {
    return upto;
  }
  if (!asked) {
    return -1;
  }
  int64_t low = from;  // agrees (or is where the journal's rows begin)
  int64_t high = upto - 1;
  while (low < high) {
    const int64_t middle = low + (high - low + 1) / 2;
    if (agrees(middle, asked)) {
      low = middle;
    } else if (!asked) {
      return -1;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

bool LedgerShipper::ReadCursor() {
  PGresult* cursor = nullptr;
  if (!Step("SELECT last_id, cardinality(live_beside) + 1 FROM kiosk_journals WHERE kiosk = $1 AND journal = "
            "$2",
            {options_.kiosk, ledger_journal_}, PGRES_TUPLES_OK, &cursor)) {
    return false;
  }
  const Result read(cursor);
  if (PQntuples(read.get()) != 1) {
    Failed("the ledger shows this role no cursor of kiosk " + options_.kiosk +
           ": is the role bound to another kiosk in kiosk_roles?");
    return false;
  }
  if (std::strtoll(PQgetvalue(read.get(), 0, 0), nullptr, 10) != central_) {
    Failed("the cursor of journal " + ledger_journal_ +
           " moved under this service (another service ships it as "
           "kiosk " +
           options_.kiosk + "?): read again");
    return false;
  }
  const int64_t live = std::strtoll(PQgetvalue(read.get(), 0, 1), nullptr, 10);
  const std::scoped_lock lock(mutex_);
  if (live > 1 && live != status_.live_journals) {
    std::cerr << "notavero-serve: ledger: " << live << " journals of kiosk " << options_.kiosk
              << " are live at once (two kiosks with one --kiosk-id?): see the ledger's view "
                 "kiosks_with_two_live_journals\n";
  }
  status_.live_journals = live;
  return true;
}

void LedgerShipper::Diverged(const std::string& what) {
  if (Status().divergence == what) {
    return;  // found again on a new connection: said already
  }
  std::cerr << "notavero-serve: ledger: kiosk " << options_.kiosk << ": " << what << "\n";
  const std::scoped_lock lock(mutex_);
  status_.divergence = what;
  ++status_.divergences;
}

bool LedgerShipper::Probe() {
  if (!ReadCursor()) {
    Disconnect();
    return false;
  }
  const std::scoped_lock lock(mutex_);
  status_.last_error.clear();
  return true;
}

void LedgerShipper::Disconnect() {
  {
    const std::scoped_lock lock(socket_mutex_);
    if (broken_ && socket_ >= 0) {
      ::shutdown(socket_, SHUT_RDWR);  // a hung ledger gets no goodbye it would not read
    }
    socket_ = -1;
    PQfinish(connection_);  // under the lock: Stop never shuts a descriptor that was reused
  }
  connection_ = nullptr;
  central_ = -1;
  broken_ = false;
  const std::scoped_lock lock(mutex_);
  status_.connected = false;
}

PGresult* LedgerShipper::Exec(const std::string& sql, const std::vector<std::string>& values) {
  if (connection_ == nullptr || broken_) {
    return nullptr;
  }
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const auto& value : values) {
    pointers.push_back(value.c_str());
  }
  const bool sent = values.empty()
                        ? PQsendQuery(connection_, sql.c_str()) != 0
                        : PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(pointers.size()),
                                            nullptr, pointers.data(), nullptr, nullptr, 0) != 0;
  const auto bound = options_.timeout + kReplyMargin;
  const auto deadline = Clock::now() + bound;
  const auto lost = [this, &bound](PGresult* kept, bool hung) -> PGresult* {
    PQclear(kept);
    broken_ = true;
    if (hung && !stopping_) {
      Failed("the ledger did not answer within " + SecondsText(bound) + " (a hung server or pooler?)");
    } else {
      Failed(Trimmed(PQerrorMessage(connection_)));
    }
    return nullptr;
  };
  if (!sent) {
    return lost(nullptr, false);
  }
  for (int flushed = PQflush(connection_); flushed != 0; flushed = PQflush(connection_)) {
    if (flushed < 0) {
      return lost(nullptr, false);
    }
    if (!AwaitSocket(connection_, true, deadline, &stopping_)) {
      return lost(nullptr, true);
    }
    PQconsumeInput(connection_);  // the server may answer (an error) before it has read everything
  }
  // Several statements give several results: the first failure, else the last.
  PGresult* kept = nullptr;
  for (;;) {
    while (PQisBusy(connection_) != 0) {
      if (!AwaitSocket(connection_, false, deadline, &stopping_)) {
        return lost(kept, true);
      }
      if (PQconsumeInput(connection_) == 0) {
        return lost(kept, false);
      }
    }
    PGresult* result = PQgetResult(connection_);
    if (result == nullptr) {
      break;
    }
    const auto status = PQresultStatus(kept);
    if (kept != nullptr && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      PQclear(result);
    } else {
      PQclear(kept);
      kept = result;
    }
  }
  if (kept == nullptr || PQstatus(connection_) != CONNECTION_OK) {
    return lost(kept, false);
  }
  last_exchange_ = Clock::now();
  return kept;
}

bool LedgerShipper::Step(const std::string& sql, const std::vector<std::string>& values, int status,
                         PGresult** out) {
  failed_state_.clear();
  Result result(Exec(sql, values));
  if (!result) {
    return false;
  }
  if (static_cast<int>(PQresultStatus(result.get())) != status) {
    failed_state_ = SqlState(result.get());
    std::string why = Trimmed(PQresultErrorMessage(result.get()));
    if (failed_state_ == kInsufficientPrivilege) {
      why = "the ledger refuses this role kiosk " + options_.kiosk +
            "'s rows (the owner binds the role to the kiosk in kiosk_roles; it needs notavero_kiosk's "
            "rights): " +
            why;
    } else if (failed_state_ == kQueryCanceled) {
      why = "the ledger did not finish a statement within " + SecondsText(options_.timeout) + ": " + why;
    }
    Failed(why + (failed_state_.empty() ? "" : " (SQLSTATE " + failed_state_ + ")"));
    return false;
  }
  if (out != nullptr) {
    *out = result.release();
  }
  return true;
}

int64_t LedgerShipper::LastJournalId() {
  try {
    sqlite::Statement select(journal_, "SELECT COALESCE(MAX(id), 0) FROM events");
    return select.Step() ? select.Int(0) : -1;
  } catch (const sqlite::Error&) {
    return -1;  // the caller names SQLite's message
  }
}

int64_t LedgerShipper::JournalRowsBetween(int64_t after, int64_t upto) {
  try {
    sqlite::Statement select(journal_, "SELECT COUNT(*) FROM events WHERE id > ? AND id <= ?");
    return select.Bind(1, after).Bind(2, upto).Step() ? select.Int(0) : -1;
  } catch (const sqlite::Error&) {
    return -1;
  }
}

bool LedgerShipper::ReadBatch(std::vector<Row>& rows) {
  rows.clear();
  const int64_t after = central_ >= 0 ? central_ : Status().confirmed_id;
  bool ok = true;
  int64_t waiting = 0;
  int64_t oldest_ms = 0;
  try {
    sqlite::Statement select(journal_,
                             "SELECT id, time_ms, device, kind, amount, code, decision, detail, hash "
                             "FROM events WHERE id > ? ORDER BY id LIMIT ?");
    sqlite::Statement backlog(journal_, "SELECT COUNT(*), MIN(id) FROM events WHERE id > ?");
    sqlite3_exec(journal_, "BEGIN", nullptr, nullptr, nullptr);  // one snapshot for both
    try {
      select.Bind(1, after).Bind(2, options_.batch);
      while (select.Step()) {
        Row row;
        ReadRow(select, row, row.link);
        if (rows.empty()) {
          oldest_ms = row.time_ms;
        }
        // An escrow waits for its decision (the journal writes it within the
        // escrow's time-out): the ledger gets the row once, decided.
        if (row.kind == RowKind::kEscrow && row.decision == BillDecision::kNone) {
          break;
        }
        rows.push_back(std::move(row));
      }
    } catch (const sqlite::Error&) {
      ok = false;
    }
    if (ok) {
      try {
        if (backlog.Bind(1, after).Step()) {
          waiting = backlog.Int(0);
        }
      } catch (const sqlite::Error&) {
        // the backlog's figure stays 0; the batch is good
      }
    }
    sqlite3_exec(journal_, "COMMIT", nullptr, nullptr, nullptr);
  } catch (const sqlite::Error&) {
    ok = false;
  }
  const std::string why = ok ? std::string() : sqlite3_errmsg(journal_);
  const std::scoped_lock lock(mutex_);
  if (!ok) {
    status_.last_error = "cannot read the journal: " + why;
    return false;
  }
  status_.rows_waiting = waiting;
  status_.oldest_waiting_ms = waiting > 0 ? oldest_ms : 0;
  return true;
}

bool LedgerShipper::LocalRow(int64_t id, Row& row) {
  try {
    sqlite::Statement select(
        journal_,
        "SELECT id, time_ms, device, kind, amount, code, decision, detail, hash FROM events "
        "WHERE id = ?");
    if (!select.Bind(1, id).Step()) {
      return false;
    }
    row = Row();
    ReadRow(select, row, row.link);
    return true;
  } catch (const sqlite::Error&) {
    return false;
  }
}

std::string LedgerShipper::LocalLinkBefore(int64_t id) {
  try {
    sqlite::Statement select(journal_, "SELECT hash FROM events WHERE id < ? ORDER BY id DESC LIMIT 1");
    return select.Bind(1, id).Step() && !select.IsNull(0) ? select.Text(0) : std::string();
  } catch (const sqlite::Error&) {
    return {};
  }
}

bool LedgerShipper::InsertRows(const std::vector<Row>& rows) {
  // The batch goes as one array a column: the ledger checks its chain, then
  // takes it (a row already there is ignored).
  std::vector<std::string> columns[9];
  for (auto& column : columns) {
    column.reserve(rows.size());
  }
  for (const Row& row : rows) {
    columns[0].push_back(std::to_string(row.id));
    columns[1].push_back(std::to_string(row.time_ms));
    columns[2].push_back(row.device);
    columns[3].emplace_back(row.kind.Text());
    columns[4].push_back(std::to_string(row.amount));
    columns[5].push_back(std::to_string(row.code));
    columns[6].emplace_back(row.decision.Text());
    columns[7].push_back(row.detail);
    columns[8].push_back(row.link);
  }
  std::vector<std::string> values{options_.kiosk, ledger_journal_, std::to_string(central_),
                                  LocalLinkBefore(rows.front().id)};
  for (std::size_t column = 0; column < std::size(columns); ++column) {
    values.push_back(ArrayLiteral(columns[column], column >= 6));
  }
  PGresult* checked = nullptr;
  if (!Step("SELECT ledger_chain_break($1, $2, $3::bigint, NULLIF($4, ''), $5::bigint[], $6::bigint[], "
            "$7::text[], $8::text[], $9::bigint[], $10::bigint[], $11::text[], $12::text[], $13::text[])",
            values, PGRES_TUPLES_OK, &checked)) {
    return false;
  }
  const Result check(checked);
  if (PQgetisnull(checked, 0, 0) == 0) {
    const std::string id = PQgetvalue(checked, 0, 0);
    Failed("the ledger refused this journal's rows from id " + id + ": row " + id +
           " does not fit the journal's hash chain (it, or a row before it, was changed after it was "
           "written): notavero-serve journal verify names the row; nothing after it ships");
    return false;
  }
  values.erase(values.begin() + 2, values.begin() + 4);  // the rows alone, from $3 on
  return Step(
      "INSERT INTO events(kiosk, journal, journal_id, time, device, kind, amount, bill_type, decision, "
      "detail, link) "
      "SELECT $1, $2, r.id, to_timestamp(r.time_ms / 1000.0), r.device, r.kind, r.amount, "
      "r.code::integer, r.decision, r.detail, r.link "
      "FROM unnest($3::bigint[], $4::bigint[], $5::text[], $6::text[], $7::bigint[], $8::bigint[], "
      "$9::text[], $10::text[], $11::text[]) "
      "AS r(id, time_ms, device, kind, amount, code, decision, detail, link) "
      "ON CONFLICT DO NOTHING",
      values, PGRES_COMMAND_OK);
}

bool LedgerShipper::Ship(const std::vector<Row>& rows) {
  const int64_t last = rows.back().id;
  // The statement time-out holds for this transaction only (a pooler in
  // transaction mode keeps no session settings).
  PGresult* moved = nullptr;
  bool ok = Step("BEGIN; SET LOCAL statement_timeout = " + std::to_string(options_.timeout.count()), {},
                 PGRES_COMMAND_OK) &&
            InsertRows(rows) &&
            // The cursor moves only from where this shipper left it: another
            // process that shipped meanwhile (a second service with the
            // same journal) makes this batch roll back, and the cursor is
            // read again.
            Step(
                "UPDATE journal_cursor SET journal_id = $3::bigint, link = NULLIF($4, ''), "
                "first_time = COALESCE(first_time, to_timestamp($5::bigint / 1000.0)), "
                "last_time = to_timestamp($6::bigint / 1000.0), updated_at = now() "
                "WHERE kiosk = $1 AND journal = $2 AND journal_id = $7::bigint",
                {options_.kiosk, ledger_journal_, std::to_string(last), rows.back().link,
                 std::to_string(rows.front().time_ms), std::to_string(rows.back().time_ms),
                 std::to_string(central_)},
                PGRES_COMMAND_OK, &moved);
  const Result held(moved);
  if (ok && std::strcmp(PQcmdTuples(moved), "1") != 0) {
    Failed("the cursor of journal " + ledger_journal_ +
           " moved under this batch (another service ships it as "
           "kiosk " +
           options_.kiosk + "?): read again");
    ok = false;
    broken_ = true;  // reconnect: the cursor is read again
  }
  // A COMMIT whose reply is lost leaves the outcome to the next
  // connection's cursor (Connect counts the rows if they went in).
  ok = ok && Step("COMMIT", {}, PGRES_COMMAND_OK);
  if (!ok) {
    if (!broken_) {
      const Result rolled_back(Exec("ROLLBACK", {}));
    }
    if (broken_) {
      Disconnect();  // the next round connects again and reads the cursor
    }
    return false;
  }
  central_ = last;
  known_ = last;
  StoreLocalCursor(last);
  const std::scoped_lock lock(mutex_);
  status_.confirmed_id = last;
  status_.rows_shipped += rows.size();
  status_.last_success_ms = NowMs();
  status_.last_error.clear();
  return true;
}

void LedgerShipper::StoreLocalCursor(int64_t id) {
  if (options_.cursor_file.empty()) {
    return;
  }
  const std::string temporary = options_.cursor_file + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return;  // only the figures while the ledger is away use it
  }
  const std::string text = options_.kiosk + " " + std::to_string(id) + " " + options_.identity + "\n";
  const bool ok =
      ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (ok) {
    std::rename(temporary.c_str(), options_.cursor_file.c_str());
  }
}

int64_t LedgerShipper::LoadLocalCursor() const {
  std::ifstream file(options_.cursor_file);
  std::string kiosk;
  std::string identity;
  int64_t id = 0;
  // Another kiosk id's or another journal's cursor says nothing about this
  // one (a file of an older version names no journal).
  if (!(file >> kiosk >> id) || kiosk != options_.kiosk || id <= 0) {
    return 0;
  }
  return !(file >> identity) || identity == options_.identity ? id : 0;
}

namespace {

struct Connection {
  PGconn* pg = nullptr;
  explicit Connection(const std::string& conninfo) {
    std::string why;
    pg = OpenConnection(conninfo, std::chrono::seconds(30), nullptr, why);
    if (pg == nullptr) {
      throw std::runtime_error("the ledger: " + why);
    }
  }
  ~Connection() { PQfinish(pg); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Result Query(const char* sql, const std::vector<std::string>& values = {}) {
    std::vector<const char*> pointers;
    pointers.reserve(values.size());
    for (const auto& value : values) {
      pointers.push_back(value.c_str());
    }
    Result result(PQexecParams(pg, sql, static_cast<int>(pointers.size()), nullptr, pointers.data(), nullptr,
                               nullptr, 0));
    Check(result.get());
    return result;
  }
  void Script(const char* sql) {
    const Result result(PQexec(pg, sql));
    Check(result.get());
  }
  static void Check(const PGresult* result) {
    const auto status = PQresultStatus(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      const std::string state = SqlState(result);
      std::string why = Trimmed(PQresultErrorMessage(result));
      if (state == kInsufficientPrivilege) {
        why =
            "this role may not do that (the ledger's owner runs init and maintain; the report needs "
            "a member of notavero_accountant): " +
            why;
      }
      throw std::runtime_error(why + (state.empty() ? "" : " (SQLSTATE " + state + ")"));
    }
  }
};

// The groups the schema grants to, from version 2 on.
constexpr const char* kLedgerGroups[] = {"notavero_kiosk", "notavero_accountant"};
constexpr int kRlsVersion = 2;
constexpr int kServerWithInvokerViews = 150000;

const char* const kLedgerUsage =
    "usage: notavero-serve ledger init --ledger CONNINFO\n"
    "       notavero-serve ledger maintain --ledger CONNINFO [--months-ahead N]\n"
    "       notavero-serve ledger report --ledger CONNINFO --since YYYY-MM-DD [--json]\n"
    "  init     creates the ledger's tables, views and role groups, or brings them to this version\n"
    "  maintain (the owner, e.g. daily) moves rows of the default partition into their months'\n"
    "           partitions and makes the partitions of this month and the next N (default 2)\n"
    "  report   (an accountant) the cassette collections and the money per kiosk since the date (UTC)\n"
    "  CONNINFO a libpq connection string without a password (the password file holds it)\n";

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

int SchemaVersion(Connection& db) {
  const Result exists = db.Query("SELECT to_regclass('ledger_schema') IS NOT NULL");
  if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") {
    return 0;
  }
  const Result current = db.Query("SELECT COALESCE(max(version), 0) FROM ledger_schema");
  return std::atoi(PQgetvalue(current.get(), 0, 0));
}

// The kiosks' and the accountants' groups, made when missing; false (with
// what a role administrator runs) when this role may not make roles.
bool EnsureGroups(Connection& db) {
  std::vector<std::string> missing;
  for (const char* group : kLedgerGroups) {
    if (PQntuples(db.Query("SELECT 1 FROM pg_roles WHERE rolname = $1", {group}).get()) == 1) {
      continue;
    }
    const Result made(PQexec(db.pg, (std::string("CREATE ROLE ") + group + " NOLOGIN").c_str()));
    if (PQresultStatus(made.get()) == PGRES_COMMAND_OK) {
      std::cout << "ledger roles: group " << group << " made\n";
    } else if (SqlState(made.get()) == kInsufficientPrivilege) {
      missing.emplace_back(group);
    } else {
      Connection::Check(made.get());
    }
  }
  if (missing.empty()) {
    return true;
  }
  std::cerr << "notavero-serve ledger init: this role may not make roles; a role administrator runs\n";
  for (const auto& group : missing) {
    std::cerr << "  CREATE ROLE " << group << " NOLOGIN;\n";
  }
  std::cerr << "and init runs again (nothing changed)\n";
  return false;
}

int Init(Connection& db) {
  const int version = SchemaVersion(db);
  if (version > kLedgerSchemaVersions) {
    std::cerr << "notavero-serve ledger: the ledger's schema is at version " << version
              << ", newer than this program's " << kLedgerSchemaVersions << ": nothing changed\n";
    return 1;
  }
  if (version == kLedgerSchemaVersions) {
    std::cout << "ledger schema: version " << version << " already\n";
    return 0;
  }
  if (version < kRlsVersion) {
    if (PQserverVersion(db.pg) < kServerWithInvokerViews) {
      std::cerr << "notavero-serve ledger init: the ledger needs PostgreSQL 15 or later (views that run with "
                   "the caller's rights); this server is "
                << PQparameterStatus(db.pg, "server_version") << ": nothing changed\n";
      return 1;
    }
    if (!EnsureGroups(db)) {
      return 1;
    }
  }
  for (int next = version; next < kLedgerSchemaVersions; ++next) {
    db.Script("BEGIN");
    try {
      db.Script(kLedgerSchema[next]);
      db.Script("COMMIT");
    } catch (...) {
      PQclear(PQexec(db.pg, "ROLLBACK"));
      throw;
    }
    std::cout << "ledger schema: version " << next + 1 << " applied\n";
  }
  return 0;
}

int Maintain(Connection& db, int months_ahead) {
  if (SchemaVersion(db) < kRlsVersion) {
    std::cerr << "notavero-serve ledger maintain: the ledger's schema is older than version " << kRlsVersion
              << ": run notavero-serve ledger init first\n";
    return 1;
  }
  // Kiosks that ship a row of a month without its partition wait while the
  // default partition is locked: never long.
  db.Script("SET lock_timeout = '10s'");
  db.Script("BEGIN");
  Result done;
  try {
    done = db.Query(
        "SELECT month_partition, made, rows_moved FROM ledger_maintain($1::integer) ORDER BY month_partition",
        {std::to_string(months_ahead)});
    db.Script("COMMIT");
  } catch (...) {
    PQclear(PQexec(db.pg, "ROLLBACK"));
    throw;
  }
  for (int i = 0; i < PQntuples(done.get()); ++i) {
    const std::string name = PQgetvalue(done.get(), i, 0);
    const std::string rows = PQgetvalue(done.get(), i, 2);
    if (std::string(PQgetvalue(done.get(), i, 1)) == "t") {
      std::cout << name << ": made, " << rows << " rows moved into it from events_default\n";
    } else {
      std::cout << name << ": a table that is not a partition of events (detached?): " << rows
                << " rows of its month stay in events_default\n";
    }
  }
  const Result left = db.Query("SELECT count(*) FROM events_default");
  std::cout << "events_default: " << PQgetvalue(left.get(), 0, 0) << " rows\n";
  return 0;
}

int Report(Connection& db, const std::string& since, bool json) {
  // Row level security shows a role only what it may see: a report that
  // sees no kiosk at all would be a page of zeros.
  const Result current = db.Query("SELECT to_regclass('journal_cursor') IS NULL");
  if (std::string(PQgetvalue(current.get(), 0, 0)) == "t") {
    std::cerr << "notavero-serve ledger report: the ledger's schema is older than this program's (version "
              << kLedgerSchemaVersions << "): its owner runs notavero-serve ledger init first\n";
    return 1;
  }
  const Result seen =
      db.Query("SELECT (SELECT count(*) FROM journal_cursor) + (SELECT count(*) FROM kiosk_cursor)");
  if (std::string(PQgetvalue(seen.get(), 0, 0)) == "0") {
    std::cerr << "notavero-serve ledger report: this role sees no kiosk in the ledger (run the report as a "
                 "member of notavero_accountant; or no kiosk has shipped yet)\n";
    return 1;
  }
  const Result collections = db.Query(
      "SELECT kiosk, device, journal_id, (EXTRACT(EPOCH FROM time) * 1000)::bigint, amount, bill_type, "
      "detail "
      "FROM events WHERE kind = 'collection' AND time >= $1::date::timestamp AT TIME ZONE 'UTC' "
      "ORDER BY kiosk, time, journal_id",
      {since});
  const Result totals = db.Query(
      "SELECT kiosk, count(*) FILTER (WHERE kind = 'stacked'), "
      "COALESCE(sum(amount) FILTER (WHERE kind = 'stacked'), 0), "
      "count(*) FILTER (WHERE kind = 'unconfirmed'), "
      "COALESCE(sum(amount) FILTER (WHERE kind = 'unconfirmed'), 0), "
      "count(*) FILTER (WHERE kind = 'collection') "
      "FROM events WHERE time >= $1::date::timestamp AT TIME ZONE 'UTC' GROUP BY kiosk ORDER BY kiosk",
      {since});
  // Kiosks with more than one journal: a re-imaged kiosk, a restored
  // backup's continuation, or two kiosks with one kiosk id (live at once).
  const Result journals = db.Query(
      "SELECT kiosk, journal, COALESCE(continues, ''), COALESCE(continues_after, 0), last_id, "
      "COALESCE((EXTRACT(EPOCH FROM first_time) * 1000)::bigint, 0), "
      "COALESCE((EXTRACT(EPOCH FROM last_time) * 1000)::bigint, 0), array_to_string(live_beside, ' ') "
      "FROM kiosk_journals j WHERE (SELECT count(*) FROM kiosk_journals o WHERE o.kiosk = j.kiosk) > 1 "
      "ORDER BY kiosk, first_time NULLS LAST, journal");
  nlohmann::json report = {{"since", since},
                           {"collections", nlohmann::json::array()},
                           {"kiosks", nlohmann::json::array()},
                           {"journals", nlohmann::json::array()}};
  const auto number = [](const PGresult* r, int row, int column) {
    return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
  };
  for (int i = 0; i < PQntuples(collections.get()); ++i) {
    nlohmann::json detail = nlohmann::json::parse(PQgetvalue(collections.get(), i, 6), nullptr, false);
    if (detail.is_discarded() || !detail.is_object()) {
      detail = nlohmann::json::object();
    }
    report["collections"].push_back({{"kiosk", PQgetvalue(collections.get(), i, 0)},
                                     {"device", PQgetvalue(collections.get(), i, 1)},
                                     {"journal_id", number(collections.get(), i, 2)},
                                     {"inserted_ms", detail.value("inserted_ms", nlohmann::json())},
                                     {"removed_ms", number(collections.get(), i, 3)},
                                     {"bills", number(collections.get(), i, 5)},
                                     {"amount", number(collections.get(), i, 4)},
                                     {"by_value", detail.value("by_value", nlohmann::json::object())},
                                     {"unconfirmed", detail.value("unconfirmed", 0)},
                                     {"unconfirmed_amount", detail.value("unconfirmed_amount", 0)}});
  }
  for (int i = 0; i < PQntuples(totals.get()); ++i) {
    report["kiosks"].push_back({{"kiosk", PQgetvalue(totals.get(), i, 0)},
                                {"bills", number(totals.get(), i, 1)},
                                {"amount", number(totals.get(), i, 2)},
                                {"unconfirmed", number(totals.get(), i, 3)},
                                {"unconfirmed_amount", number(totals.get(), i, 4)},
                                {"collections", number(totals.get(), i, 5)}});
  }
  std::map<std::string, std::vector<std::string>> live;  // kiosk: its journals live beside another
  for (int i = 0; i < PQntuples(journals.get()); ++i) {
    const std::string beside = PQgetvalue(journals.get(), i, 7);
    if (!beside.empty()) {
      live[PQgetvalue(journals.get(), i, 0)].emplace_back(PQgetvalue(journals.get(), i, 1));
    }
    const int64_t first = number(journals.get(), i, 5);
    const int64_t latest = number(journals.get(), i, 6);
    report["journals"].push_back(
        {{"kiosk", PQgetvalue(journals.get(), i, 0)},
         {"journal", PQgetvalue(journals.get(), i, 1)},
         {"continues", PQgetvalue(journals.get(), i, 2)},
         {"continues_after", number(journals.get(), i, 3)},
         {"last_id", number(journals.get(), i, 4)},
         {"first_ms", first ? nlohmann::json(first) : nlohmann::json()},
         {"last_ms", latest ? nlohmann::json(latest) : nlohmann::json()},
         {"live_beside", beside.empty() ? nlohmann::json::array() : nlohmann::json(Words(beside))}});
  }
  report["two_live_journals"] = live;
  for (const auto& [kiosk, ids] : live) {
    std::cerr
        << "notavero-serve ledger report: WARNING: kiosk id " << kiosk << " has " << ids.size()
        << " journals live at once (two kiosks with one --kiosk-id?): each one's money is counted, under "
           "this one id\n";
  }
  if (json) {
    std::cout << report.dump(2) << "\n";
    return 0;
  }
  const auto when = [](const nlohmann::json& ms) {
    if (!ms.is_number()) {
      return std::string("-");
    }
    const std::time_t seconds = ms.get<int64_t>() / 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return std::string(text);
  };
  std::printf("Cassette collections since %s (UTC)\n", since.c_str());
  std::printf("%-16s %-10s %-19s  %-19s  %6s %12s  %s\n", "kiosk", "device", "inserted", "removed", "bills",
              "amount", "unconfirmed");
  for (const auto& c : report["collections"]) {
    std::string by_value;
    for (const auto& [value, count] : c["by_value"].items()) {
      by_value += (by_value.empty() ? "" : ", ") + value + " x " + count.dump();
    }
    std::printf("%-16s %-10s %-19s  %-19s  %6lld %12s  %lld (%s)\n    by value: %s\n",
                c["kiosk"].get<std::string>().c_str(), c["device"].get<std::string>().c_str(),
                when(c["inserted_ms"]).c_str(), when(c["removed_ms"]).c_str(),
                static_cast<long long>(c["bills"].get<int64_t>()),
                AmountText(c["amount"].get<int64_t>()).c_str(),
                static_cast<long long>(c["unconfirmed"].get<int64_t>()),
                AmountText(c["unconfirmed_amount"].get<int64_t>()).c_str(),
                by_value.empty() ? "-" : by_value.c_str());
  }
  if (!report["journals"].empty()) {
    std::printf("\nKiosks with more than one journal (every one's rows count once)\n");
    std::printf("%-16s %-32s %-19s  %-19s  %8s  %s\n", "kiosk", "journal", "first row", "last row", "last id",
                "note");
    for (const auto& j : report["journals"]) {
      std::string note;
      if (!j["continues"].get<std::string>().empty()) {
        note = "continues " + j["continues"].get<std::string>() + " after id " + j["continues_after"].dump();
      } else if (j["journal"].get<std::string>().empty()) {
        note = "shipped before journals had identities";
      }
      if (!j["live_beside"].empty()) {
        note += std::string(note.empty() ? "" : "; ") + "LIVE at the same time as another journal";
      }
      std::printf(
          "%-16s %-32s %-19s  %-19s  %8lld  %s\n", j["kiosk"].get<std::string>().c_str(),
          j["journal"].get<std::string>().empty() ? "(none)" : j["journal"].get<std::string>().c_str(),
          when(j["first_ms"]).c_str(), when(j["last_ms"]).c_str(),
          static_cast<long long>(j["last_id"].get<int64_t>()), note.c_str());
    }
  }
  std::printf("\nMoney per kiosk since %s (UTC)\n", since.c_str());
  std::printf("%-16s %8s %14s %12s %14s %12s\n", "kiosk", "bills", "amount", "unconfirmed", "(amount)",
              "collections");
  for (const auto& k : report["kiosks"]) {
    std::printf("%-16s %8lld %14s %12lld %14s %12lld\n", k["kiosk"].get<std::string>().c_str(),
                static_cast<long long>(k["bills"].get<int64_t>()),
                AmountText(k["amount"].get<int64_t>()).c_str(),
                static_cast<long long>(k["unconfirmed"].get<int64_t>()),
                AmountText(k["unconfirmed_amount"].get<int64_t>()).c_str(),
                static_cast<long long>(k["collections"].get<int64_t>()));
  }
  return 0;
}

}  // namespace

int LedgerCommand(const std::vector<std::string>& args) {
  std::string what = args.empty() ? "" : args[0];
  std::string conninfo;
  std::string since;
  std::string months = "2";
  bool json = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if ((args[i] == "--ledger" || args[i] == "--since" || args[i] == "--months-ahead") &&
               i + 1 < args.size()) {
      (args[i] == "--ledger" ? conninfo : args[i] == "--since" ? since : months) = args[i + 1];
      ++i;
    } else {
      std::cerr << "notavero-serve ledger: unexpected argument: " << args[i] << "\n" << kLedgerUsage;
      return 2;
    }
  }
  const int months_ahead = std::atoi(months.c_str());
  if ((what != "init" && what != "report" && what != "maintain") || conninfo.empty() ||
      (what == "report" && since.empty()) || months_ahead < 0 || months_ahead > 24 ||
      months.find_first_not_of("0123456789") != std::string::npos) {
    std::cerr << kLedgerUsage;
    return 2;
  }
  if (const std::string warning = LedgerEnvironmentWarning(); !warning.empty()) {
    std::cerr << "notavero-serve ledger: " << warning << "\n";
  }
  try {
    Connection db(LedgerConninfo(conninfo));
    db.Script("SET client_min_messages = warning");
    if (what == "init") {
      return Init(db);
    }
    return what == "maintain" ? Maintain(db, months_ahead) : Report(db, since, json);
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve ledger " << what << ": " << error.what() << "\n";
    return 1;
  }
}

}  // namespace notavero::service
