// The hand-back of finished jobs to Python: the I/O thread's last act
// gives each job to its loop's queue, to the caller waiting for it, or, for a
// loop that cannot watch a descriptor, schedules its settling itself with the
// GIL taken; and jobs are disposed of here once delivered.
#include <atomic>

#include "handback.h"
#include "http/completion.h"
#include "platform/wait.h"

namespace tarnix {
namespace {

PyObject* g_module_name = nullptr;
PyObject* g_settle_name = nullptr;
PyObject* g_schedule_name = nullptr;

// "tarnix.core.http"._settle, looked up each time so that a replaced one is
// honoured. GIL held.
PyObject* find_settle() {
    // A loaded module is taken from sys.modules as it is: the import
    // system's check that it finished loading costs two attribute lookups.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* loaded = modules == nullptr ? nullptr : PyDict_GetItemWithError(modules, g_module_name);  // borrowed
    if (loaded != nullptr && PyModule_Check(loaded)) {
        PyObject* settle = PyObject_GetAttr(loaded, g_settle_name);
        if (settle != nullptr) return settle;
    }
    // Not loaded, or still loading (perhaps in another thread): the import
    // system waits for it.
    PyErr_Clear();
    PyObject* module = PyImport_Import(g_module_name);
    if (module == nullptr) return nullptr;
    PyObject* settle = PyObject_GetAttr(module, g_settle_name);
    Py_DECREF(module);
    return settle;
}

// -- the GIL path: loops that cannot watch a descriptor --------------------------

using SettleCall = PyObject* (*)(Job*, PyObject* settle, const OutcomeObjects&);

// Hands the job's outcome to Python through `call`. A call that runs out of
// memory is made once more with a failure, once the response's objects and
// bytes are gone: dropped, the outcome would leave its future pending for
// ever. The last call's result; null with an exception set, or with none
// when not even the failure could be made.
PyObject* settle_outcome(Job* job, SettleCall call) {
    OutcomeObjects out;
    if (!make_outcome(out, job->outcome)) return nullptr;
    // The captured bytes go before Python code runs.
    job->outcome.capture.reset();
    PyObject* settle = find_settle();
    if (settle == nullptr) return nullptr;
    PyObject* result = call(job, settle, out);
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        out.clear();
        JobOutcome failed;
        failed.kind = RESULT_TRANSPORT;
        failed.message = "out of memory reading response";
        if (make_outcome(out, failed)) result = call(job, settle, out);
    }
    Py_DECREF(settle);
    return result;
}

PyObject* schedule_settle(Job* job, PyObject* settle, const OutcomeObjects& out) {
    return PyObject_CallMethodObjArgs(static_cast<PyObject*>(job->loop), g_schedule_name, settle,
                                      static_cast<PyObject*>(job->future), out.status, out.headers, out.body,
                                      out.kind, out.message, nullptr);
}

PyObject* call_settle(Job* job, PyObject* settle, const OutcomeObjects& out) {
    return PyObject_CallFunctionObjArgs(settle, static_cast<PyObject*>(job->future), out.status, out.headers,
                                        out.body, out.kind, out.message, nullptr);
}

// Schedules _settle(future, ...) on the job's loop from this I/O thread. A
// failure (a closed loop, say) is dropped: nothing may escape this thread.
void settle_job(Job* job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    // An abandoned job's future was already completed by the client.
    if (!job->abandoned) {
        PyObject* result = settle_outcome(job, schedule_settle);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
    }
    PyGILState_Release(gil);
}

void release_job(Job* job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    dispose_job(job);
    PyGILState_Release(gil);
}

}  // namespace

bool make_handback_names() {
    g_module_name = PyUnicode_InternFromString("tarnix.core.http");
    g_settle_name = PyUnicode_InternFromString("_settle");
    g_schedule_name = PyUnicode_InternFromString("call_soon_threadsafe");
    return g_module_name != nullptr && g_settle_name != nullptr && g_schedule_name != nullptr;
}

PyObject* settle_all(Job* jobs, PyObject* reader) {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    for (Job* job = jobs; job != nullptr;) {
        Job* next = job->next;
        // An abandoned job's future was already completed by the client.
        if (!job->abandoned) {
            PyObject* result = settle_outcome(job, call_settle);
            if (result == nullptr && PyErr_Occurred() != nullptr) {
                if (type == nullptr)
                    PyErr_Fetch(&type, &value, &trace);
                else
                    PyErr_WriteUnraisable(reader);
            }
            Py_XDECREF(result);
        }
        dispose_job(job);
        job = next;
    }
    if (type == nullptr) Py_RETURN_NONE;
    PyErr_Restore(type, value, trace);
    return nullptr;
}

void dispose_all(Job* jobs) {
    while (jobs != nullptr) {
        Job* next = jobs->next;
        dispose_job(jobs);
        jobs = next;
    }
}

// -- the I/O thread's side ------------------------------------------------------

void finish_job(Job* job) {
    if (job->queue != nullptr) {
        CompletionQueue* queue = job->queue;
        if (!queue->push(job)) orphan_push(job);
        return;
    }
    if (job->waited) {
        // After the exchange a waiting caller may free the job at once; the
        // wake-up then names a freed word, which at worst wakes a sleeper
        // on a reused one for nothing (sleepers check their word again).
        std::atomic<uint32_t>* word = &job->handoff;
        if (word->exchange(HANDOFF_DONE, std::memory_order_acq_rel) == HANDOFF_ABANDONED)
            orphan_push(job);
        else
            wake_word(word, 1);
        return;
    }
    if (!enter_python()) {
        // The interpreter is finalising: its objects may no longer be
        // touched, so the references are left behind.
        job->future = job->loop = job->pool_owner = nullptr;
        free_job(job);
        return;
    }
    settle_job(job);
    release_job(job);
    leave_python();
}

void dispose_job(Job* job) {
    unregister_job(job);
    Py_XDECREF(static_cast<PyObject*>(job->future));
    Py_XDECREF(static_cast<PyObject*>(job->loop));
    // May run the pool's destructor; this job's connection is already back
    // in the pool or closed.
    Py_XDECREF(static_cast<PyObject*>(job->pool_owner));
    if (job->queue != nullptr) job->queue->release();
    free_job(job);
}

void free_orphans() {
    Job* jobs = orphans_take();
    if (jobs != nullptr) dispose_all(jobs);
}

}  // namespace tarnix
