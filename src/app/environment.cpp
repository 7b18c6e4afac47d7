#include "app/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "store/key_cache.h"

namespace vesprey {
namespace {

// A variable's value; empty when it is not set.
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The user's home: $HOME when it is an absolute path, else the account's home directory.
std::filesystem::path homeDirectory() {
    const std::string home = variable("HOME");
    if (home.starts_with('/')) {
        return home;
    }
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

}  // namespace

ProgramEnvironment readProgramEnvironment() {
    ProgramEnvironment environment;
    environment.folders.databaseVariable = variable("VESPREY_DB");
    const std::string data = variable("XDG_DATA_HOME");
    environment.folders.dataDirectory =
        (data.starts_with('/') ? std::filesystem::path(data)
                               : homeDirectory() / ".local" / "share") /
        "vesprey";
    // Without either variable the derived keys are not kept: a home taken from the account may
    // not be the user's to write.
    const std::string cache = variable("XDG_CACHE_HOME");
    const std::string home = variable("HOME");
    if (cache.starts_with('/')) {
        environment.keyCache = std::filesystem::path(cache) / "vesprey" / "keys";
    } else if (home.starts_with('/')) {
        environment.keyCache = std::filesystem::path(home) / ".cache" / "vesprey" / "keys";
    }
    for (const PushChannelInfo& channel : pushChannels()) {
        if (std::string url = variable(std::string(channel.urlVariable).c_str()); !url.empty()) {
            environment.push.baseUrls.emplace(std::string(channel.name), std::move(url));
        }
    }
    environment.push.caFile = variable("VESPREY_PUSH_CAFILE");
    const long deadline = std::strtol(variable("VESPREY_TEST_DEADLINE_MS").c_str(), nullptr, 10);
    environment.requestDeadlineMs = deadline > 0 ? deadline : 0;
    environment.push.deadlineMs = environment.requestDeadlineMs;
    const long divisor = std::strtol(variable("VESPREY_TEST_WAIT_DIVISOR").c_str(), nullptr, 10);
    environment.waitDivisor = divisor > 1 ? divisor : 0;
    return environment;
}

ProgramEnvironment startWithEnvironment() {
    ProgramEnvironment environment = readProgramEnvironment();
    setKeyCachePath(environment.keyCache);
    return environment;
}

}  // namespace vesprey
