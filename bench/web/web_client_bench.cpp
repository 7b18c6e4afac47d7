// 2,000 sequential GET requests to a loopback server through WebClient::request, against a plain
// libcurl loop that reuses one handle, measured side by side in the same run. The "ratio" counter
// is the WebClient time over the plain time.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <string>

#include "common/curl_text.h"
#include "loopback_server.h"
#include "web/request_engine.h"
#include "web/web_client.h"

namespace {

constexpr int kRequests = 2000;

double plainCurlSeconds(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &vesprey::bench::appendToString);
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
    vesprey::test::LocalServer<> server;
    server->Get("/ping", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{\"ok\":true,\"message\":\"signed in\"}", "application/json");
    });
    server.start();
    const std::string url = server.url("/ping");
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
