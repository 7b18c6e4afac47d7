// The response evaluation on large answers, each against a baseline measured in the same run:
//
//   regex    evaluateRegex with a typical statement on a 2 MB Chinese HTML page (GBK), against a
//            raw PCRE2 JIT search of the same pattern with the same options: once over the page
//            already in UTF-16 ("vs_raw_jit"), once including the page's GBK to UTF-16
//            conversion that any search in UTF-16 needs ("vs_raw_jit_with_conversion").
//            Target: within 1.5x.
//   runaway  evaluateRegex of patterns that backtrack without end on a 5 MB page; the time of one
//            evaluation must stay under a second ("ms" counter).
//   json     evaluateJson on a 1 MB answer, against the JSON library's own parse and read of the
//            same answer ("vs_parse") and RapidJSON's parse and read of its UTF-8 form
//            ("vs_rapidjson").
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <chrono>
#include <string>

#include "engine/evaluation.h"
#include "engine/messages.h"
#include "json/json.h"
#include "text/text.h"

namespace {

using namespace vesprey;
using Clock = std::chrono::steady_clock;

class QuietSink : public MessageSink {
public:
    void showMessage(const Text&, const Text&, MessageIcon) override { ++shown; }
    int shown = 0;
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A forum page as sites send it: markup on few lines, Chinese titles, the sign-in result near
// the end.
std::string htmlPageUtf8(std::size_t bytes) {
    std::string page =
        "<!DOCTYPE html><html><head><meta charset=\"gbk\"><title>每日签到 - 论坛</title>"
        "<script>var uid = 1024, formhash = 'a1b2c3d4';</script></head><body>\n";
    for (unsigned i = 0; page.size() < bytes; ++i) {
        const std::string n = std::to_string(i);
        page += "<tr><td class=\"icn\"><a href=\"thread-" + n +
                "-1-1.html\" title=\"新窗口打开\"><img src=\"static/folder_common.gif\" /></a>"
                "</td><th class=\"common\"><a href=\"thread-" +
                n + "-1-1.html\" class=\"s xst\">第" + n +
                "期 每日福利活动，签到领取积分奖励</a></th><td class=\"by\"><cite><a "
                "href=\"space-uid-" +
                n + ".html\">用户" + n + "</a></cite><em><span>2020-12-19</span></em></td></tr>";
        if (i % 8 == 0) {
            page += "\n";
        }
    }
    page +=
        "<div class=\"sign-box\"><span class=\"sign-msg\">您今天已经签到过了，连续签到 12 "
        "天，获得 5 积分</span></div></body></html>\n";
    return page;
}

// ----- regex -----

struct RawPattern {
    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* stack = nullptr;

    explicit RawPattern(const std::u16string& pattern) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_compile_context* cc = pcre2_compile_context_create(nullptr);
        pcre2_set_newline(cc, PCRE2_NEWLINE_LF);
        pcre2_set_compile_extra_options(cc, PCRE2_EXTRA_BAD_ESCAPE_IS_LITERAL);
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                             PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_DOLLAR_ENDONLY |
                                 PCRE2_MATCH_UNSET_BACKREF | PCRE2_CASELESS,
                             &error, &offset, cc);
        pcre2_compile_context_free(cc);
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
        data = pcre2_match_data_create_from_pattern(code, nullptr);
        context = pcre2_match_context_create(nullptr);
        stack = pcre2_jit_stack_create(32 * 1024, 32 * 1024 * 1024, nullptr);
        pcre2_jit_stack_assign(context, nullptr, stack);
    }
    ~RawPattern() {
        pcre2_jit_stack_free(stack);
        pcre2_match_context_free(context);
        pcre2_match_data_free(data);
        pcre2_code_free(code);
    }
    RawPattern(const RawPattern&) = delete;
    RawPattern& operator=(const RawPattern&) = delete;

    // All matches, as the evaluation collects them; the first group of the first as UTF-16.
    std::u16string search(const std::u16string& subject) const {
        std::u16string first;
        std::size_t start = 0;
        std::uint32_t flags = 0;
        while (start <= subject.size()) {
            int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                                 start, flags, data, context);
            flags = PCRE2_NO_UTF_CHECK;
            if (rc < 0) {
                break;
            }
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
            if (first.empty() && rc > 1) {
                first = subject.substr(ov[2], ov[3] - ov[2]);
            }
            start = ov[1] > ov[0] ? ov[1] : ov[0] + 1;
        }
        return first;
    }
};

void BM_EvaluateRegex2MB(benchmark::State& state) {
    const Text page = utf8ToAnsi(htmlPageUtf8(2 * 1024 * 1024));
    const std::string patternUtf8 = R"(<span class="sign-msg">(.*?)</span>)";
    const Text tying = utf8ToAnsi(patternUtf8 + "=>结果：[@]");
    const std::u16string page16 = ansiToUtf16(page);
    QuietSink sink;

    double ours = 0;
    double raw = 0;
    double rawWithConversion = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        Text result = evaluateRegex(page, tying, sink);
        benchmark::DoNotOptimize(result);
        auto t1 = Clock::now();
        state.PauseTiming();
        auto t2 = Clock::now();
        {
            RawPattern rawPattern(utf8ToUtf16(patternUtf8));
            benchmark::DoNotOptimize(rawPattern.search(page16));
        }
        auto t3 = Clock::now();
        {
            RawPattern rawPattern(utf8ToUtf16(patternUtf8));
            benchmark::DoNotOptimize(rawPattern.search(ansiToUtf16(page)));
        }
        auto t4 = Clock::now();
        state.ResumeTiming();
        ours += seconds(t1 - t0);
        raw += seconds(t3 - t2);
        rawWithConversion += seconds(t4 - t3);
        if (ansiToUtf8(result).find("连续签到 12 天") == std::string::npos) {
            state.SkipWithError("the evaluation did not find the message");
        }
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = ours / runs * 1000;
    state.counters["raw_jit_ms"] = raw / runs * 1000;
    state.counters["raw_jit_with_conversion_ms"] = rawWithConversion / runs * 1000;
    state.counters["vs_raw_jit"] = ours / raw;
    state.counters["vs_raw_jit_with_conversion"] = ours / rawWithConversion;
}
BENCHMARK(BM_EvaluateRegex2MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Patterns that never finish on a 5 MB page without a limit: exponential backtracking at one
// position, and a rescan of the rest of the page from every position.
void BM_EvaluateRegexRunaway5MB(benchmark::State& state, const char* statementUtf8) {
    std::string pageUtf8 = htmlPageUtf8(5 * 1024 * 1024);
    pageUtf8.insert(0,
                    "<p>Lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod "
                    "tempor incididunt ut labore et dolore magna aliqua</p>");
    const Text page = utf8ToAnsi(pageUtf8);
    const Text tying = utf8ToAnsi(statementUtf8);
    QuietSink sink;
    double worst = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        Text result = evaluateRegex(page, tying, sink);
        benchmark::DoNotOptimize(result);
        worst = std::max(worst, seconds(Clock::now() - t0));
    }
    state.counters["worst_ms"] = worst * 1000;
    state.counters["under_1s"] = worst < 1.0 ? 1 : 0;
}
BENCHMARK_CAPTURE(BM_EvaluateRegexRunaway5MB, exponential, R"((\w+\s?)+$)")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_EvaluateRegexRunaway5MB, quadratic, R"(([\s\S]*?)签到失败)")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// ----- JSON -----

// A list answer of about 1 MB with Chinese as \u escapes, the message at the end.
std::string jsonAnswer(std::size_t bytes) {
    std::string s = R"({"code":0,"data":{"list":[)";
    for (unsigned i = 0; s.size() < bytes; ++i) {
        if (i > 0) {
            s += ',';
        }
        const std::string n = std::to_string(i);
        s += R"({"id":)" + n + R"(,"title":"\u7b2c)" + n +
             R"(\u671f \u6bcf\u65e5\u798f\u5229","user":{"uid":)" + n + R"(,"name":"\u7528\u6237)" +
             n + R"("},"points":)" + std::to_string(i % 50) + R"(,"tags":["a","b"],"top":false})";
    }
    s += R"(],"msg":"\u7b7e\u5230\u6210\u529f"}})";
    return s;
}

void BM_EvaluateJson1MB(benchmark::State& state) {
    const Text answer = jsonAnswer(1024 * 1024);  // ASCII, so GBK and UTF-8 alike
    const Text tying = utf8ToAnsi("data.msg=>结果：[@]");
    double ours = 0;
    double parse = 0;
    double rapid = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        Text result = evaluateJson(answer, tying);
        benchmark::DoNotOptimize(result);
        auto t1 = Clock::now();
        state.PauseTiming();
        auto t2 = Clock::now();
        {
            JsonDocument document;
            document.Parse(answer, true);
            benchmark::DoNotOptimize(document.GetText("data.msg"));
        }
        auto t3 = Clock::now();
        {
            rapidjson::Document document;
            document.Parse(answer.c_str(), answer.size());
            std::string msg = document["data"]["msg"].GetString();
            benchmark::DoNotOptimize(msg);
        }
        auto t4 = Clock::now();
        state.ResumeTiming();
        ours += seconds(t1 - t0);
        parse += seconds(t3 - t2);
        rapid += seconds(t4 - t3);
        if (ansiToUtf8(result) != "结果：签到成功") {
            state.SkipWithError("the evaluation did not find the message");
        }
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = ours / runs * 1000;
    state.counters["parse_ms"] = parse / runs * 1000;
    state.counters["rapidjson_ms"] = rapid / runs * 1000;
    state.counters["vs_parse"] = ours / parse;
    state.counters["vs_rapidjson"] = ours / rapid;
}
BENCHMARK(BM_EvaluateJson1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
