// Descriptors 0 to 2: filled with /dev/null when closed (see std_fds.hpp).
#include "common/std_fds.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace common {

bool std_fds_open() noexcept
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is fd itself, as those below are open.
        const int got = open("/dev/null", O_RDWR);
        if (got < 0)
            return false;
        if (got != fd) {
            const bool moved = dup2(got, fd) == fd;
            close(got);
            if (!moved)
                return false;
        }
    }
    return true;
}

}  // namespace common
