// What the environment tells the programs, read once when they start and handed down: nothing
// below the two programs reads the environment.
#pragma once

#include <filesystem>

#include "engine/push.h"
#include "store/site_database.h"

namespace vesprey {

struct ProgramEnvironment {
    UserFolders folders;             // VESPREY_DB; XDG_DATA_HOME, else HOME
    std::filesystem::path keyCache;  // XDG_CACHE_HOME, else HOME: …/vesprey/keys; empty without
    PushEnvironment push;            // VESPREY_<CHANNEL>_URL, VESPREY_PUSH_CAFILE
    // VESPREY_TEST_DEADLINE_MS, for tests only: every request (a push's too) ends within this
    // many milliseconds in all, not the usual minute. 0 when not set.
    long requestDeadlineMs = 0;
    // VESPREY_TEST_WAIT_DIVISOR, for tests only: a pass's waits (before retries, between accounts
    // of one host) take this many times less. 0 when not set.
    long waitDivisor = 0;
};

ProgramEnvironment readProgramEnvironment();

// Reads the environment and sets what the store keeps for the whole process (the key cache).
// Each program calls it once, first thing.
ProgramEnvironment startWithEnvironment();

}  // namespace vesprey
