// Servers on 127.0.0.1 for the tests and the benchmarks: a cpp-httplib server run on a thread of
// its own, and a raw one that keeps every request exactly as it came off the socket.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
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

    // Call after the routes are set.
    void start() {
        port_ = server_.bind_to_any_port("127.0.0.1");
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
        return "http://127.0.0.1:" + std::to_string(port_) + path;
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
    int port_ = 0;
    std::mutex gateMutex_;
    std::condition_variable gate_;
    bool open_ = true;
};

// Accepts connections one at a time, reads one request (head and Content-Length body), records
// it byte for byte and answers with `response`, closing the connection.
class RawServer {
public:
    explicit RawServer(std::string response =
                           "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        : response_(std::move(response)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 16);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawServer() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
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
    void serve() {
        while (!stopping_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0) {
                continue;
            }
            int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) {
                continue;
            }
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
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// Accepts connections and never says a word, until it goes: a TLS peer that never answers the
// handshake, a service that hangs.
class SilentServer {
public:
    SilentServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 16);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd waiting{listener_, POLLIN, 0};
                if (::poll(&waiting, 1, 20) > 0) {
                    const int connection = ::accept(listener_, nullptr, nullptr);
                    if (connection >= 0) {
                        held_.push_back(connection);
                    }
                }
            }
        });
    }
    ~SilentServer() {
        stopping_ = true;
        thread_.join();
        for (int connection : held_) {
            ::close(connection);
        }
        ::close(listener_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& scheme, const std::string& path) const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<int> held_;  // touched by the thread only, until it is joined
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
