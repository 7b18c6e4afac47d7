// What the programs read of their environment at start: the folders, the key cache, the push
// services and the test deadline, each from its variables.
#include "app/environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace vesprey {
namespace {

namespace fs = std::filesystem;

const char* const kVariables[] = {
    "VESPREY_DB",       "XDG_DATA_HOME",     "XDG_CACHE_HOME",      "HOME",
    "VESPREY_BARK_URL", "VESPREY_EMAIL_URL", "VESPREY_PUSH_CAFILE", "VESPREY_TEST_DEADLINE_MS"};

// Runs `read` with exactly `given` of kVariables set, then puts the environment back.
ProgramEnvironment readWith(const std::map<std::string, std::string>& given) {
    std::map<std::string, std::optional<std::string>> before;
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        before[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        unsetenv(name);
    }
    for (const auto& [name, value] : given) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    ProgramEnvironment read = readProgramEnvironment();
    for (const auto& [name, value] : before) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    return read;
}

TEST(ProgramEnvironment, FoldersAndTheKeyCacheFollowTheXdgVariablesThenHome) {
    struct Case {
        std::map<std::string, std::string> given;
        fs::path data;
        fs::path keys;
    };
    const Case cases[] = {
        {{{"XDG_DATA_HOME", "/d"}, {"XDG_CACHE_HOME", "/c"}, {"HOME", "/h"}},
         "/d/vesprey",
         "/c/vesprey/keys"},
        {{{"HOME", "/h"}}, "/h/.local/share/vesprey", "/h/.cache/vesprey/keys"},
        // Relative values are not where anyone meant: they count as not set.
        {{{"XDG_DATA_HOME", "d"}, {"XDG_CACHE_HOME", "c"}, {"HOME", "/h"}},
         "/h/.local/share/vesprey",
         "/h/.cache/vesprey/keys"},
        // Without HOME the data goes to the account's home, but no keys are kept anywhere.
        {{{"XDG_DATA_HOME", "/d"}}, "/d/vesprey", ""},
    };
    for (const Case& c : cases) {
        const ProgramEnvironment read = readWith(c.given);
        EXPECT_EQ(read.folders.dataDirectory, c.data);
        EXPECT_EQ(read.keyCache, c.keys);
        EXPECT_TRUE(read.folders.databaseVariable.empty());
    }
    EXPECT_EQ(readWith({{"VESPREY_DB", "/x/Sign.db"}}).folders.databaseVariable, "/x/Sign.db");
}

TEST(ProgramEnvironment, PushServicesAndTheDeadlineComeFromTheirVariables) {
    const ProgramEnvironment read = readWith({{"VESPREY_BARK_URL", "http://127.0.0.1:8/b/"},
                                              {"VESPREY_EMAIL_URL", "smtp://127.0.0.1:2525"},
                                              {"VESPREY_PUSH_CAFILE", "/ca.pem"},
                                              {"VESPREY_TEST_DEADLINE_MS", "2500"}});
    const std::map<std::string, std::string, std::less<>> urls = {
        {"bark", "http://127.0.0.1:8/b/"}, {"email", "smtp://127.0.0.1:2525"}};
    EXPECT_EQ(read.push.baseUrls, urls);
    EXPECT_EQ(read.push.caFile, "/ca.pem");
    EXPECT_EQ(read.requestDeadlineMs, 2500);
    EXPECT_EQ(read.push.deadlineMs, 2500);

    for (const char* deadline : {"", "0", "-5", "soon"}) {
        const ProgramEnvironment unset = readWith({{"VESPREY_TEST_DEADLINE_MS", deadline}});
        EXPECT_EQ(unset.requestDeadlineMs, 0) << deadline;
        EXPECT_EQ(unset.push.deadlineMs, 0) << deadline;
        EXPECT_TRUE(unset.push.baseUrls.empty());
    }
}

}  // namespace
}  // namespace vesprey
