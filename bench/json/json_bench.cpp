// Parsing typical site answers and reading one value, as the response evaluation does: the short
// answer of one account's sign-in (170 bytes, "data.msg" is read), a 2 KB sign-in answer, a 1 MB
// and a 10 MB list answer (the title of the last list entry is read). Against nlohmann::json and
// RapidJSON in the same run. Targets: faster than nlohmann::json, within 2x of RapidJSON; the
// ratio lines at the end give vesprey's time divided by each baseline's. Every iteration builds
// the document, reads the one value and destroys the document; for vesprey that includes the
// conversion of the GBK text to UTF-16, which is where its tree keeps text, and of the value
// read back to GBK.
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

#include "answers.h"
#include "json/json.h"
#include "text/text.h"

namespace {

using namespace vesprey;
using namespace vesprey::bench;

struct Input {
    std::string name;
    Text vesprey;      // what vesprey parses: GBK (ASCII for the escaped form)
    std::string utf8;  // what the baselines parse
    bool isList;       // a list answer: the title of its last entry is read, else "data.msg"
    unsigned last;     // index of that list entry
    Text expected;     // the value read, as vesprey gives it
};

std::vector<Input>& inputs() {
    static std::vector<Input> all = [] {
        std::vector<Input> v;
        enum class Kind { Short, SignIn, List };
        struct Shape {
            const char* name;
            Kind kind;
            std::size_t bytes;
        };
        for (const Shape shape :
             {Shape{"short", Kind::Short, 0}, Shape{"2KB", Kind::SignIn, 0},
              Shape{"1MB", Kind::List, 1u << 20}, Shape{"10MB", Kind::List, 10u << 20}}) {
            unsigned count = 1;
            const std::string utf8 = shape.kind == Kind::Short    ? shortAnswer()
                                     : shape.kind == Kind::SignIn ? signInAnswer(count)
                                                                  : listAnswer(shape.bytes, count);
            const bool isList = shape.kind != Kind::Short;
            const std::string escaped = escapeNonAscii(utf8);
            std::string escapedName = "escaped/";
            std::string chineseName = "chinese/";
            v.push_back({escapedName.append(shape.name), escaped, escaped, isList, count - 1, {}});
            v.push_back(
                {chineseName.append(shape.name), utf8ToAnsi(utf8), utf8, isList, count - 1, {}});
        }
        return v;
    }();
    return all;
}

std::string valuePath(const Input& in) {
    std::string path = "data.msg";
    if (in.isList) {
        path.clear();
        add(path, "data.list[", std::to_string(in.last), "].title");
    }
    return path;
}

void parseVesprey(benchmark::State& state, const Input* in) {
    const std::string path = valuePath(*in);
    Text value;
    for (auto _ : state) {
        JsonDocument doc;
        if (!doc.Parse(in->vesprey, true)) {
            state.SkipWithError("vesprey could not parse the answer");
            return;
        }
        value = doc.GetText(path);
        benchmark::DoNotOptimize(value);
    }
    if (value != in->expected || value.empty()) {
        state.SkipWithError("not the value read before");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in->vesprey.size()));
}

void parseNlohmann(benchmark::State& state, const Input* in) {
    std::string value;
    for (auto _ : state) {
        const nlohmann::json doc = nlohmann::json::parse(in->utf8, nullptr, false);
        if (doc.is_discarded()) {
            state.SkipWithError("nlohmann could not parse the answer");
            return;
        }
        const nlohmann::json& data = doc.at("data");
        value = in->isList ? data.at("list").at(in->last).at("title").get<std::string>()
                           : data.at("msg").get<std::string>();
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in->utf8.size()));
}

void parseRapidJson(benchmark::State& state, const Input* in) {
    std::string value;
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(in->utf8.data(), in->utf8.size());
        if (doc.HasParseError()) {
            state.SkipWithError("RapidJSON could not parse the answer");
            return;
        }
        const rapidjson::Value& data = doc["data"];
        value = in->isList ? data["list"][in->last]["title"].GetString() : data["msg"].GetString();
        benchmark::DoNotOptimize(value);
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
        in.expected = check.GetText(valuePath(in));
        const benchmark::TimeUnit unit =
            in.isList && in.last > 100 ? benchmark::kMillisecond : benchmark::kMicrosecond;
        benchmark::RegisterBenchmark((in.name + "/vesprey").c_str(), parseVesprey, &in)->Unit(unit);
        benchmark::RegisterBenchmark((in.name + "/nlohmann").c_str(), parseNlohmann, &in)
            ->Unit(unit);
        benchmark::RegisterBenchmark((in.name + "/rapidjson").c_str(), parseRapidJson, &in)
            ->Unit(unit);
        std::printf("%-14s %9zu bytes (baselines %9zu), %u entries, value read: %s\n",
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
