// Servers on 127.0.0.1 for the tests and the benchmarks: a cpp-httplib server run on a thread of
// its own, a raw one that keeps every request exactly as it came off the socket, and a mail
// server speaking plain SMTP; a self-signed certificate for the TLS ones.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "web/request_engine.h"

namespace vesprey::test {

// A cpp-httplib server (plain or TLS) listening on an ephemeral port of 127.0.0.1, keeping
// connections alive so that a loop of requests measures the client and not the handshakes.
// Handlers may wait at its gate: while the gate is closed, a handler that calls pass() waits
// until the test opens it.
template <typename ServerType = httplib::Server>
class LocalServer {
public:
    template <typename... Args>
    explicit LocalServer(Args&&... args) : server_(std::forward<Args>(args)...) {
        server_.set_keep_alive_max_count(1000000);
        server_.set_keep_alive_timeout(1);
        // The library writes head and body separately; without TCP_NODELAY each answer would
        // wait for the client's delayed acknowledgement.
        server_.set_socket_options([](int socket) {
            httplib::default_socket_options(socket);
            int one = 1;
            ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        });
    }
    ~LocalServer() { stop(); }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    ServerType& server() { return server_; }
    ServerType& operator*() { return server_; }
    ServerType* operator->() { return &server_; }

    // Call after the routes are set. `address` may be any of 127.0.0.0/8, which all reach this
    // machine: servers on 127.0.0.2, 127.0.0.3… are different hosts to a client.
    void start(const std::string& address = "127.0.0.1") {
        address_ = address;
        port_ = server_.bind_to_any_port(address);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void stop() {
        openGate();
        if (thread_.joinable()) {
            // This thread's client keeps its connection for a next request; closing it lets the
            // server's worker go at once.
            RequestEngine::closeIdleConnections();
            server_.stop();
            thread_.join();
        }
    }
    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://" + address_ + ":" + std::to_string(port_) + path;
    }

    void closeGate() {
        std::lock_guard lock(gateMutex_);
        open_ = false;
    }
    void openGate() {
        std::lock_guard lock(gateMutex_);
        open_ = true;
        gate_.notify_all();
    }
    void pass() {
        std::unique_lock lock(gateMutex_);
        ++waiting;
        gate_.wait(lock, [this] { return open_; });
        --waiting;
    }

    std::atomic<int> requests{0};  // for handlers to count what they answered
    std::atomic<int> waiting{0};   // handlers held at the gate

private:
    ServerType server_;
    std::thread thread_;
    std::string address_ = "127.0.0.1";
    int port_ = 0;
    std::mutex gateMutex_;
    std::condition_variable gate_;
    bool open_ = true;
};

// A listening socket on an ephemeral port of 127.0.0.1; -1 when none could be made.
inline int listenOnLoopback(int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

// The socket, thread and accept loop of the hand-made servers below: `take` gets each accepted
// connection on the server's thread, one at a time, and owns it. A server stops the loop in its
// own destructor (stopAccepting), before the members `take` uses are gone.
class LoopbackAcceptor {
public:
    LoopbackAcceptor() { listener_ = listenOnLoopback(port_); }
    virtual ~LoopbackAcceptor() { ::close(listener_); }
    LoopbackAcceptor(const LoopbackAcceptor&) = delete;
    LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

    int port() const { return port_; }

protected:
    virtual void take(int connection) = 0;

    // Call at the end of the derived constructor.
    void startAccepting() {
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd waiting{listener_, POLLIN, 0};
                if (::poll(&waiting, 1, 20) <= 0) {
                    continue;
                }
                if (const int connection = ::accept(listener_, nullptr, nullptr); connection >= 0) {
                    take(connection);
                }
            }
        });
    }
    void stopAccepting() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Accepts connections one at a time, reads one request (head and Content-Length body), records
// it byte for byte and answers with `response`, closing the connection.
class RawServer : public LoopbackAcceptor {
public:
    explicit RawServer(std::string response =
                           "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        : response_(std::move(response)) {
        startAccepting();
    }
    ~RawServer() override { stopAccepting(); }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port()) + path;
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // The last request's head split into lines (request line first), without the empty line.
    std::vector<std::string> lastHeadLines() {
        std::vector<std::string> lines;
        auto all = requests();
        if (all.empty()) {
            return lines;
        }
        const std::string& request = all.back();
        std::string head = request.substr(0, request.find("\r\n\r\n"));
        std::size_t start = 0;
        while (true) {
            std::size_t end = head.find("\r\n", start);
            lines.push_back(head.substr(start, end - start));
            if (end == std::string::npos) {
                break;
            }
            start = end + 2;
        }
        return lines;
    }
    std::string lastBody() {
        auto all = requests();
        if (all.empty()) {
            return {};
        }
        std::size_t end = all.back().find("\r\n\r\n");
        return end == std::string::npos ? std::string() : all.back().substr(end + 4);
    }

private:
    void take(int connection) override {
        std::string request = readRequest(connection);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        ::send(connection, response_.data(), response_.size(), MSG_NOSIGNAL);
        ::shutdown(connection, SHUT_WR);
        char sink[256];
        while (::recv(connection, sink, sizeof sink, 0) > 0) {
        }
        ::close(connection);
    }

    static std::string readRequest(int connection) {
        std::string data;
        char buffer[65536];
        std::size_t wanted = std::string::npos;
        while (data.size() < wanted) {
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 5000) <= 0) {
                break;
            }
            ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            data.append(buffer, static_cast<std::size_t>(got));
            std::size_t headEnd = data.find("\r\n\r\n");
            if (wanted == std::string::npos && headEnd != std::string::npos) {
                std::size_t body = 0;
                std::string lower = data.substr(0, headEnd);
                for (char& c : lower) {
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
                std::size_t at = lower.find("\r\ncontent-length:");
                if (at != std::string::npos) {
                    body = std::stoul(lower.substr(at + 17));
                }
                wanted = headEnd + 4 + body;
            }
        }
        return data;
    }

    std::string response_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// Accepts connections and never says a word, until it goes: a TLS peer that never answers the
// handshake, a service that hangs.
class SilentServer : public LoopbackAcceptor {
public:
    SilentServer() { startAccepting(); }
    ~SilentServer() override {
        stopAccepting();
        for (int connection : held_) {
            ::close(connection);
        }
    }

    std::string url(const std::string& scheme, const std::string& path) const {
        return scheme + "://127.0.0.1:" + std::to_string(port()) + path;
    }

    std::atomic<int> accepted{0};  // connections taken so far

private:
    void take(int connection) override {
        held_.push_back(connection);
        ++accepted;
    }

    std::vector<int> held_;  // touched by the thread only, until it is joined
};

// Standard Base64 decoded; characters outside the alphabet (line breaks, padding) are skipped.
inline std::string base64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// A throwaway key and self-signed certificate for 127.0.0.1 (its address in the certificate, so
// that a client checking names accepts it), made in memory; it is its own authority, so a client
// given its PEM as the CA file trusts it.
struct SelfSigned {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;

    SelfSigned() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context, NID_X9_62_prime256v1);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
        certificate = X509_new();
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("vesprey test"), -1, -1,
                                   0);
        X509_set_issuer_name(certificate, name);
        addExtension(NID_basic_constraints, "critical,CA:TRUE");
        addExtension(NID_subject_alt_name, "IP:127.0.0.1");
        X509_sign(certificate, key, EVP_sha256());
    }
    ~SelfSigned() {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    SelfSigned(const SelfSigned&) = delete;
    SelfSigned& operator=(const SelfSigned&) = delete;

    // The certificate in PEM, as a CA file holds it.
    std::string pem() const {
        BIO* memory = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(memory, certificate);
        char* data = nullptr;
        const long length = BIO_get_mem_data(memory, &data);
        std::string text(data, static_cast<std::size_t>(length));
        BIO_free(memory);
        return text;
    }

private:
    void addExtension(int nid, const char* value) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
        if (X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value)) {
            X509_add_ext(certificate, extension, -1);
            X509_EXTENSION_free(extension);
        }
    }
};

// A file in the temporary directory holding `contents` (a CA file, say), removed with the object.
class TempFile {
public:
    explicit TempFile(const std::string& contents) {
        std::string pattern = "/tmp/vesprey-test-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd >= 0) {
            path_ = pattern;
            const ssize_t written = ::write(fd, contents.data(), contents.size());
            static_cast<void>(written);
            ::close(fd);
        }
    }
    ~TempFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A mail server on 127.0.0.1 speaking plain SMTP, one session at a time: it greets, offers
// AUTH PLAIN, takes MAIL, RCPT and DATA, and records every line the client sent (outside DATA)
// and every message (the text after DATA up to the final ".", dots unstuffed). `refusals` gives
// the reply to a command word instead of agreeing ("RCPT" -> "550 5.1.1 no such user"); an empty
// reply is silence: the server says nothing more and waits for the client to leave (two minutes at
// most).
class SmtpServer : public LoopbackAcceptor {
public:
    explicit SmtpServer(std::map<std::string, std::string> refusals = {})
        : refusals_(std::move(refusals)) {
        startAccepting();
    }
    ~SmtpServer() override { stopAccepting(); }

    std::vector<std::string> commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    void take(int connection) override {
        session(connection);
        ::close(connection);
    }

    // One line from the client without its CR LF; nothing when it went quiet for 5 s or left.
    static std::optional<std::string> readLine(int connection, std::string& buffer) {
        while (buffer.find("\r\n") == std::string::npos) {
            pollfd readable{connection, POLLIN, 0};
            char chunk[4096];
            if (::poll(&readable, 1, 5000) <= 0) {
                return std::nullopt;
            }
            const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return std::nullopt;
            }
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
        const std::size_t end = buffer.find("\r\n");
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return line;
    }

    static void waitForLeave(int connection) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        char chunk[4096];
        while (std::chrono::steady_clock::now() < end) {
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 100) > 0 && ::recv(connection, chunk, sizeof chunk, 0) <= 0) {
                return;
            }
        }
    }

    static void reply(int connection, const std::string& text) {
        const std::string line = text + "\r\n";
        ::send(connection, line.data(), line.size(), MSG_NOSIGNAL);
    }

    void session(int connection) {
        std::string buffer;
        reply(connection, "220 127.0.0.1 ESMTP test");
        while (const std::optional<std::string> line = readLine(connection, buffer)) {
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(*line);
            }
            std::string word = line->substr(0, line->find(' '));
            for (char& c : word) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            if (const auto refusal = refusals_.find(word);
                refusal != refusals_.end() && refusal->second.empty()) {
                waitForLeave(connection);
                return;
            } else if (refusal != refusals_.end()) {
                reply(connection, refusal->second);
            } else if (word == "EHLO" || word == "HELO") {
                reply(connection, "250-127.0.0.1\r\n250 AUTH PLAIN");
            } else if (word == "AUTH") {
                if (line->find(' ', 5) == std::string::npos) {  // no initial response
                    reply(connection, "334 ");
                    const std::optional<std::string> credentials = readLine(connection, buffer);
                    std::lock_guard lock(mutex_);
                    commands_.push_back(credentials.value_or(""));
                }
                reply(connection, "235 2.7.0 Authentication successful");
            } else if (word == "DATA") {
                reply(connection, "354 End data with <CR><LF>.<CR><LF>");
                std::string message;
                while (const std::optional<std::string> text = readLine(connection, buffer)) {
                    if (*text == ".") {
                        break;
                    }
                    message += (text->starts_with('.') ? text->substr(1) : *text) + "\r\n";
                }
                {
                    std::lock_guard lock(mutex_);
                    messages_.push_back(std::move(message));
                }
                reply(connection, "250 2.0.0 Ok: queued as 4F2");
            } else if (word == "QUIT") {
                reply(connection, "221 2.0.0 Bye");
                return;
            } else {
                reply(connection, "250 2.0.0 Ok");
            }
        }
    }

    std::map<std::string, std::string> refusals_;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::vector<std::string> messages_;
};

// A port on 127.0.0.1 that nothing listens on.
inline int closedPort() {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

}  // namespace vesprey::test
