// The floor of a sign-in pass, written as a C programmer would: one reused libcurl handle, the
// same requests the tool sends (method, address, every header line, cookie and body as given in
// the accounts file), each answer's result taken with RapidJSON (a path of member names) or with
// PCRE2's JIT (the first group of the first match, caseless, compiled once per pattern), and one
// line per account printed.
//
//   curl_loop ACCOUNTS     each line: METHOD TAB URL TAB json|regex TAB PATH-OR-PATTERN TAB BODY
//                          (TAB HEADER-LINE)…
#define PCRE2_CODE_UNIT_WIDTH 8
#include <curl/curl.h>
#include <pcre2.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::size_t append(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at = line.find(separator); at != std::string::npos;
         at = line.find(separator, start)) {
        parts.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(line.substr(start));
    return parts;
}

std::string jsonText(const std::string& body, const std::string& path) {
    rapidjson::Document document;
    document.Parse(body.data(), body.size());
    if (document.HasParseError()) {
        return body;
    }
    const rapidjson::Value* value = &document;
    for (const std::string& name : split(path, '.')) {
        if (!value->IsObject()) {
            return body;
        }
        auto member = value->FindMember(name.c_str());
        if (member == value->MemberEnd()) {
            return body;
        }
        value = &member->value;
    }
    if (value->IsString()) {
        return std::string(value->GetString(), value->GetStringLength());
    }
    if (value->IsInt64()) {
        return std::to_string(value->GetInt64());
    }
    return body;
}

struct Pattern {
    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;
};

std::string regexText(const std::string& body, const std::string& source,
                      std::map<std::string, Pattern>& patterns) {
    Pattern& pattern = patterns[source];
    if (pattern.code == nullptr) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        pattern.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.c_str()), source.size(),
                                     PCRE2_CASELESS, &error, &offset, nullptr);
        if (pattern.code == nullptr) {
            return "匹配失败";
        }
        pcre2_jit_compile(pattern.code, PCRE2_JIT_COMPLETE);
        pattern.data = pcre2_match_data_create_from_pattern(pattern.code, nullptr);
    }
    const int rc = pcre2_match(pattern.code, reinterpret_cast<PCRE2_SPTR>(body.data()), body.size(),
                               0, 0, pattern.data, nullptr);
    if (rc < 2) {
        return "匹配失败";
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(pattern.data);
    return body.substr(ovector[2], ovector[3] - ovector[2]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: curl_loop ACCOUNTS\n", stderr);
        return 1;
    }
    std::ifstream in(argv[1]);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    std::string body;
    std::map<std::string, Pattern> patterns;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = split(line, '\t');
        if (fields.size() < 5) {
            continue;
        }
        curl_slist* headers = nullptr;
        for (std::size_t i = 5; i < fields.size(); ++i) {
            headers = curl_slist_append(headers, fields[i].c_str());
        }
        headers = curl_slist_append(headers, "Expect:");
        body.clear();
        curl_easy_setopt(curl, CURLOPT_URL, fields[1].c_str());
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &append);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        if (fields[0] == "POST") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, fields[4].c_str());
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        const CURLcode result = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        std::string text = result != CURLE_OK    ? std::string(curl_easy_strerror(result))
                           : fields[2] == "json" ? jsonText(body, fields[3])
                                                 : regexText(body, fields[3], patterns);
        std::printf("%d\t%s\n", ++number, text.c_str());
    }
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    return 0;
}
