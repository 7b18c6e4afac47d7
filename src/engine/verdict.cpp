#include "engine/verdict.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>

#include "engine/messages.h"
#include "text/gbk_text.h"
#include "web/regex.h"

namespace vesprey {
namespace {

struct Names {
    std::string_view name;
    const char* caption;  // UTF-8
};
constexpr std::array<Names, kVerdictCount> kNames = {{{"success", "成功"},
                                                      {"already", "已签到"},
                                                      {"expired", "Cookie失效"},
                                                      {"failed", "失败"},
                                                      {"unknown", "未知"},
                                                      {"skipped", "跳过"}}};

// The built-in rules, UTF-8.
constexpr const char* kBuiltInExpired =
    "未登录|请登录|请先登录|登录失效|登录已过期|重新登录|not logged in|unauthori[sz]ed|"
    "(cookie|token|session)[^\\n]{0,20}(失效|过期|无效|expired|invalid)";
constexpr const char* kBuiltInAlready = "已签到|已经签到|重复签到|今日已签|今天已签|already";
constexpr const char* kBuiltInSuccess = "签到成功|成功签到|打卡成功|success|获得|奖励";

std::size_t index(Verdict verdict) {
    return static_cast<std::size_t>(verdict);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), gbk::asciiLower);
    return out;
}

// Scheme, host (with its port) and path of an absolute address, the first two in lower case.
struct Address {
    std::string scheme;
    std::string host;
    std::string path;
};

std::optional<Address> parseAddress(std::string_view url) {
    const std::size_t colon = url.find("://");
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(colon + 3);
    const std::size_t hostEnd = rest.find_first_of("/?#");
    const std::string_view host = rest.substr(0, hostEnd);
    rest = hostEnd == std::string_view::npos ? std::string_view{} : rest.substr(hostEnd);
    const std::string_view path = rest.substr(0, rest.find_first_of("?#"));
    return Address{lowered(url.substr(0, colon)), lowered(host),
                   std::string(path.empty() ? std::string_view("/") : path)};
}

bool isLoginPage(std::string_view finalUrl, std::string_view loginLink) {
    const std::optional<Address> final = parseAddress(finalUrl);
    if (!final) {
        return false;
    }
    if (const std::optional<Address> login = parseAddress(loginLink);
        login && login->scheme == final->scheme && login->host == final->host &&
        login->path == final->path) {
        return true;
    }
    const std::string path = lowered(final->path);
    return path.find("login") != std::string::npos || path.find("signin") != std::string::npos ||
           path.find("passport") != std::string::npos;
}

// The texts the rules are searched in, in order: the result text, then the whole answer; after
// each, the same text read as UTF-8 when it is that (a site answering UTF-8 to a template without
// a conversion), so that the rules, written in code page 936, still find their words.
class Subjects {
public:
    explicit Subjects(const AccountAnswer& outcome) {
        add(outcome.extracted ? outcome.result : outcome.answer);
        if (outcome.extracted) {
            add(outcome.answer);
        }
    }
    explicit Subjects(std::string_view text) { add(text); }
    Subjects(const Subjects&) = delete;  // the views may point into decoded_
    Subjects& operator=(const Subjects&) = delete;
    // Whether `pattern` (code page 936) matches one of the texts.
    bool found(std::string_view pattern) const {
        constexpr RegexOptions kOptions{.caseSensitive = false,
                                        .multiline = true,
                                        .global = false,
                                        .expandQuotePlaceholder = true};
        RegexMatcher matcher;
        for (std::size_t i = 0; i < count_; ++i) {
            if (matcher.run(pattern, texts_[i], kOptions) && matcher.matchCount() > 0) {
                return true;
            }
        }
        return false;
    }

private:
    void add(std::string_view text) {
        texts_[count_++] = text;
        const bool plain = std::all_of(text.begin(), text.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!plain && isValidUtf8(text)) {
            decoded_[count_] = utf8ToAnsi(text);
            texts_[count_] = decoded_[count_];
            ++count_;
        }
    }

    std::array<Text, 4> decoded_;
    std::array<std::string_view, 4> texts_{};
    std::size_t count_ = 0;
};

struct Rule {
    Verdict verdict;
    const Text* pattern;
    const char* name;  // UTF-8
};

// The template's own rules, in the order expired, already, success, the first that matches one of
// the subjects; only the verdicts in `asked`. A rule that does not compile is said and left out.
std::optional<AccountVerdict> ownRule(const Subjects& subjects, const VerdictRules& rules,
                                      std::initializer_list<Verdict> asked, MessageSink& messages) {
    const Rule own[] = {{Verdict::Expired, &rules.expired, "失效判定"},
                        {Verdict::Already, &rules.already, "已签判定"},
                        {Verdict::Success, &rules.success, "成功判定"}};
    for (const Rule& rule : own) {
        if (rule.pattern->empty() ||
            std::find(asked.begin(), asked.end(), rule.verdict) == asked.end()) {
            continue;
        }
        if (const std::optional<RegexError> error = regexError(*rule.pattern)) {
            messages.showMessage(
                utf8ToAnsi(std::string("判定规则“") + rule.name + "”写得不对，已忽略（第 " +
                           std::to_string(error->position) + " 个字符：") +
                    error->message + utf8ToAnsi("）！"),
                utf8ToAnsi("信息："), MessageIcon::Warning);
            continue;
        }
        if (subjects.found(*rule.pattern)) {
            return AccountVerdict{rule.verdict, utf8ToAnsi(std::string("规则：") + rule.name)};
        }
    }
    return std::nullopt;
}

// The built-in rules, in the same order and with the same choice.
std::optional<AccountVerdict> builtInRule(const Subjects& subjects,
                                          std::initializer_list<Verdict> asked) {
    static const Text builtInExpired = utf8ToAnsi(kBuiltInExpired);
    static const Text builtInAlready = utf8ToAnsi(kBuiltInAlready);
    static const Text builtInSuccess = utf8ToAnsi(kBuiltInSuccess);
    static const Text builtIn = utf8ToAnsi("内置：");
    for (const auto& [verdict, pattern] : {std::pair{Verdict::Expired, &builtInExpired},
                                           std::pair{Verdict::Already, &builtInAlready},
                                           std::pair{Verdict::Success, &builtInSuccess}}) {
        if (std::find(asked.begin(), asked.end(), verdict) != asked.end() &&
            subjects.found(*pattern)) {
            return AccountVerdict{verdict, builtIn + verdictCaption(verdict)};
        }
    }
    return std::nullopt;
}

constexpr std::initializer_list<Verdict> kAllRules = {Verdict::Expired, Verdict::Already,
                                                      Verdict::Success};

// `location` made absolute against the address `base` it answered.
std::string absoluteLocation(std::string_view location, std::string_view base) {
    if (location.find("://") != std::string_view::npos || location.empty()) {
        return std::string(location);
    }
    const std::size_t scheme = base.find("://");
    if (scheme == std::string_view::npos) {
        return std::string(location);
    }
    const std::size_t hostEnd = base.find_first_of("/?#", scheme + 3);
    const std::string_view origin = base.substr(0, hostEnd);
    if (location.starts_with("//")) {
        return std::string(base.substr(0, scheme + 1)) + std::string(location);
    }
    if (location.starts_with('/')) {
        return std::string(origin) + std::string(location);
    }
    const std::string_view path =
        hostEnd == std::string_view::npos ? std::string_view("/") : base.substr(hostEnd);
    const std::string_view directory = path.substr(0, path.find_first_of("?#"));
    return std::string(origin) + std::string(directory.substr(0, directory.rfind('/') + 1)) +
           std::string(location);
}

}  // namespace

std::string_view verdictName(Verdict verdict) {
    return kNames[index(verdict)].name;
}

const Text& verdictCaption(Verdict verdict) {
    static const std::array<Text, kVerdictCount> captions = [] {
        std::array<Text, kVerdictCount> texts;
        for (std::size_t i = 0; i < kVerdictCount; ++i) {
            texts[i] = utf8ToAnsi(kNames[i].caption);
        }
        return texts;
    }();
    return captions[index(verdict)];
}

AccountVerdict decideVerdict(const AccountAnswer& outcome, std::string_view loginLink,
                             const VerdictRules& rules, MessageSink& messages) {
    const HttpResponse& response = outcome.response;
    if (!response.answered()) {
        return {Verdict::Failed, response.error.message};
    }
    if (response.status == 401 || response.status == 403) {
        return {Verdict::Expired, "HTTP " + std::to_string(response.status)};
    }
    if (response.redirects > 0 && isLoginPage(response.finalUrl, loginLink)) {
        return {Verdict::Expired, utf8ToAnsi("跳转到登录页")};
    }

    const Subjects subjects(outcome);
    if (auto own = ownRule(subjects, rules, kAllRules, messages)) {
        return *own;
    }
    if (auto builtIn = builtInRule(subjects, kAllRules)) {
        return *builtIn;
    }
    if (response.status >= 500) {
        return {Verdict::Failed, "HTTP " + std::to_string(response.status)};
    }
    return {Verdict::Unknown, {}};
}

AccountVerdict decideFlowVerdict(const FlowOutcome& outcome, std::string_view loginLink,
                                 const VerdictRules& rules, MessageSink& messages) {
    if (!outcome.answered) {
        return {Verdict::Failed, outcome.message};
    }
    if (!outcome.passed) {
        if (outcome.lastStatus == 401 || outcome.lastStatus == 403) {
            return {Verdict::Expired, "HTTP " + std::to_string(outcome.lastStatus) +
                                          utf8ToAnsi("，") + outcome.message};
        }
        if (outcome.lastStatus >= 300 && outcome.lastStatus < 400 && !outcome.location.empty() &&
            isLoginPage(absoluteLocation(outcome.location, outcome.lastUrl), loginLink)) {
            return {Verdict::Expired, utf8ToAnsi("跳转到登录页，") + outcome.message};
        }
        const Subjects answer(outcome.lastAnswer);
        if (auto own = ownRule(answer, rules, {Verdict::Expired}, messages)) {
            return {Verdict::Expired, own->reason + utf8ToAnsi("，") + outcome.message};
        }
        if (auto builtIn = builtInRule(answer, {Verdict::Expired})) {
            return {Verdict::Expired, builtIn->reason + utf8ToAnsi("，") + outcome.message};
        }
        return {Verdict::Failed, outcome.message};
    }
    const Subjects result(outcome.result);
    if (auto own = ownRule(result, rules, kAllRules, messages)) {
        return *own;
    }
    if (auto builtIn = builtInRule(result, {Verdict::Expired, Verdict::Already})) {
        return *builtIn;
    }
    return {Verdict::Success, utf8ToAnsi("全部 " + std::to_string(outcome.steps) + " 步通过")};
}

Text verdictCountsText(const VerdictCounts& counts) {
    auto count = [&](Verdict verdict) { return std::to_string(counts[index(verdict)]); };
    std::string text = "成功 " + count(Verdict::Success) + " · 已签 " + count(Verdict::Already) +
                       " · 失效 " + count(Verdict::Expired) + " · 失败 " + count(Verdict::Failed);
    if (counts[index(Verdict::Unknown)] > 0) {
        text += " · 未知 " + count(Verdict::Unknown);
    }
    return utf8ToAnsi(text);
}

}  // namespace vesprey
