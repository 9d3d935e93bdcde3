// Reader-writer lock whose waiting writer blocks new readers.
#pragma once
#include <pthread.h>

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

private:
    pthread_rwlock_t rw_;
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
