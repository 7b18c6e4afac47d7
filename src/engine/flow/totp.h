// Time-based one-time passwords (RFC 6238) for the templates' totp() function, over liboath.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <variant>

namespace vesprey::flow {

// The secret's bytes from its Base32 text as authenticator apps show it: spaces, hyphens and
// "=" padding ignored, letters in either case. Nothing when the text holds another character or
// no secret at all.
struct TotpSecretError {
    std::string message;  // a Chinese sentence; it never quotes the secret
};
std::variant<std::string, TotpSecretError> decodeTotpSecret(std::string_view base32);

// The code for `now`: `digits` (6 to 8) decimal digits of HMAC-SHA1 over the number of whole
// `period`-second steps since the Unix epoch. The error says what is wrong with the arguments.
std::variant<std::string, TotpSecretError> totpCode(std::string_view base32,
                                                    std::chrono::system_clock::time_point now,
                                                    int digits = 6, int period = 30);

}  // namespace vesprey::flow
