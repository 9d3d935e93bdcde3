// What the hand-back's files share among themselves: the states of a
// waited job's handoff, settling and disposing of jobs, the loops' readers
// and the guard that keeps I/O threads out of an exiting interpreter.
#pragma once
#include "binding.h"

namespace tarnix {

// Job::handoff, between the I/O thread and the caller waiting for the job.
constexpr uint32_t HANDOFF_WAITING = 0;
constexpr uint32_t HANDOFF_DONE = 1;
constexpr uint32_t HANDOFF_ABANDONED = 2;

// Interns the names that settling looks up; false with an exception set.
bool make_handback_names();
// Settles and disposes of every job on a list linked by `next`, on the
// loop's thread. An exception from _settle does not stop the others; the
// first is raised afterwards (null returned) for the loop to report, the
// rest go to `reader`'s unraisable hook.
PyObject* settle_all(Job* jobs, PyObject* reader);
// Disposes of every job on a list linked by `next`. GIL held.
void dispose_all(Job* jobs);

// Interns the names the loops' readers use; false with an exception set.
bool init_loop_readers();
// In a forked child: every loop's queue is dropped, its jobs disposed of.
void forget_loops_after_fork();

// An I/O thread takes the GIL only between these: false (and nothing to
// leave) once the exit hook has run.
bool enter_python();
void leave_python();

}  // namespace tarnix
