#include "platform/fork.h"

#include <atomic>
#include <cstddef>
#include <pthread.h>

namespace tarnix {

namespace {

// Everything has an initialiser so the tables are filled in at compile time,
// before any static initialiser that registers a hook runs.
struct Hooks {
    void (*prepare)() = nullptr;
    void (*parent)() = nullptr;
    void (*child)() = nullptr;
    std::atomic<bool> ready{false};
};

// A few fixed tables: registration may come from static initialisers in any
// order, and must not take a lock the prepare hooks could be waiting behind.
constexpr size_t MAX_HOOKS = 16;

struct Tier {
    Hooks hooks[MAX_HOOKS];
    std::atomic<size_t> claimed{0};
};

Tier g_outer;
Tier g_leaf;
std::atomic<uint64_t> g_generation{0};

bool add(Tier& t, void (*prepare)(), void (*parent)(), void (*child)()) {
    size_t i = t.claimed.fetch_add(1, std::memory_order_relaxed);
    if (i >= MAX_HOOKS) return false;
    t.hooks[i].prepare = prepare;
    t.hooks[i].parent = parent;
    t.hooks[i].child = child;
    t.hooks[i].ready.store(true, std::memory_order_release);
    return true;
}

size_t count(const Tier& t) {
    size_t n = t.claimed.load(std::memory_order_acquire);
    return n < MAX_HOOKS ? n : MAX_HOOKS;
}

// A hook registered while a fork runs takes part in all of its stages or in
// none: whether it was ready is noted once, before the fork.
bool g_seen_outer[MAX_HOOKS] = {};
bool g_seen_leaf[MAX_HOOKS] = {};

void prepare_tier(Tier& t, bool* seen) {
    for (size_t i = count(t); i-- > 0;) {
        seen[i] = t.hooks[i].ready.load(std::memory_order_acquire);
        if (seen[i] && t.hooks[i].prepare != nullptr) t.hooks[i].prepare();
    }
}

void after_tier(Tier& t, const bool* seen, bool child) {
    for (size_t i = 0, n = count(t); i < n; ++i) {
        if (!seen[i]) continue;
        void (*hook)() = child ? t.hooks[i].child : t.hooks[i].parent;
        if (hook != nullptr) hook();
    }
}

void before_fork() {
    prepare_tier(g_outer, g_seen_outer);
    prepare_tier(g_leaf, g_seen_leaf);
}

void in_parent() {
    after_tier(g_leaf, g_seen_leaf, false);
    after_tier(g_outer, g_seen_outer, false);
}

void in_child() {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    after_tier(g_leaf, g_seen_leaf, true);
    after_tier(g_outer, g_seen_outer, true);
}

const int g_registered = pthread_atfork(before_fork, in_parent, in_child);

}  // namespace

uint64_t fork_generation() { return g_generation.load(std::memory_order_relaxed); }

bool on_fork(void (*prepare)(), void (*parent)(), void (*child)()) { return add(g_outer, prepare, parent, child); }

bool on_fork_leaf(void (*prepare)(), void (*parent)(), void (*child)()) {
    return add(g_leaf, prepare, parent, child);
}

}  // namespace tarnix
