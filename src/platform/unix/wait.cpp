#include "platform/wait.h"

#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarnix {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the kernel reads the word directly");

void wait_on_word(const std::atomic<uint32_t>* word, uint32_t expected) {
    // EAGAIN (the word moved on), EINTR and spurious returns all mean the
    // caller looks again.
    syscall(SYS_futex, reinterpret_cast<const uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void wait_on_word_for(const std::atomic<uint32_t>* word, uint32_t expected, uint32_t ms) {
    timespec limit{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<const uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &limit, nullptr, 0);
}

void wake_word(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace tarnix
