// The cache of derived keys: a real Sign.db, a real cache file in a temporary directory.
#include "store/key_cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "store/site_database.h"

namespace vesprey {
namespace {

namespace fs = std::filesystem;

class KeyCache : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-keys-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        setKeyCachePath(dir_ / "cache" / "vesprey" / "keys");
        path_ = dir_ / "Sign.db";
        ASSERT_TRUE(createSiteDatabase(path_, nullptr));
        SqlDatabase db;
        ASSERT_TRUE(openSiteDatabase(db, path_));
        TemplateFields site;
        site.WebName = "one";
        site.WebLink = "https://example.com/sign";
        ASSERT_TRUE(addSite(db, site, "a=1").write);
    }
    void TearDown() override {
        setKeyCachePath({});
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The list as a fresh open of `file` reads it; nothing when the read fails.
    static std::optional<SiteList> listOf(const fs::path& file) {
        SqlDatabase db;
        if (!openSiteDatabase(db, file)) {
            return std::nullopt;
        }
        bool ok = false;
        SiteList list = loadSiteList(db, &ok);
        return ok ? std::optional<SiteList>(std::move(list)) : std::nullopt;
    }

    static std::string cacheText() {
        std::ifstream in(keyCachePath());
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void writeCache(const std::string& text) {
        fs::create_directories(keyCachePath().parent_path());
        std::ofstream(keyCachePath()) << text;
    }

    // The cached key of `file`'s salt, in hex; empty when there is none.
    static std::string cachedKeyOf(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::string salt(16, '\0');
        in.read(salt.data(), 16);
        std::string hex;
        for (const char c : salt) {
            static constexpr char kDigits[] = "0123456789abcdef";
            hex += kDigits[static_cast<unsigned char>(c) >> 4];
            hex += kDigits[static_cast<unsigned char>(c) & 0x0F];
        }
        const std::string text = cacheText();
        const std::size_t at = text.find(hex + ' ');
        return at == std::string::npos ? std::string() : text.substr(at + hex.size() + 1, 64);
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(KeyCache, TheFirstOpenKeepsTheDerivedKeyWhichOpensTheFileByItself) {
    EXPECT_EQ(keyCachePath(), dir_ / "cache" / "vesprey" / "keys");
    ASSERT_TRUE(listOf(path_));
    const std::string key = cachedKeyOf(path_);
    ASSERT_EQ(key.size(), 64u) << cacheText();

    // The kept key is the file's page key: SQLCipher reads the file with it as a raw key.
    SqlDatabase raw;
    ASSERT_TRUE(raw.open(path_));
    raw.setKey("x'" + key + "'");
    bool ok = false;
    const SiteList list = loadSiteList(raw, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Cookie, "a=1");

    // Later opens read the same list through the cache, and leave it as it is.
    const std::string before = cacheText();
    const auto again = listOf(path_);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->front().WebName, "one");
    EXPECT_EQ(cacheText(), before);
}

TEST_F(KeyCache, ADamagedOrWrongCacheFallsBackToTheFixedKeyAndIsRepaired) {
    ASSERT_TRUE(listOf(path_));
    const std::string right = cachedKeyOf(path_);
    std::string wrong = right;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    const std::string header = "vesprey derived keys 1\n";
    const std::string salted = cacheText().substr(header.size(), 33);  // "<salt> "
    for (const std::string& damaged :
         {std::string("\x01\xff garbage"), header + salted + wrong + "\n",
          header + salted + right.substr(0, 10), header + "zz " + right + "\n",
          header + salted + std::string(64, 'g') + "\n"}) {
        writeCache(damaged);
        const auto list = listOf(path_);
        ASSERT_TRUE(list) << damaged;
        EXPECT_EQ(list->front().Cookie, "a=1");
        EXPECT_EQ(cachedKeyOf(path_), right) << damaged;
    }
}

TEST_F(KeyCache, AReplacedFileGetsItsOwnEntryAndAFileThatIsNoDatabaseNone) {
    ASSERT_TRUE(listOf(path_));
    const std::string first = cachedKeyOf(path_);
    // Another file at the same path: a new salt, so a new key; the old entry stays harmless.
    fs::remove(path_);
    ASSERT_TRUE(createSiteDatabase(path_, nullptr));
    const auto list = listOf(path_);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
    EXPECT_NE(cachedKeyOf(path_), first);
    EXPECT_EQ(cachedKeyOf(path_).size(), 64u);

    // A file that is no database is refused, and nothing is kept for it.
    const fs::path garbage = dir_ / "garbage.db";
    std::ofstream(garbage) << std::string(4096, 'x');
    EXPECT_FALSE(listOf(garbage));
    EXPECT_EQ(cachedKeyOf(garbage), "");
}

TEST_F(KeyCache, AFileHeldByAnotherProgramKeepsItsEntryAndIsWaitedForOnce) {
    ASSERT_TRUE(listOf(path_));
    const std::string key = cachedKeyOf(path_);
    ASSERT_EQ(key.size(), 64u);
    SqlDatabase holder;
    ASSERT_TRUE(openSiteDatabase(holder, path_));
    ASSERT_EQ(holder.prepare("BEGIN EXCLUSIVE").stepCode(), kSqliteDone);

    SqlDatabase db;
    ASSERT_TRUE(openSiteDatabase(db, path_));
    SiteList list;
    const ReadResult read = readSiteList(db, list);
    EXPECT_TRUE(read.busy()) << ansiToUtf8(read.error);
    // One wait for the open and the read together, and the one the result tells.
    EXPECT_GE(read.waitedMs, kBusyTimeoutMs);
    EXPECT_LT(read.waitedMs, 2 * kBusyTimeoutMs);
    EXPECT_EQ(cachedKeyOf(path_), key) << cacheText();

    ASSERT_EQ(holder.prepare("COMMIT").stepCode(), kSqliteDone);
    EXPECT_TRUE(listOf(path_));
}

TEST_F(KeyCache, FoldersMadeForTheCacheAreTheOwnersAloneWhateverTheUmask) {
    setKeyCachePath(dir_ / "home" / "cache" / "vesprey" / "keys");
    const mode_t before = ::umask(0);
    const bool listed = listOf(path_).has_value();
    ::umask(before);
    ASSERT_TRUE(listed);
    ASSERT_EQ(cachedKeyOf(path_).size(), 64u);
    for (const fs::path& folder :
         {dir_ / "home", dir_ / "home" / "cache", dir_ / "home" / "cache" / "vesprey"}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
}

TEST_F(KeyCache, WithoutACacheDirectoryFilesOpenAsBefore) {
    fs::remove_all(dir_ / "cache");
    setKeyCachePath({});
    const auto list = listOf(path_);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->front().Cookie, "a=1");
    EXPECT_FALSE(fs::exists(dir_ / "cache"));
}

}  // namespace
}  // namespace vesprey
