#include "platform/wait.h"

#include <windows.h>

namespace tarnix {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the system compares the word directly");

void wait_on_word(const std::atomic<uint32_t>* word, uint32_t expected) {
    // Returns at once when the word already differs; spurious wake-ups are
    // fine, the caller looks again.
    WaitOnAddress(const_cast<std::atomic<uint32_t>*>(word), &expected, sizeof expected, INFINITE);
}

void wait_on_word_for(const std::atomic<uint32_t>* word, uint32_t expected, uint32_t ms) {
    WaitOnAddress(const_cast<std::atomic<uint32_t>*>(word), &expected, sizeof expected, ms);
}

void wake_word(std::atomic<uint32_t>* word, int count) {
    if (count == 1)
        WakeByAddressSingle(word);
    else
        WakeByAddressAll(word);
}

}  // namespace tarnix
