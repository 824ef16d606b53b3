// A thin owner of SQLite connections and statements: every handle is closed
// or finalized by its destructor, and every failure becomes an Error
// carrying SQLite's own text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/exception.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestrel::sqlite {

// A failure of SQLite, with its primary result code.
class Error : public Exception {
 public:
  Error(const std::string& message, int code) : Exception(message), code_(code) {}
  // Another connection holds the database: the file itself is sound.
  bool Busy() const;

 private:
  int code_;
};

// The Error of a database found damaged or not of the expected kind.
Error Corrupt(const std::string& message);

class Connection {
 public:
  enum class Mode { kReadWrite, kReadOnly };

  // Opens (kReadWrite: creates when missing) the database file `file`.
  // Raises Exception "<file>: <SQLite's text>" when that fails.
  Connection(const std::string& file, Mode mode);

  // Runs one or more statements that take no parameters.
  void Execute(std::string_view sql);
  // The row number that the last INSERT on this connection gave.
  std::int64_t LastInsertedRow() const;
  sqlite3* Handle() const { return db_.get(); }

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, Close> db_;
};

// One prepared statement. Parameters are numbered from 1, columns from 0.
class Statement {
 public:
  Statement(Connection& connection, std::string_view sql);

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, std::string_view bytes);
  Statement& BindNull(int index);

  // Steps once: true while a row is ready, false when done. Raises on failure.
  bool Step();
  // Steps to the end, for statements that return nothing.
  void Run();
  // Rewinds for another run with new parameters.
  void Reset();

  bool IsNull(int column) const;
  std::int64_t Integer(int column) const;
  std::string Text(int column) const;

 private:
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };
  Connection& connection_;
  std::unique_ptr<sqlite3_stmt, Finalize> statement_;
};

// Begins a transaction (BEGIN IMMEDIATE: the write lock is taken at once, so
// a writer that waits does so here, within the busy time-out) and rolls it
// back unless Commit was called.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

}  // namespace kestrel::sqlite
