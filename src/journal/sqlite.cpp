#include "journal/sqlite.h"

#include <sqlite3.h>

namespace kestrel::sqlite {
namespace {

[[noreturn]] void Fail(sqlite3* db, std::string_view what) {
  throw Error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"),
              db ? sqlite3_errcode(db) : SQLITE_NOMEM);
}

}  // namespace

Error Corrupt(const std::string& message) {
  return Error("SQLite: " + message, SQLITE_CORRUPT);
}

bool Error::Busy() const {
  const int primary = code_ & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

void Connection::Close::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

Connection::Connection(const std::string& file, Mode mode) {
  const int flags =
      mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  if (rc != SQLITE_OK)
    Fail(db, file);
  sqlite3_extended_result_codes(db, 1);
}

void Connection::Execute(std::string_view sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_.get(), std::string(sql).c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(db_.get());
    sqlite3_free(message);
    throw Error("SQLite: " + text, sqlite3_errcode(db_.get()));
  }
}

std::int64_t Connection::LastInsertedRow() const {
  return sqlite3_last_insert_rowid(db_.get());
}

void Statement::Finalize::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

Statement::Statement(Connection& connection, std::string_view sql) : connection_(connection) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection.Handle(), sql.data(), static_cast<int>(sql.size()), &statement,
                         nullptr) != SQLITE_OK)
    Fail(connection.Handle(), "SQLite");
  statement_.reset(statement);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_.get(), index, value) != SQLITE_OK)
    Fail(connection_.Handle(), "SQLite");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(statement_.get(), index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK)
    Fail(connection_.Handle(), "SQLite");
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  // A zero-length blob is still a blob, not NULL.
  if (sqlite3_bind_blob64(statement_.get(), index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                          SQLITE_TRANSIENT) != SQLITE_OK)
    Fail(connection_.Handle(), "SQLite");
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(statement_.get(), index) != SQLITE_OK)
    Fail(connection_.Handle(), "SQLite");
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(statement_.get());
  if (rc == SQLITE_ROW)
    return true;
  if (rc == SQLITE_DONE)
    return false;
  Fail(connection_.Handle(), "SQLite");
}

void Statement::Run() {
  while (Step()) {
  }
}

void Statement::Reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

std::int64_t Statement::Integer(int column) const {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string Statement::Text(int column) const {
  const void* bytes = sqlite3_column_blob(statement_.get(), column);
  const int size = sqlite3_column_bytes(statement_.get(), column);
  return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size))
               : std::string();
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
  connection_.Execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (open_)
    sqlite3_exec(connection_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  connection_.Execute("COMMIT");
  open_ = false;
}

}  // namespace kestrel::sqlite
