// Peak memory of parsing one answer: vesprey, and as baselines in the same run RapidJSON and
// nlohmann::json. Every parse runs in a child process of its own (this program again, with
// --child): the child builds the answer, resets its peak resident size to what it holds then
// (/proc/self/clear_refs), parses, releases the document and reports how far its peak rose above
// that, and the time. Each child may take 4 GiB of address space; a baseline that needs more is
// reported as out of memory.
//
// The answers: typical list answers (answers.h; Chinese as characters, GBK for vesprey and UTF-8
// for the baselines) of 1 MB, 10 MB and of the size under test, and what a hostile or broken site
// could send, of the size under test (64 MiB by default, the web client's cap on a body):
//   nested   [[[[...]]]]              empties  [[],[],[],...]       pairs   [[[]],[[]],...]
//   objects  [{"a":1},{"a":1},...]    numbers  [1,1,1,...]          string  ["a\na\n..."]
//   strings  ["aaa...","aaa...",...], as many as the value limit lets a parse make, each as long
//            as they then fit into the size: the most characters with the most values
// vesprey parses as the response evaluation does: the GBK text, \u escapes decoded, so its
// figures include the UTF-16 copy of the text.
//
// Targets, checked at the end (exit status 1 when one is missed):
//   - any answer of at most 64 MiB raises vesprey's peak by at most 384 MiB: with the body and the
//     converted answer the program stays well under 1 GiB whatever a site sends;
//   - a typical answer of 1 MB or 10 MB raises it by at most 10 times its size.
//
// Usage: json_memory [--size MiB] [--no-baselines]
#include <fcntl.h>
#include <rapidjson/document.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "answers.h"
#include "common/process_status.h"
#include "json/json.h"
#include "text/text.h"

namespace {

using namespace vesprey;
using namespace vesprey::bench;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr double kMostRise = 384.0 * kMiB;  // for any answer up to 64 MiB
constexpr double kMostTypicalRatio = 10.0;
constexpr rlim_t kChildAddressSpace = rlim_t{4} << 30;

// ----- The answers -----

struct Answer {
    Text vesprey;      // GBK
    std::string utf8;  // for the baselines
};

// "[unit,unit,...]" of at most `bytes` bytes.
std::string repeated(std::string_view unit, std::size_t bytes) {
    std::string s;
    s.reserve(bytes);
    s += '[';
    while (s.size() + unit.size() + 2 <= bytes) {
        if (s.size() > 1) {
            s += ',';
        }
        s += unit;
    }
    s += ']';
    return s;
}

std::string nested(std::size_t bytes) {
    std::string s(bytes / 2, '[');
    s.append(bytes / 2, ']');
    return s;
}

std::string escapedString(std::size_t bytes) {
    constexpr std::string_view kUnit = "a\\n";
    std::string s = "[\"";
    s.reserve(bytes);
    while (s.size() + kUnit.size() + 2 <= bytes) {
        s += kUnit;
    }
    s += "\"]";
    return s;
}

Answer makeAnswer(std::string_view kind, std::size_t bytes) {
    Answer a;
    if (kind == "typical") {
        unsigned count = 0;
        a.utf8 = listAnswer(bytes, count);
        a.vesprey = utf8ToAnsi(a.utf8);
        return a;
    }
    if (kind == "nested") {
        a.utf8 = nested(bytes);
    } else if (kind == "empties") {
        a.utf8 = repeated("[]", bytes);
    } else if (kind == "pairs") {
        a.utf8 = repeated("[[]]", bytes);
    } else if (kind == "objects") {
        a.utf8 = repeated(R"({"a":1})", bytes);
    } else if (kind == "numbers") {
        a.utf8 = repeated("1", bytes);
    } else if (kind == "string") {
        a.utf8 = escapedString(bytes);
    } else if (kind == "strings") {
        const std::size_t each = bytes / static_cast<std::size_t>(kJsonMaxValues);
        a.utf8 = repeated("\"" + std::string(each > 4 ? each - 3 : 1, 'a') + "\"", bytes);
    }
    a.vesprey = a.utf8;  // ASCII: the same bytes
    return a;
}

// ----- The child: one parse -----

// From here on the peak counts from what the process holds now.
bool resetPeak() {
    const int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool done = write(fd, "5", 1) == 1;
    close(fd);
    return done;
}

std::string parseWith(std::string_view parser, const Answer& a) {
    try {
        if (parser == "vesprey") {
            JsonDocument doc;
            std::int32_t code = 0;
            doc.Parse(a.vesprey, true, false, &code);
            return code == 0 ? "ok" : "code " + std::to_string(code);
        }
        if (parser == "rapidjson") {
            rapidjson::Document doc;
            doc.Parse<rapidjson::kParseIterativeFlag>(a.utf8.data(), a.utf8.size());
            return doc.HasParseError() ? "error" : "ok";
        }
        const nlohmann::json doc = nlohmann::json::parse(a.utf8, nullptr, false);
        return doc.is_discarded() ? "error" : "ok";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

int runChild(std::string_view kind, std::size_t bytes, std::string_view parser) {
    Answer a = makeAnswer(kind, bytes);
    if (parser == "vesprey") {
        std::string().swap(a.utf8);
    } else {
        Text().swap(a.vesprey);
    }
    const long before = statusKilobytes("VmRSS:");
    const bool reset = resetPeak();
    const auto start = std::chrono::steady_clock::now();
    const std::string result = parseWith(parser, a);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const long peak = statusKilobytes("VmHWM:");
    std::printf("%ld %.3f %d %s\n", peak - before, took.count(), reset ? 1 : 0, result.c_str());
    return 0;
}

// ----- The parent -----

struct Measure {
    bool ran = false;
    double bytes = 0;  // the rise of the peak
    double seconds = 0;
    bool exact = true;  // the peak could be reset before the parse
    std::string result;
};

Measure measure(const char* self, const std::string& kind, std::size_t bytes, const char* parser) {
    Measure m;
    int fds[2];
    if (pipe(fds) != 0) {
        return m;
    }
    const std::string size = std::to_string(bytes);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        const rlimit limit{kChildAddressSpace, kChildAddressSpace};
        setrlimit(RLIMIT_AS, &limit);
        execl(self, self, "--child", kind.c_str(), size.c_str(), parser, nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long kb = 0;
    int exact = 0;
    int used = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(output.c_str(), "%ld %lf %d %n", &kb, &m.seconds, &exact, &used) != 3) {
        m.result =
            WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "failed";
        return m;
    }
    m.ran = true;
    m.bytes = static_cast<double>(kb) * 1024;
    m.exact = exact != 0;
    m.result = output.substr(static_cast<std::size_t>(used));
    while (!m.result.empty() && m.result.back() == '\n') {
        m.result.pop_back();
    }
    return m;
}

std::string describe(const Measure& m, double size) {
    if (!m.ran) {
        return m.result;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%7.1f MiB %5.1fx %6.2f s %s%s", m.bytes / kMiB,
                  m.bytes / size, m.seconds, m.result.c_str(), m.exact ? "" : " (peak not reset)");
    return text;
}

std::string ratio(const Measure& ours, const Measure& base) {
    if (!ours.ran || !base.ran || base.bytes <= 0 || base.result != "ok") {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ours.bytes / base.bytes);
    return text;
}

struct Input {
    std::string kind;
    std::size_t bytes;
    std::string name;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string_view(argv[1]) == "--child") {
        return runChild(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
    }
    std::size_t sizeMiB = 64;
    bool baselines = true;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--size" && k + 1 < argc) {
            sizeMiB = std::strtoull(argv[++k], nullptr, 10);
        } else if (arg == "--no-baselines") {
            baselines = false;
        } else {
            std::fprintf(stderr, "usage: json_memory [--size MiB] [--no-baselines]\n");
            return 2;
        }
    }
    const std::size_t size = sizeMiB * kMiB;
    const std::string tag = std::to_string(sizeMiB) + "MiB";
    std::vector<Input> inputs{{"typical", 1u << 20, "typical/1MB"},
                              {"typical", 10u << 20, "typical/10MB"}};
    for (const char* kind :
         {"typical", "nested", "empties", "pairs", "objects", "numbers", "string", "strings"}) {
        inputs.push_back({kind, size, std::string(kind) + "/" + tag});
    }

    const char* self = "/proc/self/exe";
    std::printf(
        "Rise of the peak resident size while parsing (and the size it is of the answer)\n");
    std::printf("%-16s  %-38s  %-38s  %-38s  %s\n", "answer", "vesprey", "RapidJSON", "nlohmann",
                "vesprey / RapidJSON, / nlohmann");
    bool met = true;
    std::vector<std::string> missed;
    for (const Input& in : inputs) {
        const double bytes = static_cast<double>(in.bytes);
        const Measure ours = measure(self, in.kind, in.bytes, "vesprey");
        Measure rapid;
        Measure nlohmann;
        if (baselines) {
            rapid = measure(self, in.kind, in.bytes, "rapidjson");
            nlohmann = measure(self, in.kind, in.bytes, "nlohmann");
        }
        std::printf("%-16s  %-38s  %-38s  %-38s  %s, %s\n", in.name.c_str(),
                    describe(ours, bytes).c_str(), describe(rapid, bytes).c_str(),
                    describe(nlohmann, bytes).c_str(), ratio(ours, rapid).c_str(),
                    ratio(ours, nlohmann).c_str());
        std::fflush(stdout);
        const bool typical = in.kind == "typical" && in.bytes <= (10u << 20);
        if (!ours.ran || (in.bytes <= 64 * kMiB && ours.bytes > kMostRise) ||
            (typical && ours.bytes > kMostTypicalRatio * bytes)) {
            met = false;
            missed.push_back(in.name);
        }
    }
    std::printf(
        "\nTargets: at most %.0f MiB for any answer up to 64 MiB; at most %.0fx the size of "
        "a typical answer of 1 or 10 MB: %s",
        kMostRise / kMiB, kMostTypicalRatio, met ? "met\n" : "missed by");
    for (const std::string& name : missed) {
        std::printf(" %s", name.c_str());
    }
    std::printf(met ? "" : "\n");
    return met ? 0 : 1;
}
