// Shared declarations of the binding layer (the only code that sees Python).
#pragma once
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "http/header.h"
#include "http/job.h"

namespace tarnix {

constexpr const char* POOL_CAPSULE_NAME = "tarnix.Pool";

// Looks the exception class up by name in "builtins" and sets `message`.
// Always leaves an exception set; the caller returns NULL.
void raise_builtin(const char* exception_name, const char* message);

// Signed 32-bit conversion of an int argument; false with an exception set.
bool int32_arg(PyObject* obj, int32_t* out);

PyObject* pool_create(PyObject* self, PyObject* args);
PyObject* submit(PyObject* self, PyObject* args);

// The hooks through which a job leaves the engine.
void settle_job(Job* job, int32_t status, const HeaderEntry* headers, size_t header_count, const uint8_t* body,
                size_t body_len, int32_t kind, const char* message);
void release_job(Job* job);

// Interpreter-exit guard for I/O threads. Registers the exit hook once, at
// module import (GIL held); false with an exception set when it fails.
bool ensure_exit_hook();
// True once the exit hook has run: no outcome can be delivered any more.
bool python_exiting();
// True when the calling I/O thread may take the GIL; every true must be
// paired with leave_python() after the GIL is released again.
bool enter_python();
void leave_python();
// Lets I/O threads reuse Python thread states of the importing interpreter.
// At module import, GIL held.
void start_keeping_thread_states();

}  // namespace tarnix
