// CookieCloud: a browser extension keeps the browser's cookies on a self-hosted server, encrypted
// end to end with a passphrase made of the user's UUID and password. Here: the download of that
// data (GET <server>/get/<uuid>), its decryption, its cookies, and the cookies a browser would
// send to an address merged into an account's cookie string.
//
// Two forms of encryption are read, both AES-CBC over the UTF-8 JSON text with PKCS#7 padding,
// both base64 on the wire, the passphrase being the first 16 hex digits of
// MD5(uuid + "-" + password):
//   legacy             "Salted__", an 8-byte salt, then AES-256-CBC with key and IV from
//                      EVP_BytesToKey (MD5, one round) over the passphrase and the salt;
//   aes-128-cbc-fixed  AES-128-CBC whose key is the 16 characters of the passphrase and whose IV
//                      is 16 zero bytes.
// The server's answer names the second in "crypto_type"; without that member the form is told by
// the "Salted__" mark.
//
// Texts handed out are code page 936, as the rest of the core; the server's JSON is UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace vesprey {

// The longest answer taken from a CookieCloud server, and the bound of its download.
inline constexpr std::size_t kCookieCloudMaxAnswerBytes = std::size_t{32} * 1024 * 1024;
inline constexpr long kCookieCloudDeadlineMs = 30000;
inline constexpr int kCookieCloudTimeoutSeconds = 15;

// Where the data is and how to open it (UTF-8, as the user typed them).
struct CookieCloudAccess {
    std::string url;  // the server, "https://cc.example.com" or with a path before /get/
    std::string uuid;
    std::string password;
};

enum class CookieCloudCrypto { Legacy, FixedIv };

enum class CookieCloudError {
    None,
    NotSet,          // the server, the UUID or the password is missing
    BadAddress,      // the server's address is no http:// or https:// address
    Unreachable,     // no answer: refused, not resolved, timed out, stopped
    Status,          // an answer other than 200
    TooLarge,        // an answer longer than kCookieCloudMaxAnswerBytes
    NotCookieCloud,  // an answer that holds no encrypted data
    Damaged,         // encrypted data that is no base64, too short, or not whole blocks
    WrongPassword,   // data that does not decrypt with this UUID and password
};

// Why there are no cookies: one sentence for the user (code page 936), without final punctuation.
struct CookieCloudFailure {
    CookieCloudError code = CookieCloudError::None;
    Text message;
    explicit operator bool() const { return code != CookieCloudError::None; }
};

// One cookie of the browser. Texts are code page 936; domain is lower case as stored, with its
// leading dot when it has one.
struct CloudCookie {
    Text name;
    Text value;
    Text domain;
    Text path;
    std::optional<double> expires;  // Unix seconds; none for a session cookie
    bool secure = false;
    bool httpOnly = false;
    std::optional<bool> hostOnly;  // as the browser said, when it did
};

struct CookieCloudData {
    CookieCloudFailure failure;
    std::vector<CloudCookie> cookies;
    std::size_t leftOut = 0;  // cookies no request could carry (control characters, ";", …)
};

// The first 16 hex digits (lower case) of MD5(uuid + "-" + password).
std::string cookieCloudPassphrase(std::string_view uuid, std::string_view password);

// The decrypted text of base64 `encrypted`, or why not.
struct CookieCloudPlain {
    CookieCloudFailure failure;
    std::string text;
};
CookieCloudPlain decryptCookieCloud(std::string_view encrypted, std::string_view passphrase,
                                    CookieCloudCrypto crypto);

// The cookies of a decrypted text {"cookie_data": {domain: [cookie, …]}, …}. A text that is no
// such JSON is WrongPassword: a wrong key gives bytes that only by chance end in valid padding.
CookieCloudData readCookieCloudText(std::string_view plain);

// The cookies of a server's answer {"encrypted": "…", "crypto_type": "…"} opened with `access`.
CookieCloudData readCookieCloudAnswer(std::string_view body, const CookieCloudAccess& access);

// The address of the data: the server's address without its final "/", then "/get/" and the
// UUID percent-encoded; empty when the server's address is no http:// or https:// address.
std::string cookieCloudAddress(const CookieCloudAccess& access);

// Downloads and reads the data. Nothing is sent but the UUID; the wait is bounded by
// kCookieCloudDeadlineMs, the answer by kCookieCloudMaxAnswerBytes, and `stop` ends it within
// about a second. `caFile` (a PEM file) replaces the system's authorities for an https server.
CookieCloudData fetchCookieCloud(const CookieCloudAccess& access, std::stop_token stop = {},
                                 std::string_view caFile = {});

// The cookies a browser would send to `address` at `nowUnix`: the domain matches (a domain with
// a leading dot, or one the browser did not mark host-only, matches itself and every host under
// it; another only its own host), the path matches (the same, or a prefix ending at a "/"), a
// secure cookie only over https, none that has expired. Longer paths first; of two cookies of
// one name the first of that order. `expired` gets the names of cookies that would have been
// sent but have expired.
struct CookieChoice {
    std::vector<const CloudCookie*> sent;
    std::vector<Text> expired;
};
CookieChoice cookiesForAddress(const std::vector<CloudCookie>& cookies, std::string_view address,
                               double nowUnix);

// The host of an address as cookies are picked by: lower case, without port, brackets or final
// dot; empty for no http:// or https:// address.
std::string cookieHost(std::string_view address);

// An account's cookie string with the chosen cookies merged in: a cookie of the same name takes
// the browser's value, a new one is added at the end, one the browser holds only expired is
// removed, every other stays. Unchanged when nothing differs (the same bytes); otherwise items
// are separated by "; ". The names (never the values) of what changed, in order.
struct CookieMerge {
    Text cookie;
    std::vector<Text> added;
    std::vector<Text> changed;
    std::vector<Text> removed;
    bool differs() const { return !added.empty() || !changed.empty() || !removed.empty(); }
};
CookieMerge mergeCloudCookies(std::string_view stored, const CookieChoice& choice);

}  // namespace vesprey
