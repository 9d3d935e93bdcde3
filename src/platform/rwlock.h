// Reader-writer lock whose waiting writer blocks new readers.
#pragma once
#ifndef _WIN32
#include <pthread.h>
#endif

namespace tarnix {

class RwLock {
public:
    RwLock();
    ~RwLock();
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;
    void lock_shared();
    void unlock_shared();
    void lock_exclusive();
    void unlock_exclusive();
    // In a forked child, with no other thread left: free again, whatever the
    // parent's threads held. (Unlocking would not do: the child's thread is
    // not the one that locked it.)
    void reset_after_fork();

private:
#ifdef _WIN32
    void* srw_ = nullptr;  // an SRWLOCK: one pointer, all zero when free
#else
    pthread_rwlock_t rw_;
#endif
};

class SharedGuard {
public:
    explicit SharedGuard(RwLock& l) : l_(l) { l_.lock_shared(); }
    ~SharedGuard() { l_.unlock_shared(); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

private:
    RwLock& l_;
};

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(RwLock& l) : l_(l) { l_.lock_exclusive(); }
    ~ExclusiveGuard() { l_.unlock_exclusive(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

private:
    RwLock& l_;
};

}  // namespace tarnix
