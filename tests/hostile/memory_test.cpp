// Sites that all answer as much as they may at once: a pass with many jobs holds no more of their
// answers than its answer memory allows, and an answer it cannot hold fails its account with the
// reason in its row.
#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "hostile.h"

namespace vesprey::hostile {
namespace {

constexpr std::size_t kMebibyte = std::size_t{1024} * 1024;

// A JSON answer of exactly the body limit: one long message.
const std::string& hugeAnswer() {
    static const std::string answer = [] {
        const std::string head = R"({"msg":")";
        const std::string tail = R"("})";
        return head + std::string(kMaxResponseBody - head.size() - tail.size(), 'x') + tail;
    }();
    return answer;
}

// Sites on 127.0.0.1, 127.0.0.2 … (each a host of its own, so that a pass requests them at the
// same time), each answering hugeAnswer() from the one copy, with its length announced. A client
// may take its time before it reads: the sites wait for it.
class HugeAnswers : public Hostile {
protected:
    void startSites(int count) {
        for (int i = 0; i < count; ++i) {
            auto& site = sites_.emplace_back(std::make_unique<test::LocalServer<>>());
            (*site)->set_write_timeout(300, 0);
            (*site)->Get("/huge", [](const httplib::Request&, httplib::Response& response) {
                response.set_content_provider(
                    hugeAnswer().size(), "application/json",
                    [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                        return sink.write(hugeAnswer().data() + offset,
                                          std::min<std::size_t>(length, 1 << 20));
                    });
            });
            site->start("127.0.0." + std::to_string(i + 1));
            addSite("大站" + std::to_string(i + 1), site->url("/huge"), "a=1");
        }
    }

    // Runs vesprey-cli as cli() does, under /usr/bin/time: it reads the peak resident memory of
    // vesprey-cli alone (a process started from this test would begin at the test's own
    // high-water mark, which holds the answers it serves). The peak in MiB goes to `peakMib`.
    // Memory a sanitizer keeps back from freed blocks to catch their later use is not the
    // program's: under AddressSanitizer that store is kept small.
    Outcome cliWithPeak(const std::string& args, const std::string& environment, double& peakMib) {
        const fs::path peak = dir_ / "peak.txt";
        const Outcome out = cli(args, environment +
                                          "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                                          "quarantine_size_mb=8\" /usr/bin/time -f %M -o " +
                                          test::quoted(peak) + " ");
        // After a failure /usr/bin/time writes a line about the exit status first: the peak is
        // the last word.
        std::ifstream in(peak);
        std::string word;
        long kilobytes = 0;
        while (in >> word) {
            kilobytes = std::atol(word.c_str());
        }
        peakMib = static_cast<double>(kilobytes) / 1024;
        return out;
    }

    // The printed row of account `number`.
    static std::string row(const Outcome& out, int number) {
        const std::string start = "\n" + std::to_string(number) + " ";
        const std::size_t at = out.out.find(start);
        return at == std::string::npos
                   ? std::string()
                   : out.out.substr(at + 1, out.out.find('\n', at + 1) - at - 1);
    }

    std::vector<std::unique_ptr<test::LocalServer<>>> sites_;
};

// Every account is signed (the answers wait for room in turn), and the pass stays under 1 GiB:
// all six answers at once, with their evaluation, would take some 2 GB.
TEST_F(HugeAnswers, SixJobsOfTheLargestAnswersStayUnderAGibibyte) {
    startSites(6);
    double peakMib = 0;
    // The answers wait for each other: the sanitizers' pace must not cut them at the minute.
    const Outcome out =
        cliWithPeak("sign --no-history --jobs 6", "VESPREY_TEST_DEADLINE_MS=600000 ", peakMib);
    EXPECT_EQ(out.exitCode, 0) << out.out << out.err;
    for (int number = 1; number <= 6; ++number) {
        EXPECT_NE(row(out, number).find("xxxxxxxx"), std::string::npos) << row(out, number);
    }
    EXPECT_GT(peakMib, 0.0);
    EXPECT_LT(peakMib, 1024.0);
}

TEST_F(HugeAnswers, AnAnswerLargerThanTheAnswerMemoryFailsItsAccountWithTheReason) {
    startSites(1);
    const Outcome out = cli("sign --no-history --answer-memory 16");
    EXPECT_EQ(out.exitCode, 3) << out.out << out.err;  // the account failed
    EXPECT_NE(row(out, 1).find("答复太大（64 MB），超过了答复内存限额（16 MB），没有收下"),
              std::string::npos)
        << out.out;
}

TEST_F(HugeAnswers, AnswerMemoryOutsideItsBoundsIsRefused) {
    for (const std::string given : {"0", "15", "4097", "12x"}) {
        const Outcome out = cli("sign --answer-memory " + test::quoted(given));
        EXPECT_EQ(out.exitCode, 1) << given;
        EXPECT_NE(out.err.find("--answer-memory 只能是 16 到 4096 之间的整数（MB），不是 " + given +
                               "。"),
                  std::string::npos)
            << given << ": " << out.err;
    }
}

}  // namespace
}  // namespace vesprey::hostile
