// Sleeping on a 32-bit word until another thread changes it and wakes the
// sleepers (a futex on Linux).
#pragma once
#include <atomic>
#include <cstdint>

namespace tarnix {

// Sleeps while *word still holds `expected`. Returns at once when it does
// not, and may return early for no reason: callers re-check their condition.
void wait_on_word(const std::atomic<uint32_t>* word, uint32_t expected);

// As wait_on_word, for at most `ms` milliseconds.
void wait_on_word_for(const std::atomic<uint32_t>* word, uint32_t expected, uint32_t ms);

// Wakes up to `count` threads sleeping on `word`.
void wake_word(std::atomic<uint32_t>* word, int count);

}  // namespace tarnix
