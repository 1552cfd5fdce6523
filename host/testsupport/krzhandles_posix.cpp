#include "testsupport/krzhandles.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace krztest {

int openHandleCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (::readdir(dir) != nullptr)
        ++count;
    ::closedir(dir);
    return count;
}

bool duplicateAt(unsigned int socket, int number) {
    rlimit limit;
    rlim_t wanted = static_cast<rlim_t>(number) + 1;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted &&
        limit.rlim_max >= wanted) {
        limit.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return ::dup2(static_cast<int>(socket), number) == number;
}

bool underWine() {
    return false;
}

}  // namespace krztest
