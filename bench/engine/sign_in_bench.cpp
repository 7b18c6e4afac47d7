// A sign-in pass over 1,000 accounts against a loopback site (each answer a small JSON document
// read by path), against a plain libcurl loop of the same 1,000 requests reusing one handle, in
// the same run. The "ratio" counter is the pass's time over the plain loop's.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <string>

#include "common/curl_text.h"
#include "engine/messages.h"
#include "engine/sign_in_run.h"
#include "loopback_server.h"
#include "store/site_database.h"
#include "web/request_engine.h"

namespace {

using namespace vesprey;

constexpr int kAccounts = 1000;

class TableView : public SignInView {
public:
    explicit TableView(const SiteList& sites) {
        for (std::size_t i = 0; i < sites.size(); ++i) {
            rows_.push_back(siteListRow(sites[i], i));
        }
    }
    Text cell(std::size_t row, int column) override {
        return rows_[row][static_cast<std::size_t>(column)];
    }
    void setCell(std::size_t row, int column, const Text& text) override {
        rows_[row][static_cast<std::size_t>(column)] = text;
    }
    void setStatus(const Text&) override {}
    void holdFinishedStatus(std::stop_token) override {}
    bool notifyChecked() override { return false; }
    bool scheduleChecked() override { return false; }
    int pushChannel() override { return 1; }
    void setTimerPeriod(int) override {}

private:
    std::vector<std::array<Text, 6>> rows_;
};

class NoMessages : public MessageSink {
public:
    void showMessage(const Text&, const Text&, MessageIcon) override {}
};

SiteList makeSites(const std::string& url) {
    SiteList sites(kAccounts);
    for (int i = 0; i < kAccounts; ++i) {
        SiteTemplate& s = sites[static_cast<std::size_t>(i)];
        s.id = std::to_string(i / 5 + 1);
        s.WebName = "site " + std::to_string(i / 5);
        s.WebLink = url;
        s.Qtype = 2;
        s.Rtype = 1;
        s.Tying = "data.msg";
        s.Date = "act=sign";
        s.Cookie = "sid=" + std::to_string(i) + "; lang=zh";
        s.Cid = i + 1;
    }
    return sites;
}

double plainCurlSeconds(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "act=sign");
    curl_easy_setopt(curl, CURLOPT_COOKIE, "sid=1; lang=zh");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &bench::appendToString);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kAccounts; ++i) {
        body.clear();
        curl_easy_perform(curl);
        benchmark::DoNotOptimize(body.data());
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    curl_easy_cleanup(curl);
    return elapsed.count();
}

double passSeconds(const std::string& url) {
    SiteList sites = makeSites(url);
    TableView view(sites);
    NoMessages messages;
    PushSettings push;
    auto start = std::chrono::steady_clock::now();
    SignInRun(sites, push, view, messages).run();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    benchmark::DoNotOptimize(view.cell(kAccounts - 1, kColumnResult));
    return elapsed.count();
}

void BM_PassAgainstPlainCurl(benchmark::State& state) {
    vesprey::test::LocalServer<> site;
    site->Post("/sign", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Set-Cookie", "last=20201219; Path=/");
        response.set_content(
            "{\"code\":0,\"data\":{\"msg\":\"\\u7b7e\\u5230\\u6210\\u529f\",\"points\":5}}",
            "application/json");
    });
    site.start();
    const std::string url = site.url("/sign");
    passSeconds(url);  // warm up
    plainCurlSeconds(url);
    double plain = 0;
    double pass = 0;
    for (auto _ : state) {
        double plainRun = plainCurlSeconds(url);
        double passRun = passSeconds(url);
        plain += plainRun;
        pass += passRun;
        state.SetIterationTime(passRun);
    }
    auto runs = static_cast<double>(state.iterations());
    state.counters["plain_ms"] = plain / runs * 1000;
    state.counters["pass_ms"] = pass / runs * 1000;
    state.counters["ratio"] = pass / plain;
}
BENCHMARK(BM_PassAgainstPlainCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
