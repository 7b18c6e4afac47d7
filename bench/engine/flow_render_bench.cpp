// The multi-step templates' own costs per step, without the network:
//
//   render      one typical request step rendered with Template::render: its URL, 6 header lines
//               (names plain, values with the cookie, a token and the referer's variables) and a
//               form body with 3 expressions (urlencode, default, md5), the parts compiled once
//               as the flow holds them;
//   parseFlow   a 10-step community template (headers, asserts and extractions on each step) read
//               and checked by parseFlow, as a pass does once per template.
//
// The "step" counter is the time per step (for parseFlow: the parse's time over its 10 steps).
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/flow/flow.h"
#include "engine/flow/render.h"

namespace {

using namespace vesprey::flow;

Template compiled(const std::string& text) {
    auto result = Template::compile(text);
    if (auto* error = std::get_if<TemplateError>(&result)) {
        std::fprintf(stderr, "flow_render_bench: %s\n", error->message.c_str());
        std::abort();
    }
    return std::get<Template>(std::move(result));
}

// Google Benchmark's per-item time: the counter shows seconds per step.
benchmark::Counter perStep(benchmark::State& state, int steps) {
    return benchmark::Counter(static_cast<double>(state.iterations()) * steps,
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RenderStep(benchmark::State& state) {
    const Template url = compiled(
        "https://bbs.example.com/plugin.php?id=dsu_paulsign:sign&operation=qiandao&formhash="
        "{{ formhash }}&inajax=1");
    const std::vector<std::pair<std::string, Template>> headers = {
        {"User-Agent",
         compiled("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                  "Gecko) Chrome/120.0 Safari/537.36")},
        {"Accept", compiled("text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8")},
        {"Accept-Language", compiled("zh-CN,zh;q=0.9,en;q=0.8")},
        {"Referer", compiled("https://bbs.example.com/forum.php?mod=forumdisplay&fid={{ fid }}")},
        {"X-Token", compiled("{{ token }}")},
        {"Cookie", compiled("{{ cookie }}")},
    };
    const Template body = compiled(
        "formhash={{ formhash }}&qdxq=kx&todaysay={{ say|urlencode }}&mode={{ mode|default('3') }}"
        "&sign={{ (formhash ~ token)|md5 }}");
    const Variables variables = {
        {"cookie", Value(std::string("auth=7f3c9a1b2d4e5f60718293a4b5c6d7e8; saltkey=Zq8RtY2u; "
                                     "lastvisit=1700000000; sid=a1B2c3"))},
        {"formhash", Value(std::string("f0e1d2c3"))},
        {"token", Value(std::string("5d41402abc4b2a76b9719d911017c592"))},
        {"fid", Value(std::string("2"))},
        {"say", Value(std::string("今天也来签到了，大家好！"))},
    };
    const RenderContext context = systemRenderContext();
    for (auto _ : state) {
        auto rendered = url.render(variables, context);
        benchmark::DoNotOptimize(rendered);
        for (const auto& [name, value] : headers) {
            auto line = value.render(variables, context);
            benchmark::DoNotOptimize(line);
        }
        auto form = body.render(variables, context);
        benchmark::DoNotOptimize(form);
    }
    state.counters["step"] = perStep(state, 1);
}
BENCHMARK(BM_RenderStep);

// One entry of a community template, as flow_set.py of the process benchmarks writes them.
std::string entry(int n) {
    const std::string i = std::to_string(n);
    return R"({"comment": "第 )" + i +
           R"( 步", "request": {"method": "POST", "url": )"
           R"("https://bbs.example.com/plugin.php?id=sign&step=)" +
           i +
           R"(&formhash={{ formhash }}", "headers": [)"
           R"({"name": "User-Agent", "value": "Mozilla/5.0 (Windows NT 10.0; Win64; x64) Chrome/120.0"},)"
           R"({"name": "Accept", "value": "text/html,application/xhtml+xml,*/*"},)"
           R"({"name": "Accept-Language", "value": "zh-CN,zh;q=0.9"},)"
           R"({"name": "Referer", "value": "https://bbs.example.com/forum.php?fid={{ fid }}"},)"
           R"({"name": "X-Token", "value": "{{ token }}"},)"
           R"({"name": "Cookie", "value": "{{ cookie }}"}], "cookies": [], )"
           R"("data": "formhash={{ formhash }}&say={{ say|urlencode }}&mode={{ mode|default('3') }}", )"
           R"("mimeType": "application/x-www-form-urlencoded"}, "rule": {)"
           R"("success_asserts": [{"re": "签到成功|已经签到", "from": "content"},)"
           R"({"re": "200", "from": "status"}], "failed_asserts": [{"re": "表单无效", "from": "content"}], )"
           R"("extract_variables": [{"name": "formhash", "re": "name=\"formhash\" value=\"(\\w+)\"", "from": "content"},)"
           R"({"name": "points", "re": "<em id=\"points\">(\\d+)</em>", "from": "content"}]}})";
}

void BM_ParseFlow(benchmark::State& state) {
    constexpr int kSteps = 10;
    std::string json = "[";
    for (int n = 1; n <= kSteps; ++n) {
        if (n > 1) {
            json += ',';
        }
        json += entry(n);
    }
    json += "]";
    if (!std::holds_alternative<Flow>(parseFlow(json))) {
        std::fputs("flow_render_bench: the 10-step template is refused\n", stderr);
        std::abort();
    }
    for (auto _ : state) {
        auto flow = parseFlow(json);
        benchmark::DoNotOptimize(flow);
    }
    state.counters["step"] = perStep(state, kSteps);
}
BENCHMARK(BM_ParseFlow);

}  // namespace

BENCHMARK_MAIN();
