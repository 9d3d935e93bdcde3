#include "platform/wake.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

namespace tarnix {

bool wake_open(WakeFd* wake) {
#ifdef __linux__
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return false;
    wake->read_fd = wake->write_fd = fd;
    return true;
#else
    int fds[2];
    if (pipe(fds) != 0) return false;
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    wake->read_fd = fds[0];
    wake->write_fd = fds[1];
    return true;
#endif
}

void wake_signal(const WakeFd& wake) {
    // A full pipe or a saturated counter is already readable: nothing lost.
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = write(wake.write_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void wake_clear(const WakeFd& wake) {
    // An eventfd resets in one read; a pipe is read until empty.
    uint64_t buf[16];
    for (;;) {
        ssize_t n = read(wake.read_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < static_cast<ssize_t>(sizeof buf) || wake.read_fd == wake.write_fd) return;
    }
}

void wake_close(WakeFd* wake) {
    if (wake->write_fd >= 0 && wake->write_fd != wake->read_fd) close(wake->write_fd);
    if (wake->read_fd >= 0) close(wake->read_fd);
    wake->read_fd = wake->write_fd = -1;
}

}  // namespace tarnix
