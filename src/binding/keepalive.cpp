// Idle-connection upkeep the Python layer drives from its loop: the engine
// has no timer of its own.
#include <cmath>

#include "binding.h"
#include "http/pool.h"
#include "platform/clock.h"

namespace tarnix {

namespace {

Pool* pool_arg(PyObject* capsule) { return static_cast<Pool*>(PyCapsule_GetPointer(capsule, POOL_CAPSULE_NAME)); }

}  // namespace

// pool_keepalive(pool, expiry): idle connections older than `expiry` seconds
// are closed instead of reused; None keeps them for ever.
PyObject* pool_keepalive(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    if (PyTuple_Size(args) < 2) {
        raise_builtin("TypeError", "pool_keepalive expects 2 arguments");
        return nullptr;
    }
    Pool* pool = pool_arg(PyTuple_GetItem(args, 0));
    if (pool == nullptr) return nullptr;
    PyObject* arg = PyTuple_GetItem(args, 1);
    uint64_t expiry = Pool::NO_EXPIRY;
    if (arg != Py_None) {
        double seconds = PyFloat_AsDouble(arg);
        if (seconds == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
        if (std::isnan(seconds) || seconds < 0) {
            raise_builtin("ValueError", "keepalive expiry must be a number >= 0");
            return nullptr;
        }
        // Beyond about 584 years it is the same as never.
        if (seconds < 1.8e10) expiry = static_cast<uint64_t>(seconds * 1e9);
    }
    pool->keepalive_expiry_ns.store(expiry, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

// pool_trim(pool, keep) -> (idle, open, oldest idle age in seconds): closes
// the expired idle connections, then the oldest until at most `keep` stay.
PyObject* pool_trim(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    if (PyTuple_Size(args) < 2) {
        raise_builtin("TypeError", "pool_trim expects 2 arguments");
        return nullptr;
    }
    Pool* pool = pool_arg(PyTuple_GetItem(args, 0));
    if (pool == nullptr) return nullptr;
    Py_ssize_t keep = PyLong_AsSsize_t(PyTuple_GetItem(args, 1));
    if (keep == -1 && PyErr_Occurred() != nullptr) return nullptr;
    if (keep < 0) keep = 0;
    PoolIdleInfo info;
    pool_trim(pool, steady_clock_ns(), static_cast<size_t>(keep), &info);
    return Py_BuildValue("(nId)", static_cast<Py_ssize_t>(info.idle), static_cast<unsigned int>(info.open),
                         static_cast<double>(info.oldest_age_ns) / 1e9);
}

}  // namespace tarnix
