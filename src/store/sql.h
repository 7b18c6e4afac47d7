// A thin layer over the SQLite C interface (SQLCipher build). Every text crossing into SQLite
// (SQL, parameter names, bound values) is converted from code page 936 to UTF-8 and every column
// text coming out is converted back. Results are booleans or SQLite's own result codes; nothing
// throws. <sqlite3.h> stays out of this header.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "text/text.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vesprey {

// How long one connection has waited for a file another program holds (sql.cpp).
struct BusyWait;

inline constexpr int kSqliteOk = 0;
inline constexpr int kSqliteError = 1;
inline constexpr int kSqliteBusy = 5;
inline constexpr int kSqliteLocked = 6;
inline constexpr int kSqliteReadOnly = 8;
inline constexpr int kSqliteNotADatabase = 26;
inline constexpr int kSqliteRow = 100;
inline constexpr int kSqliteDone = 101;
inline constexpr int kOpenReadWrite = 2;  // read-write, never create

// One prepared statement. It owns its handle: moved, never copied; destroying it finalizes.
class SqlStatement {
public:
    SqlStatement() = default;
    explicit SqlStatement(sqlite3_stmt* handle) : handle_(handle) {}
    SqlStatement(sqlite3_stmt* handle, std::shared_ptr<BusyWait> busy)
        : handle_(handle), busy_(std::move(busy)) {}
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;
    SqlStatement(SqlStatement&& other) noexcept;
    SqlStatement& operator=(SqlStatement&& other) noexcept;
    ~SqlStatement();

    // Null when preparing failed or after finalize.
    sqlite3_stmt* handle() const { return handle_; }

    // Binds by parameter name ("@WebName"); false when the name is not in the statement or the
    // statement is finalized (the parameter then stays NULL). An empty value binds '' not NULL.
    bool bindText(std::string_view name, std::string_view value);
    bool bindInt(std::string_view name, int value);
    // The same for a text that is UTF-8 already (bound and read without conversion).
    bool bindUtf8(std::string_view name, std::string_view utf8);

    bool step();     // true while a row is available
    int stepCode();  // sqlite3_step's code; 1 for a null handle
    int columnCount() const;
    Text columnText(int column) const;         // NULL reads as empty text
    std::string columnUtf8(int column) const;  // as SQLite keeps it, without conversion
    int columnInt(int column) const;           // NULL reads as 0
    int finalize();                            // 1 when there was nothing to finalize
    // Makes the statement ready to run again, its parameters NULL; false for a null handle.
    bool reset();

private:
    int parameterIndex(std::string_view name) const;
    sqlite3_stmt* handle_ = nullptr;
    std::shared_ptr<BusyWait> busy_;  // its connection's, when it came from SqlDatabase::prepare
};

inline constexpr int kBusyTimeoutMs = 5000;

// One connection. Copies share the connection; it is closed when the last copy goes, or when the
// last of its statements is finalized if that comes later.
class SqlDatabase {
public:
    // Opens an existing file, by default read-write without creating it (flags 2).
    // The file name is a file-system path (bytes as the operating system spells them). While
    // another program holds the file, the connection waits for it up to kBusyTimeoutMs before a
    // statement fails with kSqliteBusy. That time is the connection's for one attempt at the
    // file: statements that meet the file still held right after one gave up (within
    // kBusyTimeoutMs) fail at once instead of waiting again, until one gets through.
    bool open(const std::filesystem::path& fileName, int flags = kOpenReadWrite);
    // Applies the encryption key; 1 without a connection.
    int setKey(std::string_view key);
    // SQLite's message and primary result code for the last failure on this connection.
    Text errorMessage() const;
    int errorCode() const;
    // SQLite's extended result code for the last failure (kSqliteReadOnly with its reason).
    int extendedErrorCode() const;
    // Milliseconds the connection waited for the file before it last gave up; 0 when it never
    // gave up.
    int busyWaitedMs() const;
    // The rows the last INSERT, UPDATE or DELETE of this connection changed; 0 without one.
    int changes() const;
    // The row id of the last row this connection inserted; 0 when none.
    long long lastInsertId() const;
    // Prepares one statement; success reports whether SQLite accepted the text. An empty text
    // succeeds with a null handle.
    SqlStatement prepare(std::string_view sql, bool* success = nullptr);

    bool isOpen() const { return connection_ != nullptr; }
    sqlite3* handle() const { return connection_.get(); }

private:
    std::shared_ptr<sqlite3> connection_;
    std::shared_ptr<BusyWait> busy_;
};

}  // namespace vesprey
