// Proxy addresses as the user writes them: "http://", "https://", "socks5://" (the proxy
// resolves nothing: the names are resolved here) or "socks5h://" (the proxy resolves the site's
// name), with "user:password@" when the proxy asks for them, then the host and the port.
// Special characters of the user and the password are percent-encoded ("%40" for "@").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesprey {

// What is wrong with a proxy address, as a UTF-8 sentence saying how to write it; nothing when it
// is a proxy address this program uses.
std::optional<std::string> proxyProblem(std::string_view url);

// True when the address holds a password ("user:password@").
bool proxyHasPassword(std::string_view url);

// The address as it may be shown or logged: the password written as "***" (the user stays), and
// nothing after the port.
std::string shownProxy(std::string_view url);

// "host:port" of the address, for a list that names the proxy in short.
std::string proxyHostPort(std::string_view url);

}  // namespace vesprey
