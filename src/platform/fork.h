// What a forked child inherits: memory and descriptors, but only the thread
// that called fork. State that the parent's other threads were changing is
// made whole again through these hooks.
#pragma once
#include <cstdint>

namespace tarnix {

// Moves on in every forked child (0 in a process that never forked, and
// always 0 where there is no fork). Whatever recorded an older value was
// made by an ancestor process.
uint64_t fork_generation();

// Before a fork, every prepare hook runs (the latest registered first) and
// takes its locks, so that no other thread holds them across the fork; after
// it, the parent or child hooks run (the earliest first) and free them. Any
// hook may be null. Nothing happens where there is no fork.
//
// Leaf hooks are for locks under which nothing else is ever taken: their
// prepare hooks run after all the others, so a thread that holds an outer
// lock can still take a leaf lock on its way out.
bool on_fork(void (*prepare)(), void (*parent)(), void (*child)());
bool on_fork_leaf(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace tarnix
