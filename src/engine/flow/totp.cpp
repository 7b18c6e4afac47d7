#include "engine/flow/totp.h"

#include <liboath/oath.h>

#include <cstdlib>
#include <ctime>
#include <memory>

namespace vesprey::flow {
namespace {

// liboath is set up once for the process; its functions may then be called from any thread.
bool oathReady() {
    static const bool ready = oath_init() == OATH_OK;
    return ready;
}

}  // namespace

std::variant<std::string, TotpSecretError> decodeTotpSecret(std::string_view base32) {
    std::string clean;
    clean.reserve(base32.size() + 8);
    for (const char c : base32) {
        if (c == ' ' || c == '\t' || c == '-' || c == '=') {
            continue;
        }
        const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (!((upper >= 'A' && upper <= 'Z') || (upper >= '2' && upper <= '7'))) {
            return TotpSecretError{
                "totp 的密钥不是 Base32 文字（只能有字母 A–Z 和数字 2–7），"
                "请照验证器上显示的密钥填写"};
        }
        clean += upper;
    }
    if (clean.empty()) {
        return TotpSecretError{"totp 的密钥是空的，请先在账号的输入里填上它"};
    }
    while (clean.size() % 8 != 0) {
        clean += '=';
    }
    if (!oathReady()) {
        return TotpSecretError{"一次性密码库 liboath 无法初始化"};
    }
    char* bytes = nullptr;
    std::size_t length = 0;
    const int decoded = oath_base32_decode(clean.data(), clean.size(), &bytes, &length);
    const std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
    if (decoded != OATH_OK || length == 0) {
        return TotpSecretError{"totp 的密钥长度不对，请照验证器上显示的密钥完整填写"};
    }
    return std::string(bytes, length);
}

std::variant<std::string, TotpSecretError> totpCode(std::string_view base32,
                                                    std::chrono::system_clock::time_point now,
                                                    int digits, int period) {
    if (digits < 6 || digits > 8) {
        return TotpSecretError{"totp 的位数应当是 6、7 或 8"};
    }
    if (period <= 0 || period > 86400) {
        return TotpSecretError{"totp 的周期应当是 1 到 86400 秒"};
    }
    auto secret = decodeTotpSecret(base32);
    if (auto* error = std::get_if<TotpSecretError>(&secret)) {
        return std::move(*error);
    }
    const std::string& key = std::get<std::string>(secret);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    char code[OATH_HOTP_LENGTH(8, false) + 1] = {};
    const int made =
        oath_totp_generate(key.data(), key.size(), static_cast<std::time_t>(seconds),
                           static_cast<unsigned>(period), 0, static_cast<unsigned>(digits), code);
    if (made != OATH_OK) {
        return TotpSecretError{std::string("totp 算不出一次性密码：") + oath_strerror(made)};
    }
    return std::string(code);
}

}  // namespace vesprey::flow
