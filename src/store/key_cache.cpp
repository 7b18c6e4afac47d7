#include "store/key_cache.h"

#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/site_database.h"

namespace vesprey {
namespace {

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::filesystem::path& cacheFile() {
    static std::filesystem::path file;
    return file;
}

constexpr std::size_t kSaltBytes = 16;  // the first bytes of every SQLCipher file
constexpr std::size_t kKeyBytes = 32;
constexpr std::string_view kCacheHeader = "vesprey derived keys 1";
// Every test and every moved file brings a new salt; the oldest entries go first.
constexpr std::size_t kMaxEntries = 64;

struct Entry {
    std::string salt;  // hex
    std::string key;   // hex
};

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    return out;
}

bool isHex(std::string_view text, std::size_t length) {
    return text.size() == length && text.find_first_not_of("0123456789abcdef") == text.npos;
}

// The file's salt in hex; nothing for a file too short to have one yet (a new, empty file).
std::optional<std::string> fileSalt(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<char, kSaltBytes> salt{};
    if (!in.read(salt.data(), salt.size())) {
        return std::nullopt;
    }
    return hex(std::string_view(salt.data(), salt.size()));
}

// The entries of the cache file; lines that are not a salt and a key are passed over, and a file
// that does not begin with the header counts as empty.
std::vector<Entry> readEntries(const std::filesystem::path& cache) {
    std::vector<Entry> entries;
    std::ifstream in(cache);
    std::string line;
    if (!std::getline(in, line) || line != kCacheHeader) {
        return entries;
    }
    while (std::getline(in, line) && entries.size() < kMaxEntries) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) {
            continue;
        }
        Entry entry{line.substr(0, space), line.substr(space + 1)};
        if (isHex(entry.salt, kSaltBytes * 2) && isHex(entry.key, kKeyBytes * 2)) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

// Replaces the cache file as a whole, so that a reader never sees half of it. Failing is no
// error: the next open derives the key again.
// Makes the missing folders of `folder`, each its owner's alone whatever the umask: the keys are
// nobody else's business.
void makeOwnFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) {
        return;
    }
    makeOwnFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) == 0) {
        ::chmod(folder.c_str(), 0700);  // mkdir's mode passes through the umask
    }
}

void writeEntries(const std::filesystem::path& cache, const std::vector<Entry>& entries) {
    std::error_code ec;
    makeOwnFolders(cache.parent_path());
    std::string temporary = cache.string() + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return;
    }
    std::string text(kCacheHeader);
    text += '\n';
    for (const Entry& entry : entries) {
        text += entry.salt + ' ' + entry.key + '\n';
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), cache.c_str()) != 0) {
        std::filesystem::remove(temporary, ec);
    }
}

// Puts `entry` last, in place of an older entry of the same salt.
void remember(const std::filesystem::path& cache, const Entry& entry) {
    std::vector<Entry> entries = readEntries(cache);
    std::erase_if(entries, [&](const Entry& old) { return old.salt == entry.salt; });
    if (entries.size() + 1 > kMaxEntries) {
        entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(
                                                             entries.size() + 1 - kMaxEntries));
    }
    entries.push_back(entry);
    writeEntries(cache, entries);
}

void forget(const std::filesystem::path& cache, const std::string& salt) {
    std::vector<Entry> entries = readEntries(cache);
    if (std::erase_if(entries, [&](const Entry& old) { return old.salt == salt; }) > 0) {
        writeEntries(cache, entries);
    }
}

std::optional<std::string> cachedKey(const std::filesystem::path& cache, const std::string& salt) {
    for (const Entry& entry : readEntries(cache)) {
        if (entry.salt == salt) {
            return entry.key;
        }
    }
    return std::nullopt;
}

// The page key SQLCipher 3 derives from the fixed key and `saltHex`: PBKDF2 with HMAC-SHA1 and
// the library's default round count. Nothing for another SQLCipher generation, whose derivation
// differs: such files are always keyed the ordinary way.
std::optional<std::string> deriveKey(SqlDatabase& db, const std::string& saltHex) {
    SqlStatement version = db.prepare("PRAGMA cipher_version");
    if (!version.step() || !version.columnText(0).starts_with("3.")) {
        return std::nullopt;
    }
    SqlStatement rounds = db.prepare("PRAGMA cipher_default_kdf_iter");
    const int iterations = rounds.step() ? rounds.columnInt(0) : 0;
    if (iterations <= 0) {
        return std::nullopt;
    }
    std::array<unsigned char, kSaltBytes> salt{};
    for (std::size_t i = 0; i < kSaltBytes; ++i) {
        salt[i] = static_cast<unsigned char>(std::stoi(saltHex.substr(2 * i, 2), nullptr, 16));
    }
    std::array<unsigned char, kKeyBytes> key{};
    if (PKCS5_PBKDF2_HMAC_SHA1(kSiteDatabaseKey.data(), static_cast<int>(kSiteDatabaseKey.size()),
                               salt.data(), static_cast<int>(salt.size()), iterations,
                               static_cast<int>(key.size()), key.data()) != 1) {
        return std::nullopt;
    }
    return hex(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

// What reading the first page with a raw key told.
enum class KeyFit {
    Fits,
    Wrong,    // the page is no database under this key
    Unknown,  // the page could not be read at all: busy, a journal to roll back, unreadable
};

// Keys the connection with a raw key and reads the first page.
KeyFit rawKeyFits(SqlDatabase& db, const std::string& keyHex) {
    const std::string raw = "x'" + keyHex + "'";
    if (db.setKey(raw) != kSqliteOk) {
        return KeyFit::Wrong;
    }
    SqlStatement probe = db.prepare("SELECT count(*) FROM sqlite_master");
    if (probe.handle() == nullptr) {
        return db.errorCode() == kSqliteNotADatabase ? KeyFit::Wrong : KeyFit::Unknown;
    }
    const int code = probe.stepCode();
    if (code == kSqliteRow) {
        return KeyFit::Fits;
    }
    return code == kSqliteNotADatabase ? KeyFit::Wrong : KeyFit::Unknown;
}

}  // namespace

std::optional<std::string> fileSaltHex(const std::filesystem::path& path) {
    return fileSalt(path);
}

void setKeyCachePath(std::filesystem::path file) {
    std::lock_guard lock(cacheMutex());
    cacheFile() = std::move(file);
}

std::filesystem::path keyCachePath() {
    std::lock_guard lock(cacheMutex());
    return cacheFile();
}

int applyFileKey(SqlDatabase& db, const std::filesystem::path& path, int flags) {
    const std::filesystem::path cache = keyCachePath();
    const std::optional<std::string> salt = cache.empty() ? std::nullopt : fileSalt(path);
    if (!salt) {
        return db.setKey(kSiteDatabaseKey);
    }
    // A key once applied stays for the connection: every failed try opens it anew.
    auto reopened = [&] { return db.open(path, flags); };
    // A first page that cannot be read at all (another program holds the file, a journal waits
    // to be rolled back) says nothing of the key: the key stays applied and the entry kept, and
    // the caller's own statements meet the same state and report it. Trying other keys would
    // only wait for the same file again.
    if (const std::optional<std::string> key = cachedKey(cache, *salt)) {
        const KeyFit fit = rawKeyFits(db, *key);
        if (fit != KeyFit::Wrong) {
            return fit == KeyFit::Fits ? kSqliteOk : db.errorCode();
        }
        forget(cache, *salt);
        if (!reopened()) {
            return db.errorCode();
        }
    }
    if (const std::optional<std::string> key = deriveKey(db, *salt)) {
        const KeyFit fit = rawKeyFits(db, *key);
        if (fit == KeyFit::Fits) {
            remember(cache, {*salt, *key});
            return kSqliteOk;
        }
        if (fit == KeyFit::Unknown) {
            return db.errorCode();
        }
        if (!reopened()) {
            return db.errorCode();
        }
    }
    return db.setKey(kSiteDatabaseKey);
}

}  // namespace vesprey
