// loadSiteList over 10,000 accounts, against a raw SQLite loop reading the same rows without the
// code page conversions, in the same run. Target: loadSiteList under 50 ms. The ratio of the two
// is the cost of the conversions and records.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/site_fixture.h"
#include "store/site_database.h"

namespace {

namespace fs = std::filesystem;
using namespace vesprey;

constexpr int kSites = 2000;
constexpr int kAccountsPerSite = 5;

const fs::path& fixture() {
    static const fs::path path = bench::makeSiteDatabase(kSites, kAccountsPerSite);
    return path;
}

void BM_LoadSiteList(benchmark::State& state) {
    SqlDatabase db;
    openSiteDatabase(db, fixture());
    std::size_t rows = 0;
    for (auto _ : state) {
        SiteList list = loadSiteList(db);
        rows = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["rows"] = static_cast<double>(rows);
}

// Baseline: the same query and columns straight from SQLite, UTF-8 kept as it is.
void BM_RawSqliteLoop(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(fixture().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_key(db, kSiteDatabaseKey.data(), static_cast<int>(kSiteDatabaseKey.size()));
    sqlite3_exec(db, "PRAGMA cache_size = -32768", nullptr, nullptr, nullptr);
    const char* sql =
        "SELECT Template.*,WebCookie.Cookie,WebCookie.Cid FROM Template LEFT OUTER JOIN WebCookie "
        "ON WebCookie.Id = Template.Id";
    for (auto _ : state) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        std::vector<std::array<std::string, 12>> rows;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            auto& row = rows.emplace_back();
            for (int c = 0; c < 12; ++c) {
                const auto* text = sqlite3_column_text(stmt, c);
                row[static_cast<std::size_t>(c)] = text ? reinterpret_cast<const char*>(text) : "";
            }
        }
        sqlite3_finalize(stmt);
        benchmark::DoNotOptimize(rows);
    }
    sqlite3_close(db);
}

// Start-up: open, key derivation, first (cold) load that decrypts every page.
void BM_OpenAndFirstLoad(benchmark::State& state) {
    for (auto _ : state) {
        SqlDatabase db;
        openSiteDatabase(db, fixture());
        benchmark::DoNotOptimize(loadSiteList(db));
    }
}

BENCHMARK(BM_RawSqliteLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSiteList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenAndFirstLoad)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
