// A descriptor that another thread makes readable, so that an event loop
// watching it wakes up: an eventfd on Linux, a connected socket pair where
// there is none.
#pragma once

namespace tarnix {

struct WakeFd {
    int read_fd = -1;   // what the loop watches
    int write_fd = -1;  // the same descriptor where one serves both ends
};

// False when no descriptor can be had (then nothing is left open).
bool wake_open(WakeFd* wake);
// Makes read_fd readable; cheap when it already is. Any thread.
void wake_signal(const WakeFd& wake);
// Makes read_fd unreadable again until the next signal. The watching thread.
void wake_clear(const WakeFd& wake);
void wake_close(WakeFd* wake);

}  // namespace tarnix
