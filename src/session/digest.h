// The digest of the last days' passes (`vesprey-cli digest`), read from History.db beside
// Sign.db: per account the days it was signed and the days it was due, its failures, a cookie
// that runs out soon, and when it was last signed; its first line says so when no pass ran for
// more than two days, so that a tool that stopped signing is heard of.
//
// A day is due for an account from the first day the history knows it on: the first day of the
// window, or of the history when that began later, or, for an account that passes in the window
// went without (one added since), the day of its first row. Today is due once a pass ran today.
// Texts are code page 936.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "model/site.h"
#include "store/site_database.h"
#include "text/text.h"

namespace vesprey {

inline constexpr int kDefaultDigestDays = 7;
// The digest's first line warns when the last pass is older than this many days.
inline constexpr int kDigestSilenceDays = 2;

// What the digest says of one account (a Cid of History.db).
struct DigestAccount {
    int templateId = 0;
    int cid = 0;
    Text site;           // the name in its latest row
    int signedDays = 0;  // days with a success or already
    int dueDays = 0;
    int failures = 0;           // rows expired or failed
    HistoryEntry lastFailure;   // the latest of them, when there is one
    Text lastSigned;            // the time of its latest requested row; empty: none in the window
    std::optional<int> cookie;  // days until its cookie runs out (-1: it has) within the window's
                                // length; nothing when further off or unknown
};

struct Digest {
    int days = kDefaultDigestDays;
    Text firstDay;  // the window, "yyyy-MM-dd", today last
    Text lastDay;
    std::optional<Text> lastPass;  // the time of History.db's latest row; nothing without one
    // Whole days since the last pass when they are more than kDigestSilenceDays, -1 when there
    // never was one; nothing when a pass ran since.
    std::optional<int> silentDays;
    std::vector<DigestAccount> accounts;  // by template id, then Cid
};

// The digest of the `days` days up to the day of `now` for the Sign.db at `siteDatabase`, never
// making History.db: without the file the digest has no pass (and says so). A History.db that
// cannot be read (damaged, busy, another key, another Sign.db's) fails with why.
ReadResult readDigest(const std::filesystem::path& siteDatabase, int days, double now,
                      Digest& digest);

// The digest's push title, "签到摘要（最近 7 天）".
Text digestTitle(const Digest& digest);
// Its lines: the warning of a silence first when there is one, then the window and the last
// pass, then one line per account.
std::vector<Text> digestLines(const Digest& digest);

}  // namespace vesprey
