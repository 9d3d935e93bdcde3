// Shared declarations of the binding layer (the only code that sees Python).
#pragma once
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "http/error.h"
#include "http/header.h"
#include "http/job.h"

namespace tarnix {

constexpr const char* POOL_CAPSULE_NAME = "tarnix.Pool";
constexpr const char* CLIENT_CERT_CAPSULE_NAME = "tarnix.ClientCert";
constexpr const char* DOWNLOAD_CAPSULE_NAME = "tarnix.Download";

// Looks the exception class up by name in "builtins" and sets `message`.
// Always leaves an exception set; the caller returns NULL.
void raise_builtin(const char* exception_name, const char* message);

// Signed 32-bit conversion of an int argument; false with an exception set.
bool int32_arg(PyObject* obj, int32_t* out);

PyObject* pool_create(PyObject* self, PyObject* args);
PyObject* pool_create_via(PyObject* self, PyObject* args);

PyObject* client_cert_load(PyObject* self, PyObject* args);
PyObject* pool_create_with_cert(PyObject* self, PyObject* args);
// Makes the pool show the client_cert_load capsule's certificate. False
// with an exception set.
bool attach_client_cert(PyObject* pool_capsule, PyObject* cert_capsule);

PyObject* download_new(PyObject* self, PyObject* path);
PyObject* download_progress(PyObject* self, PyObject* download);
// The job writes its body into the download_new capsule's file (None: it
// keeps it in memory as usual). False with an exception set.
bool attach_download(Job* job, PyObject* capsule);

PyObject* submit(PyObject* self, PyObject* args);

PyObject* submit_wait(PyObject* self, PyObject* args);
PyObject* submit_limited(PyObject* self, PyObject* args);

PyObject* pool_keepalive(PyObject* self, PyObject* args);
PyObject* pool_trim(PyObject* self, PyObject* args);

// abandon(future): stops the running request submitted with this future;
// True when there was one. Its outcome is dropped, never settled.
PyObject* abandon(PyObject* self, PyObject* future);
// The table of running jobs by future (GIL held): a job joins it when it is
// submitted with a future and leaves it when abandoned or disposed of.
void register_job(Job* job);
void unregister_job(Job* job);
// In a forked child: the table is emptied without touching its jobs.
void forget_jobs_after_fork();

// The Python objects of one outcome, in the order _settle takes them after
// the future.
struct OutcomeObjects {
    PyObject* status = nullptr;
    PyObject* headers = nullptr;
    PyObject* body = nullptr;
    PyObject* kind = nullptr;
    PyObject* message = nullptr;

    OutcomeObjects() = default;
    OutcomeObjects(const OutcomeObjects&) = delete;
    OutcomeObjects& operator=(const OutcomeObjects&) = delete;
    ~OutcomeObjects() { clear(); }
    void clear() {
        Py_CLEAR(message);
        Py_CLEAR(kind);
        Py_CLEAR(body);
        Py_CLEAR(headers);
        Py_CLEAR(status);
    }
};

// Makes the objects of a job's outcome; one that cannot be made in memory
// becomes the failure "out of memory reading response". False, with no
// exception set, when not even that can be made. GIL held.
bool make_outcome(OutcomeObjects& out, const JobOutcome& outcome);

// The hand-back. A job bound to its loop's queue is delivered on the loop's
// thread by the loop's reader; any other job takes the GIL on its I/O thread
// and goes through the loop's call_soon_threadsafe.
// Binds the job to the loop's queue, registering the loop's reader on first
// use; false (no exception set) when the loop cannot watch a descriptor.
bool bind_to_loop(Job* job, PyObject* loop);
// The I/O thread's last act: hands the finished job on and lets go of it.
void finish_job(Job* job);
// Drops a job's Python references and frees it. GIL held.
void dispose_job(Job* job);
// Frees the jobs nobody delivers any more. GIL held; cheap when none.
void free_orphans();
// Waits with the GIL released until a job bound to a waiting caller
// finishes, then returns its outcome as (status, headers, body, kind,
// message); None after `timeout` seconds (negative: no limit); null with an
// exception set when a signal handler raised. Either way the job is the
// caller's no more.
PyObject* wait_for_job(Job* job, double timeout);

// Module life: registers the exit and fork hooks (GIL held, at import);
// false with an exception set when it fails.
bool init_handback();
// True once the exit hook has run: I/O threads may no longer take the GIL.
bool python_exiting();
// False, with ImportError set, outside the interpreter the module was
// loaded in: its cached objects and hooks belong to that one.
bool in_home_interpreter();

}  // namespace tarnix
