#include "service/cassette.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "protocol/codes.h"
#include "service/metrics.h"
#include "service/sqlite.h"

namespace notavero::service {

namespace {

// States of a device at work, which it is only in with its cassette in
// (power-up, initializing and faults other than "full" say nothing).
bool CassetteIn(int32_t word) {
  const uint8_t state = DeviceStateOf(static_cast<uint16_t>(word));
  return (state >= dsWaitingForBill && state <= dsBillError) || state == dsAcceptorFull ||
         (state >= dsEscrow && state <= dsReturned);
}

std::string ByValueJson(const std::map<int64_t, uint64_t>& by_value) {
  JsonObject json;
  for (const auto& [value, count] : by_value) {
    json.Add(AmountText(value), static_cast<int64_t>(count));
  }
  return json.Text();
}

[[noreturn]] void Refused(const std::string& message) {
  throw std::runtime_error("cassette: " + message);
}

// The cassette's reads of the journal: SQLite's refusal is a runtime_error.
class Query : public sqlite::Statement {
 public:
  Query(sqlite3* db, const char* sql) : sqlite::Statement(db, sql, &Refused) {}
};

}  // namespace

std::string CassetteJson(const CassetteContent& c, unsigned capacity) {
  JsonObject json;
  json.Add("device", c.device).Add("present", c.present);
  c.inserted_ms ? json.Add("inserted_ms", c.inserted_ms) : json.AddRaw("inserted_ms", "null");
  c.present ? json.AddRaw("removed_ms", "null") : json.Add("removed_ms", c.removed_ms);
  json.Add("bills", static_cast<int64_t>(c.bills)).Add("amount", c.amount);
  json.AddRaw("by_value", ByValueJson(c.by_value));
  json.Add("unconfirmed", static_cast<int64_t>(c.unconfirmed))
      .Add("unconfirmed_amount", c.unconfirmed_amount);
  capacity ? json.Add("capacity", int64_t{capacity}) : json.AddRaw("capacity", "null");
  return json.Text();
}

std::string CassetteMetrics(const std::vector<CassetteContent>& cassettes, unsigned capacity) {
  std::string out;
  const auto metric = [&](const char* name, const char* help, auto value) {
    out.append("# HELP ")
        .append(name)
        .append(" ")
        .append(help)
        .append("\n# TYPE ")
        .append(name)
        .append(" gauge\n");
    for (const auto& c : cassettes) {
      out.append(name).append("{device=\"").append(c.device).append("\"} ").append(value(c)).append("\n");
    }
  };
  metric("notavero_cassette_bills", "Bills in the cassette (stacked since it went in).",
         [](const CassetteContent& c) { return std::to_string(c.bills); });
  metric("notavero_cassette_amount", "Sum of the bills in the cassette, in whole currency units.",
         [](const CassetteContent& c) { return AmountText(c.amount); });
  metric("notavero_cassette_present", "1 while the cassette is in.",
         [](const CassetteContent& c) { return std::string(c.present ? "1" : "0"); });
  if (capacity != 0) {
    metric("notavero_cassette_capacity_bills", "Bills a cassette holds (--cassette-capacity).",
           [capacity](const CassetteContent&) { return std::to_string(capacity); });
  }
  return out;
}

Cassette::Cassette(std::string device) {
  content_.device = std::move(device);
}

void Cassette::Restore(const std::string& journal_path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(journal_path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error("cassette: cannot read the journal " + journal_path + ": " + why);
  }
  sqlite3_busy_timeout(db, 5000);
  CassetteContent content;
  content.device = content_.device;
  try {
    // Both by the index on (device, kind, id): the cassette's rows only.
    Query last(
        db,
        "SELECT id, kind, time_ms FROM events WHERE device = ?1 AND kind IN ('collection', 'cassette-in') "
        "ORDER BY id DESC LIMIT 1");
    int64_t since = 0;
    if (last.Bind(1, content.device).Step()) {
      since = last.Int(0);
      content.present = Term<RowKind>::Read(last.Text(1)) == RowKind::kCassetteIn;
      (content.present ? content.inserted_ms : content.removed_ms) = last.Int(2);
    }
    Query bills(
        db,
        "SELECT kind, amount, COUNT(*), COUNT(*) FILTER (WHERE detail LIKE 'resolves #%') FROM events "
        "WHERE device = ?1 AND kind IN ('stacked', 'unconfirmed') AND id > ?2 GROUP BY kind, amount");
    bills.Bind(1, content.device).Bind(2, since);
    uint64_t resolving = 0;
    int64_t resolving_amount = 0;
    while (bills.Step()) {
      const auto count = static_cast<uint64_t>(bills.Int(2));
      if (Term<RowKind>::Read(bills.Text(0)) == RowKind::kStacked) {
        content.by_value[bills.Int(1)] += count;
        content.bills += count;
        content.amount += bills.Int(1) * static_cast<int64_t>(count);
        // A stacked bill that resolves an unconfirmed one is that bill.
        resolving += static_cast<uint64_t>(bills.Int(3));
        resolving_amount += bills.Int(1) * bills.Int(3);
      } else {
        content.unconfirmed += count;
        content.unconfirmed_amount += bills.Int(1) * static_cast<int64_t>(count);
      }
    }
    content.unconfirmed -= std::min(resolving, content.unconfirmed);
    content.unconfirmed_amount -= resolving_amount;
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  sqlite3_close(db);
  const std::scoped_lock lock(mutex_);
  content_ = std::move(content);
}

void Cassette::Stacked(int64_t amount) {
  const std::scoped_lock lock(mutex_);
  ++content_.by_value[amount];
  ++content_.bills;
  content_.amount += amount;
}

void Cassette::Resolved(int64_t amount) {
  const std::scoped_lock lock(mutex_);
  if (content_.unconfirmed > 0) {
    --content_.unconfirmed;
    content_.unconfirmed_amount -= amount;
  }
}

void Cassette::Unconfirmed(int64_t amount) {
  const std::scoped_lock lock(mutex_);
  ++content_.unconfirmed;
  content_.unconfirmed_amount += amount;
}

std::optional<BillEvent> Cassette::State(int32_t word, int64_t now_ms) {
  const std::scoped_lock lock(mutex_);
  BillEvent event;
  event.time_ms = now_ms;
  if (DeviceStateOf(static_cast<uint16_t>(word)) == dsCassetteMissing && content_.present) {
    event.kind = RowKind::kCollection;
    event.amount = content_.amount;
    event.code = static_cast<int32_t>(content_.bills);
    JsonObject detail;
    content_.inserted_ms ? detail.Add("inserted_ms", content_.inserted_ms)
                         : detail.AddRaw("inserted_ms", "null");
    detail.Add("removed_ms", now_ms).AddRaw("by_value", ByValueJson(content_.by_value));
    detail.Add("unconfirmed", static_cast<int64_t>(content_.unconfirmed));
    detail.Add("unconfirmed_amount", content_.unconfirmed_amount);
    event.detail = detail.Text();
    CassetteContent empty;
    empty.device = content_.device;
    empty.present = false;
    empty.removed_ms = now_ms;
    content_ = std::move(empty);
    return event;
  }
  if (CassetteIn(word) && !content_.present) {
    event.kind = RowKind::kCassetteIn;
    content_.present = true;
    content_.inserted_ms = now_ms;
    content_.removed_ms = 0;
    return event;
  }
  return std::nullopt;
}

CassetteContent Cassette::Content() const {
  const std::scoped_lock lock(mutex_);
  return content_;
}

}  // namespace notavero::service
