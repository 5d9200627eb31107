// Pseudo-terminals for simulated modems: the simulator holds the master side,
// the driver opens the slave path as if it were a serial device.
#pragma once

#include <string>

namespace qvpty {

struct Pair {
    int master = -1;        // non-blocking, close-on-exec
    std::string slavePath;  // e.g. /dev/pts/7
    int holder = -1;        // slave descriptor that keeps the pair alive
};

// Opens a master in raw mode and unlocks its slave. A holding descriptor on
// the slave keeps the pair alive while no client has it open, so a client that
// closes and reopens the device does not hang up the master. False when the
// system has no pseudo-terminals left (errno tells why).
bool Open(Pair* out);

// Closes the master and the holder: a client of the slave sees a hang-up.
void Close(Pair* pair);

}  // namespace qvpty
