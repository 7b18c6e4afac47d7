// The lock a sign-in pass holds on its Sign.db, so that the desktop window and `vesprey-cli sign`
// never sign the accounts of one file twice at the same time: an advisory lock (flock) on the
// file ".<name>.pass-lock" beside Sign.db (".Sign.db.pass-lock"), taken by every pass of either
// program for as long as it runs and let go by the system when the process ends, however it ends.
// The file itself stays; only the lock on it counts.
#pragma once

#include <filesystem>
#include <string>

namespace vesprey {

std::filesystem::path passLockPath(const std::filesystem::path& siteDatabase);

class PassLock {
public:
    enum class Outcome {
        Taken,   // this process now holds it
        Held,    // another pass holds it: it is running on this Sign.db
        Failed,  // no lock could be taken (a folder that cannot be written): see error()
    };

    PassLock() = default;
    ~PassLock();
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

    // Takes the lock for the Sign.db at `siteDatabase` without waiting.
    Outcome take(const std::filesystem::path& siteDatabase);
    // Lets the lock go (a lock not held is left as it is).
    void release();
    bool held() const { return fd_ >= 0; }
    // Why the last take failed, the system's words.
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace vesprey
