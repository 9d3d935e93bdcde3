// Reader-writer lock on a slim reader/writer lock: once a writer waits, new
// shared acquisitions queue behind it instead of starving it.
#include "platform/rwlock.h"

#include <windows.h>

namespace tarnix {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "the lock lives in one pointer");

namespace {
PSRWLOCK srw(void** p) { return reinterpret_cast<PSRWLOCK>(p); }
}  // namespace

RwLock::RwLock() { InitializeSRWLock(srw(&srw_)); }
RwLock::~RwLock() = default;

void RwLock::lock_shared() { AcquireSRWLockShared(srw(&srw_)); }
void RwLock::unlock_shared() { ReleaseSRWLockShared(srw(&srw_)); }
void RwLock::lock_exclusive() { AcquireSRWLockExclusive(srw(&srw_)); }
void RwLock::unlock_exclusive() { ReleaseSRWLockExclusive(srw(&srw_)); }
void RwLock::reset_after_fork() { InitializeSRWLock(srw(&srw_)); }

}  // namespace tarnix
