#include "service/sqlite.h"

#include <sqlite3.h>

namespace notavero::service::sqlite {

void ThrowError(const std::string& message) {
  throw Error(message);
}

Statement::Statement(sqlite3* db, const char* sql, Refuse refuse) : db_(db), refuse_(refuse) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    refuse_(sqlite3_errmsg(db));
    throw Error(sqlite3_errmsg(db));  // a refuse that returned
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  // Never a null pointer: SQLite would bind NULL for it, not the empty text.
  sqlite3_bind_text(stmt_, index, text.data() != nullptr ? text.data() : "", static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc != SQLITE_DONE) {
    refuse_(sqlite3_errmsg(db_));
    throw Error(sqlite3_errmsg(db_));  // a refuse that returned
  }
  return false;
}

int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

}  // namespace notavero::service::sqlite
