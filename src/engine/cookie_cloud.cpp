#include "engine/cookie_cloud.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <variant>

#include "engine/flow/json_value.h"
#include "text/gbk_text.h"
#include "web/answer_budget.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

constexpr std::string_view kSaltMark = "Salted__";
constexpr std::size_t kSaltBytes = 8;
constexpr std::size_t kBlockBytes = 16;

CookieCloudFailure failure(CookieCloudError code, std::string_view utf8) {
    CookieCloudFailure made;
    made.code = code;
    made.message = utf8ToAnsi(utf8);
    return made;
}

CookieCloudFailure wrongPassword() {
    return failure(CookieCloudError::WrongPassword,
                   "用这个 UUID 和密码解不开 CookieCloud 的数据：请检查密码是否与浏览器扩展里的"
                   "端对端加密密码相同");
}

CookieCloudFailure damaged() {
    return failure(CookieCloudError::Damaged,
                   "CookieCloud 服务器给的加密数据已损坏（不是完整的密文）：请在浏览器扩展里"
                   "重新上传一次");
}

// Standard base64 with any white space between its characters; nothing for another character
// or a length no base64 text has.
std::optional<std::string> decodeBase64(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/' || c == '=') {
            clean += c;
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return std::nullopt;
        }
    }
    if (clean.empty() || clean.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && clean[clean.size() - 1 - padding] == '=') {
        ++padding;
    }
    if (clean.find('=') < clean.size() - padding) {
        return std::nullopt;
    }
    std::string out(clean.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(clean.data()),
                                       static_cast<int>(clean.size()));
    if (length < 0 || static_cast<std::size_t>(length) < padding) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(length) - padding);
    return out;
}

// AES-CBC with PKCS#7 padding; nothing when the padding is wrong (a wrong key, mostly).
std::optional<std::string> decryptCbc(const EVP_CIPHER* cipher, const unsigned char* key,
                                      const unsigned char* iv, std::string_view data) {
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!context || EVP_DecryptInit_ex(context.get(), cipher, nullptr, key, iv) != 1) {
        return std::nullopt;
    }
    std::string out(data.size() + kBlockBytes, '\0');
    int length = 0;
    int last = 0;
    auto* into = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_DecryptUpdate(context.get(), into, &length,
                          reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), into + length, &last) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(length + last));
    return out;
}

// A text a cookie string can carry as it is: no control character, no ";", and every character
// one code page 936 has. Nothing otherwise.
std::optional<Text> carriedText(const flow::Value& value, bool name) {
    if (value.kind() != flow::ValueKind::String) {
        return std::nullopt;
    }
    const std::string& utf8 = value.asString();
    for (const unsigned char c : utf8) {
        if (c < 0x20 || c == 0x7F || c == ';' || (name && (c == '=' || c == ' ' || c == ','))) {
            return std::nullopt;
        }
    }
    Text text = utf8ToAnsi(utf8);
    if (ansiToUtf8(text) != utf8) {
        return std::nullopt;
    }
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), gbk::asciiLower);
    return out;
}

std::optional<bool> flag(const flow::Value& cookie, std::string_view name) {
    const flow::Value value = cookie.member(name);
    if (value.kind() == flow::ValueKind::Bool) {
        return value.asBool();
    }
    return std::nullopt;
}

// The cookie of one member of a domain's list; nothing for one no request could carry.
std::optional<CloudCookie> cookieOf(const flow::Value& entry, const std::string& listDomain) {
    if (entry.kind() != flow::ValueKind::Map) {
        return std::nullopt;
    }
    std::optional<Text> name = carriedText(entry.member("name"), true);
    const flow::Value valueMember = entry.member("value");
    std::optional<Text> value =
        valueMember.isUndefined() || valueMember.kind() == flow::ValueKind::None
            ? std::optional<Text>(Text{})
            : carriedText(valueMember, false);
    if (!name || name->empty() || !value) {
        return std::nullopt;
    }
    CloudCookie cookie;
    cookie.name = std::move(*name);
    cookie.value = std::move(*value);
    const flow::Value domain = entry.member("domain");
    cookie.domain =
        lower(domain.kind() == flow::ValueKind::String ? domain.asString() : listDomain);
    const flow::Value path = entry.member("path");
    cookie.path = path.kind() == flow::ValueKind::String ? path.asString() : std::string();
    const bool session = flag(entry, "session").value_or(false);
    for (const std::string_view member : {"expirationDate", "expires"}) {
        const flow::Value expires = entry.member(member);
        if (!session && expires.isNumber() && expires.kind() != flow::ValueKind::Bool) {
            cookie.expires = expires.toDouble();
            break;
        }
    }
    cookie.secure = flag(entry, "secure").value_or(false);
    cookie.httpOnly = flag(entry, "httpOnly").value_or(false);
    cookie.hostOnly = flag(entry, "hostOnly");
    return cookie;
}

// The parts of an address a browser picks cookies by.
struct AddressParts {
    bool https = false;
    std::string host;  // lower case, without brackets, port or final dot
    bool numeric = false;
    std::string path;  // from its "/" to "?" or "#"; "/" when there is none
};

std::optional<AddressParts> partsOf(std::string_view address) {
    const std::size_t schemeEnd = address.find("://");
    if (schemeEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string scheme = lower(address.substr(0, schemeEnd));
    if (scheme != "http" && scheme != "https") {
        return std::nullopt;
    }
    AddressParts parts;
    parts.https = scheme == "https";
    std::string_view rest = address.substr(schemeEnd + 3);
    const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authorityEnd);
    rest.remove_prefix(authorityEnd);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    if (authority.starts_with('[')) {
        parts.host = lower(authority.substr(1, authority.find(']') - 1));
        parts.numeric = true;
    } else {
        parts.host = lower(authority.substr(0, authority.find(':')));
        parts.numeric =
            !parts.host.empty() && parts.host.find_first_not_of("0123456789.") == std::string::npos;
    }
    while (!parts.host.empty() && parts.host.back() == '.') {
        parts.host.pop_back();
    }
    if (parts.host.empty()) {
        return std::nullopt;
    }
    const std::string_view path = rest.substr(0, rest.find_first_of("?#"));
    parts.path = path.starts_with('/') ? std::string(path) : std::string("/");
    return parts;
}

bool domainMatches(const CloudCookie& cookie, const AddressParts& address) {
    std::string_view domain = cookie.domain;
    const bool dotted = domain.starts_with('.');
    if (dotted) {
        domain.remove_prefix(1);
    }
    while (domain.ends_with('.')) {
        domain.remove_suffix(1);
    }
    if (domain.empty()) {
        return false;
    }
    if (address.host == domain) {
        return true;
    }
    const bool covers = dotted || cookie.hostOnly == std::optional<bool>(false);
    return covers && !address.numeric && address.host.size() > domain.size() &&
           address.host.ends_with(domain) &&
           address.host[address.host.size() - domain.size() - 1] == '.';
}

bool pathMatches(std::string_view cookiePath, std::string_view path) {
    if (cookiePath.empty() || !cookiePath.starts_with('/')) {
        cookiePath = "/";
    }
    if (path == cookiePath) {
        return true;
    }
    return path.starts_with(cookiePath) &&
           (cookiePath.ends_with('/') || path[cookiePath.size()] == '/');
}

std::string_view cookiePathOf(const CloudCookie& cookie) {
    return cookie.path.starts_with('/') ? std::string_view(cookie.path) : std::string_view("/");
}

// The items of a cookie string, each trimmed of blanks, empty ones left out.
std::vector<Text> cookieItems(std::string_view cookie) {
    std::vector<Text> items;
    std::size_t at = 0;
    while (at <= cookie.size()) {
        const std::size_t end = std::min(cookie.find(';', at), cookie.size());
        std::string_view item = cookie.substr(at, end - at);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
            item.remove_prefix(1);
        }
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
            item.remove_suffix(1);
        }
        if (!item.empty()) {
            items.emplace_back(item);
        }
        at = end + 1;
    }
    return items;
}

Text itemName(std::string_view item) {
    std::string_view name = item.substr(0, item.find('='));
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return Text(name);
}

}  // namespace

std::string cookieCloudPassphrase(std::string_view uuid, std::string_view password) {
    const std::string input = std::string(uuid) + "-" + std::string(password);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length && hex.size() < 16; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

CookieCloudPlain decryptCookieCloud(std::string_view encrypted, std::string_view passphrase,
                                    CookieCloudCrypto crypto) {
    CookieCloudPlain plain;
    const std::optional<std::string> bytes = decodeBase64(encrypted);
    if (!bytes) {
        plain.failure = damaged();
        return plain;
    }
    std::optional<std::string> text;
    if (crypto == CookieCloudCrypto::Legacy) {
        const std::size_t head = kSaltMark.size() + kSaltBytes;
        if (bytes->size() <= head || !std::string_view(*bytes).starts_with(kSaltMark) ||
            (bytes->size() - head) % kBlockBytes != 0) {
            plain.failure = damaged();
            return plain;
        }
        unsigned char key[EVP_MAX_KEY_LENGTH];
        unsigned char iv[EVP_MAX_IV_LENGTH];
        const auto* salt = reinterpret_cast<const unsigned char*>(bytes->data()) + kSaltMark.size();
        if (EVP_BytesToKey(EVP_aes_256_cbc(), EVP_md5(), salt,
                           reinterpret_cast<const unsigned char*>(passphrase.data()),
                           static_cast<int>(passphrase.size()), 1, key, iv) <= 0) {
            plain.failure = wrongPassword();
            return plain;
        }
        text = decryptCbc(EVP_aes_256_cbc(), key, iv, std::string_view(*bytes).substr(head));
    } else {
        if (bytes->empty() || bytes->size() % kBlockBytes != 0) {
            plain.failure = damaged();
            return plain;
        }
        unsigned char key[kBlockBytes] = {};
        std::copy_n(passphrase.begin(), std::min(passphrase.size(), kBlockBytes), key);
        const unsigned char iv[kBlockBytes] = {};
        text = decryptCbc(EVP_aes_128_cbc(), key, iv, *bytes);
    }
    if (!text) {
        plain.failure = wrongPassword();
        return plain;
    }
    plain.text = std::move(*text);
    return plain;
}

CookieCloudData readCookieCloudText(std::string_view plain) {
    CookieCloudData data;
    if (!isValidUtf8(plain)) {
        data.failure = wrongPassword();
        return data;
    }
    auto read = flow::readJson(plain);
    const flow::Value* root = std::get_if<flow::Value>(&read);
    if (root == nullptr || root->kind() != flow::ValueKind::Map) {
        data.failure = wrongPassword();
        return data;
    }
    // Data of extensions before local storage was synced is the cookie object itself.
    flow::Value domains = root->member("cookie_data");
    if (domains.isUndefined()) {
        domains = *root;
    }
    if (domains.kind() != flow::ValueKind::Map) {
        data.failure = failure(CookieCloudError::NotCookieCloud,
                               "CookieCloud 的数据解开了，但里面没有 Cookie（cookie_data）");
        return data;
    }
    for (const auto& [domain, list] : domains.asMap()) {
        if (list.kind() != flow::ValueKind::List) {
            continue;
        }
        for (const flow::Value& entry : list.asList()) {
            if (std::optional<CloudCookie> cookie = cookieOf(entry, domain)) {
                data.cookies.push_back(std::move(*cookie));
            } else {
                ++data.leftOut;
            }
        }
    }
    return data;
}

CookieCloudData readCookieCloudAnswer(std::string_view body, const CookieCloudAccess& access) {
    CookieCloudData data;
    const CookieCloudFailure notCookieCloud =
        failure(CookieCloudError::NotCookieCloud,
                "CookieCloud 服务器的答复里没有加密的 Cookie 数据：请检查服务器地址和 UUID，"
                "以及浏览器扩展是否已经上传过");
    auto read = isValidUtf8(body)
                    ? flow::readJson(body)
                    : std::variant<flow::Value, flow::JsonReadError>(flow::JsonReadError{});
    const flow::Value* root = std::get_if<flow::Value>(&read);
    const flow::Value encrypted = root != nullptr ? root->member("encrypted") : flow::Value();
    if (encrypted.kind() != flow::ValueKind::String || encrypted.asString().empty()) {
        data.failure = notCookieCloud;
        return data;
    }
    const flow::Value named = root->member("crypto_type");
    std::optional<CookieCloudCrypto> crypto;
    if (named.kind() == flow::ValueKind::String && named.asString() == "aes-128-cbc-fixed") {
        crypto = CookieCloudCrypto::FixedIv;
    } else if (named.kind() == flow::ValueKind::String && named.asString() == "legacy") {
        crypto = CookieCloudCrypto::Legacy;
    } else if (named.kind() == flow::ValueKind::String && !named.asString().empty()) {
        data.failure = failure(CookieCloudError::NotCookieCloud,
                               "CookieCloud 服务器用的加密方式“" + named.asString() +
                                   "”不认识（只认 legacy 和 aes-128-cbc-fixed）");
        return data;
    } else {
        const std::optional<std::string> bytes = decodeBase64(encrypted.asString());
        crypto = bytes && std::string_view(*bytes).starts_with(kSaltMark)
                     ? CookieCloudCrypto::Legacy
                     : CookieCloudCrypto::FixedIv;
    }
    const CookieCloudPlain plain = decryptCookieCloud(
        encrypted.asString(), cookieCloudPassphrase(access.uuid, access.password), *crypto);
    if (plain.failure) {
        data.failure = plain.failure;
        return data;
    }
    return readCookieCloudText(plain.text);
}

std::string cookieCloudAddress(const CookieCloudAccess& access) {
    std::string_view server = access.url;
    while (!server.empty() && (server.back() == ' ' || server.back() == '/')) {
        server.remove_suffix(1);
    }
    while (!server.empty() && server.front() == ' ') {
        server.remove_prefix(1);
    }
    const std::string scheme = lower(server.substr(0, server.find("://")));
    if (server.find("://") == std::string_view::npos || (scheme != "http" && scheme != "https") ||
        server.size() <= scheme.size() + 3) {
        return {};
    }
    return std::string(server) + "/get/" + urlEncode(access.uuid, true, true);
}

CookieCloudData fetchCookieCloud(const CookieCloudAccess& access, std::stop_token stop,
                                 std::string_view caFile) {
    CookieCloudData data;
    std::string missing;
    for (const auto& [given, name] :
         {std::pair<const std::string&, const char*>{access.url, "服务器地址"},
          {access.uuid, "UUID"},
          {access.password, "密码"}}) {
        if (given.empty()) {
            missing += (missing.empty() ? "" : "、") + std::string(name);
        }
    }
    if (!missing.empty()) {
        data.failure = failure(CookieCloudError::NotSet, "还没有设置 CookieCloud 的" + missing);
        return data;
    }
    const std::string address = cookieCloudAddress(access);
    if (address.empty()) {
        data.failure =
            failure(CookieCloudError::BadAddress, "CookieCloud 服务器地址“" + access.url +
                                                      "”不是以 http:// 或 https:// 开头的地址");
        return data;
    }
    HttpRequest request;
    request.url = address;
    request.method = HttpMethod::Get;
    request.headers = "Accept: application/json";
    request.verifyTls = true;
    request.caFile = caFile;
    request.sendReferer = false;
    request.timeoutSeconds = kCookieCloudTimeoutSeconds;
    request.deadlineMs = kCookieCloudDeadlineMs;
    request.stop = std::move(stop);
    request.answerBudget = std::make_shared<AnswerBudget>(kCookieCloudMaxAnswerBytes);
    const HttpResponse response = WebClient::send(request);
    if (response.error.code == HttpErrorCode::AnswerTooLarge) {
        data.failure = failure(CookieCloudError::TooLarge,
                               "CookieCloud 服务器的答复超过 " +
                                   std::to_string(kCookieCloudMaxAnswerBytes >> 20) +
                                   " MB，不像是 Cookie 数据");
        return data;
    }
    if (response.error) {
        data.failure = failure(CookieCloudError::Unreachable,
                               "连不上 CookieCloud 服务器（" + ansiToUtf8(response.error.message) +
                                   "）：请检查服务器地址，以及服务器是否在运行");
        return data;
    }
    if (response.status != 200) {
        data.failure = failure(CookieCloudError::Status, "CookieCloud 服务器答复 HTTP " +
                                                             std::to_string(response.status) +
                                                             "：请检查服务器地址和 UUID");
        return data;
    }
    return readCookieCloudAnswer(response.body, access);
}

std::string cookieHost(std::string_view address) {
    const std::optional<AddressParts> parts = partsOf(address);
    return parts ? parts->host : std::string();
}

CookieChoice cookiesForAddress(const std::vector<CloudCookie>& cookies, std::string_view address,
                               double nowUnix) {
    CookieChoice choice;
    const std::optional<AddressParts> parts = partsOf(address);
    if (!parts) {
        return choice;
    }
    std::vector<const CloudCookie*> matching;
    for (const CloudCookie& cookie : cookies) {
        if (domainMatches(cookie, *parts) && pathMatches(cookie.path, parts->path) &&
            (!cookie.secure || parts->https)) {
            matching.push_back(&cookie);
        }
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const CloudCookie* a, const CloudCookie* b) {
                         return cookiePathOf(*a).size() > cookiePathOf(*b).size();
                     });
    std::vector<Text> expired;
    for (const CloudCookie* cookie : matching) {
        const bool named =
            std::any_of(choice.sent.begin(), choice.sent.end(),
                        [cookie](const CloudCookie* sent) { return sent->name == cookie->name; });
        if (cookie->expires && *cookie->expires <= nowUnix) {
            expired.push_back(cookie->name);
        } else if (!named) {
            choice.sent.push_back(cookie);
        }
    }
    for (const Text& name : expired) {
        const bool sent =
            std::any_of(choice.sent.begin(), choice.sent.end(),
                        [&name](const CloudCookie* cookie) { return cookie->name == name; });
        if (!sent &&
            std::find(choice.expired.begin(), choice.expired.end(), name) == choice.expired.end()) {
            choice.expired.push_back(name);
        }
    }
    return choice;
}

CookieMerge mergeCloudCookies(std::string_view stored, const CookieChoice& choice) {
    CookieMerge merge;
    std::vector<Text> items = cookieItems(stored);
    for (const CloudCookie* cookie : choice.sent) {
        const Text item = cookie->name + "=" + cookie->value;
        bool found = false;
        bool changed = false;
        for (Text& held : items) {
            if (itemName(held) == cookie->name) {
                found = true;
                if (held != item) {
                    held = item;
                    changed = true;
                }
            }
        }
        if (!found) {
            items.push_back(item);
            merge.added.push_back(cookie->name);
        } else if (changed) {
            merge.changed.push_back(cookie->name);
        }
    }
    for (const Text& name : choice.expired) {
        const auto end = std::remove_if(items.begin(), items.end(), [&name](const Text& held) {
            return itemName(held) == name;
        });
        if (end != items.end()) {
            items.erase(end, items.end());
            merge.removed.push_back(name);
        }
    }
    if (!merge.differs()) {
        merge.cookie = Text(stored);
        return merge;
    }
    for (const Text& item : items) {
        merge.cookie += (merge.cookie.empty() ? "" : "; ") + item;
    }
    return merge;
}

}  // namespace vesprey
