// Parsing typical site answers and reading one value, as the response evaluation does: a 2 KB
// sign-in answer, a 1 MB and a 10 MB list answer. Against nlohmann::json and RapidJSON in the
// same run. Targets: faster than nlohmann::json, within 2x of RapidJSON; the ratio lines at the
// end give vesprey's time divided by each baseline's. Every iteration builds the document, reads
// the title of the last list entry and destroys the document; for vesprey that includes the
// conversion of the GBK text to UTF-16, which is where its tree keeps text.
//
// Two forms of every answer:
//   escaped  Chinese as \uXXXX escapes (what most PHP and Java sites send): the bytes are ASCII,
//            so all three parsers read exactly the same bytes; vesprey decodes the escapes.
//   chinese  Chinese as characters: vesprey reads the GBK text the program holds after the
//            answer's conversion, the baselines read the UTF-8 bytes of the same answer (neither
//            reads GBK: nlohmann rejects it, RapidJSON would take trail bytes 0x5C for escapes).

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json/json.h"
#include "text/text.h"

namespace {

using namespace vesprey;

// A deterministic pseudo-random sequence, so that every run parses the same bytes.
class Sequence {
public:
    unsigned next(unsigned bound) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>(state_ >> 33) % bound;
    }

private:
    unsigned long long state_ = 42;
};

const char* const kWords[] = {"签到", "每日", "福利", "经验", "积分", "论坛", "连续", "成功",
                              "获得", "奖励", "活动", "用户", "版块", "精华", "置顶", "回复"};

std::string words(Sequence& seq, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) {
        s += kWords[seq.next(16)];
    }
    return s;
}

std::string number(unsigned n) {
    return std::to_string(n);
}

// Appends the parts (GCC 12 warns falsely about chains of std::string operator+).
template <typename... Parts>
void add(std::string& s, const Parts&... parts) {
    (s.append(parts), ...);
}

// One entry of a list answer, about 450 bytes of UTF-8.
std::string item(Sequence& seq, unsigned id) {
    std::string s;
    add(s, "{\"id\":", number(100000 + id), ",\"tid\":", number(seq.next(900000)));
    add(s, ",\"title\":\"", words(seq, 6), "：第", number(seq.next(100)), "天\"");
    add(s, ",\"author\":{\"uid\":", number(seq.next(99999)), ",\"name\":\"", words(seq, 2));
    add(s, "\",\"avatar\":\"https:\\/\\/img.example.com\\/avatar\\/", number(seq.next(99999)));
    add(s, ".jpg\",\"level\":", number(seq.next(20)), "},\"views\":", number(seq.next(100000)));
    add(s, ",\"replies\":", number(seq.next(1000)), ",\"score\":", number(seq.next(5)), ".",
        number(seq.next(10)));
    add(s, ",\"top\":", seq.next(10) == 0 ? "true" : "false", ",\"tags\":[\"", words(seq, 1),
        "\",\"", words(seq, 1), "\"]");
    add(s, ",\"summary\":\"", words(seq, 12), "\\r\\n", words(seq, 8), "\"");
    add(s, ",\"created\":\"2024-05-01 08:00:00\",\"url\":\"https:\\/\\/bbs.example.com\\/thread-",
        number(id), "-1-1.html\",\"extra\":null}");
    return s;
}

// A list answer of at least `bytes` bytes of UTF-8; `count` receives the number of entries.
std::string listAnswer(std::size_t bytes, unsigned& count) {
    Sequence seq;
    std::string list;
    count = 0;
    while (list.size() < bytes) {
        add(list, count ? "," : "", item(seq, count));
        ++count;
    }
    std::string s;
    add(s, "{\"code\":0,\"msg\":\"success\",\"data\":{\"page\":1,\"total\":", number(count),
        ",\"list\":[", list, "]}}");
    return s;
}

// A sign-in answer of about 2 KB.
std::string signInAnswer(unsigned& count) {
    Sequence seq;
    std::string list;
    for (count = 0; count < 3; ++count) {
        add(list, count ? "," : "", item(seq, count));
    }
    std::string s;
    add(s, "{\"code\":0,\"msg\":\"签到成功\",\"data\":{\"user\":{\"uid\":1001,\"name\":\"",
        words(seq, 2), "\",\"credits\":1234,\"days\":12,\"continuous\":3}");
    add(s, ",\"sign\":{\"reward\":\"经验+5\",\"time\":\"2024-05-01 08:00:00\",\"rank\":42}");
    add(s, ",\"notice\":\"", words(seq, 20), "\",\"list\":[", list, "]}}");
    return s;
}

// Non-ASCII characters as \uXXXX escapes.
std::string escapeNonAscii(const std::string& utf8) {
    std::string out;
    char buffer[8];
    for (char16_t c : utf8ToUtf16(utf8)) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

struct Input {
    std::string name;
    Text vesprey;      // what vesprey parses: GBK (ASCII for the escaped form)
    std::string utf8;  // what the baselines parse
    unsigned last;     // index of the list entry that is read
    Text expected;     // its title as vesprey gives it
};

std::vector<Input>& inputs() {
    static std::vector<Input> all = [] {
        std::vector<Input> v;
        struct Shape {
            const char* name;
            std::size_t bytes;
        };
        for (const Shape shape :
             {Shape{"2KB", 0}, Shape{"1MB", 1u << 20}, Shape{"10MB", 10u << 20}}) {
            unsigned count = 0;
            const std::string utf8 =
                shape.bytes == 0 ? signInAnswer(count) : listAnswer(shape.bytes, count);
            const std::string escaped = escapeNonAscii(utf8);
            std::string escapedName = "escaped/";
            std::string chineseName = "chinese/";
            v.push_back({escapedName.append(shape.name), escaped, escaped, count - 1, {}});
            v.push_back({chineseName.append(shape.name), utf8ToAnsi(utf8), utf8, count - 1, {}});
        }
        return v;
    }();
    return all;
}

std::string titlePath(unsigned index) {
    std::string path;
    add(path, "data.list[", std::to_string(index), "].title");
    return path;
}

void parseVesprey(benchmark::State& state, const Input* in) {
    const std::string path = titlePath(in->last);
    Text title;
    for (auto _ : state) {
        JsonDocument doc;
        if (!doc.Parse(in->vesprey, true)) {
            state.SkipWithError("vesprey could not parse the answer");
            return;
        }
        title = doc.GetText(path);
        benchmark::DoNotOptimize(title);
    }
    if (title.empty()) {
        state.SkipWithError("no title");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in->vesprey.size()));
}

void parseNlohmann(benchmark::State& state, const Input* in) {
    std::string title;
    for (auto _ : state) {
        const nlohmann::json doc = nlohmann::json::parse(in->utf8, nullptr, false);
        if (doc.is_discarded()) {
            state.SkipWithError("nlohmann could not parse the answer");
            return;
        }
        title = doc.at("data").at("list").at(in->last).at("title").get<std::string>();
        benchmark::DoNotOptimize(title);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in->utf8.size()));
}

void parseRapidJson(benchmark::State& state, const Input* in) {
    std::string title;
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(in->utf8.data(), in->utf8.size());
        if (doc.HasParseError()) {
            state.SkipWithError("RapidJSON could not parse the answer");
            return;
        }
        title = doc["data"]["list"][in->last]["title"].GetString();
        benchmark::DoNotOptimize(title);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in->utf8.size()));
}

// The console output, then one ratio line per input. With --benchmark_repetitions the medians
// are compared. The machine may be shared: the CPU-time ratio is the steadier one.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (single || median) {
                times_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf(
            "\nvesprey time / baseline time, real (CPU); below 1 is faster. Targets: < 1 "
            "against nlohmann, < 2 against RapidJSON\n");
        for (const Input& in : inputs()) {
            const Times ours = time(in.name + "/vesprey");
            const Times nlohmann = time(in.name + "/nlohmann");
            const Times rapid = time(in.name + "/rapidjson");
            if (ours.real > 0 && nlohmann.real > 0 && rapid.real > 0) {
                std::printf("  %-14s vs nlohmann %.2f (%.2f)   vs RapidJSON %.2f (%.2f)\n",
                            in.name.c_str(), ours.real / nlohmann.real, ours.cpu / nlohmann.cpu,
                            ours.real / rapid.real, ours.cpu / rapid.cpu);
            }
        }
    }

private:
    struct Times {
        double real = 0;
        double cpu = 0;
    };
    Times time(const std::string& name) const {
        const auto it = times_.find(name);
        return it == times_.end() ? Times{} : it->second;
    }
    std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
    for (Input& in : inputs()) {
        JsonDocument check;
        check.Parse(in.vesprey, true);
        in.expected = check.GetText(titlePath(in.last));
        benchmark::RegisterBenchmark((in.name + "/vesprey").c_str(), parseVesprey, &in)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((in.name + "/nlohmann").c_str(), parseNlohmann, &in)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((in.name + "/rapidjson").c_str(), parseRapidJson, &in)
            ->Unit(benchmark::kMillisecond);
        std::printf("%-14s %9zu bytes (baselines %9zu), %u entries, title read: %s\n",
                    in.name.c_str(), in.vesprey.size(), in.utf8.size(), in.last + 1,
                    ansiToUtf8(in.expected).c_str());
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
