// 2,000 sequential GET requests to a loopback server through WebClient::request, against a plain
// libcurl loop that reuses one handle, measured side by side in the same run. The "ratio" counter
// is the WebClient time over the plain time.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "web/request_engine.h"
#include "web/web_client.h"

namespace {

constexpr int kRequests = 2000;

class LoopbackServer {
  public:
    LoopbackServer() {
        server_.set_keep_alive_max_count(1000000);
        // Answers go out as the library writes them (head and body separately): without
        // TCP_NODELAY every answer would wait for the client's delayed acknowledgement.
        server_.set_socket_options([](int socket) {
            httplib::default_socket_options(socket);
            int one = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        });
        server_.Get("/ping", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("{\"ok\":true,\"message\":\"signed in\"}", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~LoopbackServer() {
        vesprey::RequestEngine::closeIdleConnections();
        server_.stop();
        thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ping"; }

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

double plainCurlSeconds(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        body.clear();
        curl_easy_perform(curl);
        benchmark::DoNotOptimize(body.data());
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    curl_easy_cleanup(curl);
    return elapsed.count();
}

double webClientSeconds(const std::string& url) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        vesprey::Text cookie = "sid=abc123; lang=zh";
        vesprey::Bytes body =
            vesprey::WebClient::request(url, vesprey::HttpMethod::Get, {.cookie = &cookie});
        benchmark::DoNotOptimize(body.data());
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

void BM_WebClientAgainstPlainCurl(benchmark::State& state) {
    LoopbackServer server;
    const std::string url = server.url();
    webClientSeconds(url);  // warm up: connection, DNS and caches
    plainCurlSeconds(url);
    double plain = 0;
    double client = 0;
    for (auto _ : state) {
        double plainRun = plainCurlSeconds(url);
        double clientRun = webClientSeconds(url);
        plain += plainRun;
        client += clientRun;
        state.SetIterationTime(clientRun);
    }
    auto runs = static_cast<double>(state.iterations());
    state.counters["plain_ms"] = plain / runs * 1000;
    state.counters["client_ms"] = client / runs * 1000;
    state.counters["ratio"] = client / plain;
    state.counters["client_us_per_request"] = client / runs / kRequests * 1e6;
}
BENCHMARK(BM_WebClientAgainstPlainCurl)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
