// A blocking caller's wait for its job: the GIL is released while it
// waits, signal handlers run between slices, and giving up stops the job.
#include <atomic>

#include "handback.h"
#include "platform/wait.h"

namespace tarnix {
namespace {

// Signal handlers run at least this often while a caller waits.
constexpr uint32_t WAIT_SLICE_MS = 50;

PyObject* outcome_tuple(Job* job) {
    OutcomeObjects out;
    if (!make_outcome(out, job->outcome)) return nullptr;
    return PyTuple_Pack(5, out.status, out.headers, out.body, out.kind, out.message);
}

}  // namespace

PyObject* wait_for_job(Job* job, double timeout) {
    // Beyond a million seconds is as good as no limit.
    uint64_t left_ms = timeout < 0 || timeout > 1e6 ? UINT64_MAX : static_cast<uint64_t>(timeout * 1000.0 + 0.999);
    bool interrupted = false;
    while (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING && left_ms != 0) {
        uint32_t slice = left_ms < WAIT_SLICE_MS ? static_cast<uint32_t>(left_ms) : WAIT_SLICE_MS;
        Py_BEGIN_ALLOW_THREADS
        wait_on_word_for(&job->handoff, HANDOFF_WAITING, slice);
        Py_END_ALLOW_THREADS
        if (left_ms != UINT64_MAX) left_ms -= slice;
        if (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING && PyErr_CheckSignals() < 0) {
            interrupted = true;
            break;
        }
    }
    // Giving up stops the I/O thread at once (the job is still ours until
    // the exchange below). A job that finished its exchange first is not
    // touched.
    bool stopped = false;
    if (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING) stopped = job->gate.abort();
    if (job->handoff.exchange(HANDOFF_ABANDONED, std::memory_order_acq_rel) == HANDOFF_WAITING) {
        // The I/O thread makes it an orphan when it finishes.
        if (interrupted) return nullptr;
        Py_RETURN_NONE;
    }
    if (stopped) {
        // Its outcome is the stop's doing, not the server's.
        dispose_job(job);
        if (interrupted) return nullptr;
        Py_RETURN_NONE;
    }
    // Finished, if only just: the outcome is delivered, not thrown away.
    PyObject* result = interrupted ? nullptr : outcome_tuple(job);
    dispose_job(job);
    if (result == nullptr && !interrupted) raise_builtin("MemoryError", "out of memory reading response");
    return result;
}

}  // namespace tarnix
