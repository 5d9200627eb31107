// Pseudo-terminal pairs for simulated modems.
#include "platform/pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/reactor.h"

namespace qvpty {
namespace {

bool Fail(int fd, int holder) {
    int err = errno;
    if (fd >= 0) close(fd);
    if (holder >= 0) close(holder);
    errno = err;
    return false;
}

}  // namespace

bool Open(Pair* out) {
    if (!out) {
        errno = EINVAL;
        return false;
    }
    qvplat::RaiseFdLimit();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        return Fail(master, -1);
    }
    // Terminal settings made through the master apply to the slave.
    termios tio{};
    if (tcgetattr(master, &tio) != 0) return Fail(master, -1);
    cfmakeraw(&tio);
    if (tcsetattr(master, TCSANOW, &tio) != 0) return Fail(master, -1);
    int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(master, -1);
    int holder = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (holder < 0) return Fail(master, -1);
    out->master = master;
    out->holder = holder;
    out->slavePath = name;
    return true;
}

void Close(Pair* pair) {
    if (!pair) return;
    if (pair->master >= 0) close(pair->master);
    if (pair->holder >= 0) close(pair->holder);
    pair->master = -1;
    pair->holder = -1;
}

}  // namespace qvpty
