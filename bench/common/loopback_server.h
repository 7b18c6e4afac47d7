// An HTTP server on 127.0.0.1 for the benchmarks, on a thread of its own, keeping connections
// alive so that a loop of requests measures the client and not the handshakes.
#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "web/request_engine.h"

namespace vesprey::bench {

class LoopbackServer {
public:
    // `routes` adds the handlers before the server starts listening.
    explicit LoopbackServer(const std::function<void(httplib::Server&)>& routes) {
        server_.set_keep_alive_max_count(1000000);
        // Answers go out as the library writes them (head and body separately): without
        // TCP_NODELAY every answer would wait for the client's delayed acknowledgement.
        server_.set_socket_options([](int socket) {
            httplib::default_socket_options(socket);
            int one = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        });
        routes(server_);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~LoopbackServer() {
        RequestEngine::closeIdleConnections();
        server_.stop();
        thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

// libcurl write callback that appends to a std::string.
inline std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace vesprey::bench
