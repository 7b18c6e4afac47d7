#include "store/sql.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <utility>

namespace vesprey {

// The busy handler's record of one connection. A wait goes on across the statements that meet
// the held file until one of them gets through; once it has run out, statements that follow
// within kBusyTimeoutMs fail at once, so that a command never waits for the same file twice.
struct BusyWait {
    using Clock = std::chrono::steady_clock;
    bool waiting = false;
    Clock::time_point started;
    bool gaveUp = false;
    Clock::time_point gaveUpAt;
    int waitedMs = 0;

    // A statement got through, or failed for another reason than the held file.
    void settle() {
        waiting = false;
        gaveUp = false;
    }
};

namespace {

constexpr std::chrono::milliseconds kBusyTimeout(kBusyTimeoutMs);

// SQLite calls this while the file is held; 0 gives up, anything else tries again.
int waitWhileBusy(void* record, int tries) {
    static constexpr std::array<int, 12> kDelaysMs = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    auto& wait = *static_cast<BusyWait*>(record);
    const BusyWait::Clock::time_point now = BusyWait::Clock::now();
    if (wait.gaveUp) {
        if (now - wait.gaveUpAt < kBusyTimeout) {
            return 0;
        }
        wait.settle();  // a later attempt: it waits its own time
    }
    if (!wait.waiting) {
        wait.waiting = true;
        wait.started = now;
    }
    const auto waited = now - wait.started;
    if (waited >= kBusyTimeout) {
        wait.waiting = false;
        wait.gaveUp = true;
        wait.gaveUpAt = now;
        wait.waitedMs =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
        return 0;
    }
    const std::chrono::milliseconds delay(
        kDelaysMs[static_cast<std::size_t>(std::clamp(tries, 0, 11))]);
    std::this_thread::sleep_for(std::min<BusyWait::Clock::duration>(delay, kBusyTimeout - waited));
    return 1;
}

bool heldFile(int code) {
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

}  // namespace

SqlStatement::SqlStatement(SqlStatement&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), busy_(std::move(other.busy_)) {}

SqlStatement& SqlStatement::operator=(SqlStatement&& other) noexcept {
    if (this != &other) {
        finalize();
        handle_ = std::exchange(other.handle_, nullptr);
        busy_ = std::move(other.busy_);
    }
    return *this;
}

SqlStatement::~SqlStatement() {
    finalize();
}

int SqlStatement::parameterIndex(std::string_view name) const {
    return sqlite3_bind_parameter_index(handle_, ansiToUtf8(name).c_str());
}

bool SqlStatement::bindText(std::string_view name, std::string_view value) {
    if (handle_ == nullptr) {
        return false;
    }
    const std::string utf8 = ansiToUtf8(value);
    // An empty std::string still has a valid data pointer, so '' is bound, not NULL.
    return sqlite3_bind_text(handle_, parameterIndex(name), utf8.c_str(),
                             static_cast<int>(utf8.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool SqlStatement::bindUtf8(std::string_view name, std::string_view utf8) {
    if (handle_ == nullptr) {
        return false;
    }
    // A view of nothing may have no data pointer: '' is bound from a literal, not NULL.
    return sqlite3_bind_text(handle_, parameterIndex(name), utf8.empty() ? "" : utf8.data(),
                             static_cast<int>(utf8.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool SqlStatement::bindInt(std::string_view name, int value) {
    if (handle_ == nullptr) {
        return false;
    }
    return sqlite3_bind_int(handle_, parameterIndex(name), value) == SQLITE_OK;
}

bool SqlStatement::step() {
    return stepCode() == SQLITE_ROW;
}

int SqlStatement::stepCode() {
    if (handle_ == nullptr) {
        return kSqliteError;
    }
    const int code = sqlite3_step(handle_);
    if (busy_ && !heldFile(code)) {
        busy_->settle();
    }
    return code;
}

bool SqlStatement::reset() {
    if (handle_ == nullptr) {
        return false;
    }
    // The code of reset repeats the last step's, which its caller has already seen.
    sqlite3_reset(handle_);
    sqlite3_clear_bindings(handle_);
    return true;
}

int SqlStatement::columnCount() const {
    return handle_ == nullptr ? 0 : sqlite3_column_count(handle_);
}

std::string SqlStatement::columnUtf8(int column) const {
    if (handle_ == nullptr) {
        return {};
    }
    const auto* text = sqlite3_column_text(handle_, column);
    if (text == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(handle_, column)));
}

Text SqlStatement::columnText(int column) const {
    if (handle_ == nullptr) {
        return {};
    }
    const auto* text = sqlite3_column_text(handle_, column);
    if (text == nullptr) {
        return {};
    }
    const int size = sqlite3_column_bytes(handle_, column);
    return utf8ToAnsi(
        std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)));
}

int SqlStatement::columnInt(int column) const {
    return handle_ == nullptr ? 0 : sqlite3_column_int(handle_, column);
}

int SqlStatement::finalize() {
    if (handle_ == nullptr) {
        return kSqliteError;
    }
    return sqlite3_finalize(std::exchange(handle_, nullptr));
}

bool SqlDatabase::open(const std::filesystem::path& fileName, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(fileName.c_str(), &raw, flags, nullptr);
    // SQLite hands back a connection even when opening failed; it carries the error message and
    // must still be closed, which the deleter does. A statement may outlive the last copy: the
    // connection then closes, with its file, when that statement is finalized.
    // The wait record lives as long as the connection, which the deleter's copy makes sure of.
    busy_ = std::make_shared<BusyWait>();
    connection_.reset(raw, [busy = busy_](sqlite3* db) {
        sqlite3_close_v2(db);
        static_cast<void>(busy);
    });
    if (rc == SQLITE_OK) {
        sqlite3_busy_handler(raw, waitWhileBusy, busy_.get());
    }
    return rc == SQLITE_OK;
}

int SqlDatabase::setKey(std::string_view key) {
    if (!connection_) {
        return kSqliteError;
    }
    return sqlite3_key(connection_.get(), key.data(), static_cast<int>(key.size()));
}

Text SqlDatabase::errorMessage() const {
    if (!connection_) {
        return "out of memory";  // what SQLite says for a missing connection
    }
    return sqlite3_errmsg(connection_.get());
}

int SqlDatabase::errorCode() const {
    return connection_ ? sqlite3_errcode(connection_.get()) & 0xFF : SQLITE_NOMEM;
}

int SqlDatabase::extendedErrorCode() const {
    return connection_ ? sqlite3_extended_errcode(connection_.get()) : SQLITE_NOMEM;
}

int SqlDatabase::busyWaitedMs() const {
    return busy_ && busy_->gaveUp ? busy_->waitedMs : 0;
}

int SqlDatabase::changes() const {
    return connection_ ? sqlite3_changes(connection_.get()) : 0;
}

long long SqlDatabase::lastInsertId() const {
    return connection_ ? sqlite3_last_insert_rowid(connection_.get()) : 0;
}

SqlStatement SqlDatabase::prepare(std::string_view sql, bool* success) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = connection_ ? sqlite3_prepare_v2(connection_.get(), ansiToUtf8(sql).c_str(), -1,
                                                    &stmt, nullptr)
                               : SQLITE_MISUSE;
    if (success != nullptr) {
        *success = rc == SQLITE_OK;
    }
    if (rc != SQLITE_OK && stmt != nullptr) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (busy_ && !heldFile(rc & 0xFF)) {
        busy_->settle();
    }
    return SqlStatement(stmt, busy_);
}

}  // namespace vesprey
