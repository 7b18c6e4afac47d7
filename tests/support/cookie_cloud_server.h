// A CookieCloud server on 127.0.0.1 for the tests, and its data encrypted as the browser
// extension encrypts it, by the openssl command line: the legacy form with
// `openssl enc -aes-256-cbc -md md5` (the "Salted__" header and EVP_BytesToKey), the fixed-IV
// form with `openssl enc -aes-128-cbc -K … -iv 00…`. The passphrase comes from `openssl md5`.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "loopback_server.h"

namespace vesprey::test {

// The standard output of a shell command, its final line break dropped; `input` is written to
// a file the command reads as "$IN".
inline std::string commandOutput(const std::string& command, const std::string& input = {}) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vesprey-cloud-in-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        return {};
    }
    ::close(fd);
    {
        std::ofstream out(pattern, std::ios::binary);
        out << input;
    }
    FILE* pipe = popen(("IN='" + pattern + "'; " + command + " 2>/dev/null").c_str(), "r");
    std::string out;
    if (pipe != nullptr) {
        std::array<char, 4096> buffer{};
        std::size_t n = 0;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
            out.append(buffer.data(), n);
        }
        pclose(pipe);
    }
    std::filesystem::remove(pattern);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

// The first 16 hex digits of MD5(uuid + "-" + password), by `openssl md5`.
inline std::string cloudPassphrase(const std::string& uuid, const std::string& password) {
    return commandOutput("openssl md5 -r < \"$IN\"", uuid + "-" + password).substr(0, 16);
}

// `plain` in the legacy form, base64 on one line.
inline std::string legacyEncrypted(const std::string& plain, const std::string& passphrase) {
    return commandOutput("openssl enc -aes-256-cbc -md md5 -salt -base64 -A -pass pass:" +
                             passphrase + " -in \"$IN\"",
                         plain);
}

// `plain` in the fixed-IV form: the 16 characters of the passphrase as the key, a zero IV.
inline std::string fixedIvEncrypted(const std::string& plain, const std::string& passphrase) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key;
    for (const unsigned char c : passphrase) {
        key += kHex[c >> 4];
        key += kHex[c & 15];
    }
    return commandOutput("openssl enc -aes-128-cbc -base64 -A -K " + key +
                             " -iv 00000000000000000000000000000000 -in \"$IN\"",
                         plain);
}

// The answer of GET /get/<uuid>.
inline std::string cloudAnswer(const std::string& encrypted, const std::string& cryptoType = {}) {
    std::string answer = "{\"uuid\":\"x\",\"encrypted\":\"" + encrypted + "\"";
    if (!cryptoType.empty()) {
        answer += ",\"crypto_type\":\"" + cryptoType + "\"";
    }
    return answer + "}";
}

// Serves one answer at /get/<uuid> (404 for another UUID) until told another.
class CookieCloudServer {
public:
    explicit CookieCloudServer(std::string uuid) : uuid_(std::move(uuid)) {
        server_->Get("/get/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
            ++server_.requests;
            std::lock_guard lock(mutex_);
            if (req.matches[1] != uuid_) {
                res.status = 404;
                res.set_content("Not Found", "text/plain");
                return;
            }
            res.status = status_;
            res.set_content(answer_, "application/json");
        });
        server_.start();
    }

    void serve(std::string answer, int status = 200) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
        status_ = status;
    }
    std::string url() const { return server_.url(""); }
    int requests() const { return server_.requests; }
    void stop() { server_.stop(); }

private:
    std::string uuid_;
    LocalServer<> server_;
    std::mutex mutex_;
    std::string answer_ = "{}";
    int status_ = 200;
};

}  // namespace vesprey::test
