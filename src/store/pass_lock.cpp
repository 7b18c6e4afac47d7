#include "store/pass_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesprey {

std::filesystem::path passLockPath(const std::filesystem::path& siteDatabase) {
    return siteDatabase.parent_path() / ("." + siteDatabase.filename().string() + ".pass-lock");
}

PassLock::~PassLock() {
    release();
}

PassLock::Outcome PassLock::take(const std::filesystem::path& siteDatabase) {
    release();
    error_.clear();
    const std::filesystem::path path = passLockPath(siteDatabase);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(fd);
        if (why == EWOULDBLOCK) {
            return Outcome::Held;
        }
        error_ = std::strerror(why);
        return Outcome::Failed;
    }
    fd_ = fd;
    return Outcome::Taken;
}

void PassLock::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace vesprey
