// Reader-writer lock. glibc's default lets a steady stream of readers starve
// a writer, so ask for the kind where a waiting writer holds off new readers.
#include "platform/rwlock.h"

namespace tarnix {

namespace {

void init_writer_first(pthread_rwlock_t* rw) {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(rw, &attr);
    pthread_rwlockattr_destroy(&attr);
}

}  // namespace

RwLock::RwLock() { init_writer_first(&rw_); }

void RwLock::reset_after_fork() { init_writer_first(&rw_); }

RwLock::~RwLock() { pthread_rwlock_destroy(&rw_); }

void RwLock::lock_shared() { pthread_rwlock_rdlock(&rw_); }
void RwLock::unlock_shared() { pthread_rwlock_unlock(&rw_); }
void RwLock::lock_exclusive() { pthread_rwlock_wrlock(&rw_); }
void RwLock::unlock_exclusive() { pthread_rwlock_unlock(&rw_); }

}  // namespace tarnix
