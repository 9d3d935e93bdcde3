// pool_create and the pool capsule.
#include <cstring>

#include "binding.h"
#include "http/pool.h"
#include "platform/clock.h"
#include "tls/ca_bundle.h"

namespace tarnix {
namespace {

void pool_destructor(PyObject* capsule) {
    // IsValid never sets an exception, so a pending one is left as it is.
    if (!PyCapsule_IsValid(capsule, POOL_CAPSULE_NAME)) return;
    auto* pool = static_cast<Pool*>(PyCapsule_GetPointer(capsule, POOL_CAPSULE_NAME));
    if (pool != nullptr) pool_release(pool);
}

// The path goes to the file system as a C string: an embedded NUL would
// silently name another file, so such a path cannot be opened.
// Pools naming the same file share one parse of it. A first parse can take
// tens of milliseconds: other Python threads run meanwhile.
bool load_ca_file(Pool* pool, const char* path, Py_ssize_t path_len) {
    if (std::memchr(path, '\0', static_cast<size_t>(path_len)) != nullptr) return false;
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = ca_bundle_share_pem_file(&pool->ca_bundle, path, wall_clock_seconds());
    Py_END_ALLOW_THREADS
    return ok;
}

}  // namespace

PyObject* pool_create(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    if (PyTuple_Size(args) < 8) {
        raise_builtin("TypeError", "pool_create expects 8 arguments");
        return nullptr;
    }
    Py_ssize_t host_len = 0;
    const char* host = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(args, 0), &host_len);
    if (host == nullptr) return nullptr;
    int32_t port = 0;
    if (!int32_arg(PyTuple_GetItem(args, 1), &port)) return nullptr;
    int tls = PyObject_IsTrue(PyTuple_GetItem(args, 2));
    if (tls < 0) return nullptr;
    int32_t flag = 0, max_conn = 0, res_a = 0, res_b = 0;
    if (!int32_arg(PyTuple_GetItem(args, 3), &flag)) return nullptr;
    if (!int32_arg(PyTuple_GetItem(args, 4), &max_conn)) return nullptr;
    if (!int32_arg(PyTuple_GetItem(args, 5), &res_a)) return nullptr;
    if (!int32_arg(PyTuple_GetItem(args, 6), &res_b)) return nullptr;
    Py_ssize_t path_len = 0;
    const char* path = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(args, 7), &path_len);
    if (path == nullptr) return nullptr;

    Pool* pool = pool_new();
    if (pool == nullptr) {
        raise_builtin("MemoryError", "tarnix: failed to allocate connection pool");
        return nullptr;
    }
    if (!pool->host.assign_copy(host, static_cast<size_t>(host_len)) ||
        !pool->ca_path.assign_copy(path, static_cast<size_t>(path_len))) {
        pool_release(pool);
        raise_builtin("MemoryError", "tarnix: failed to allocate connection pool");
        return nullptr;
    }
    pool->port = static_cast<uint16_t>(port);
    pool->use_tls = tls ? 1 : 0;
    pool->reserved_flag = static_cast<uint8_t>(flag);
    pool->max_connections = max_conn == 0 ? 1u : static_cast<uint32_t>(max_conn);
    pool->reserved_a = static_cast<uint32_t>(res_a);
    pool->reserved_b = static_cast<uint32_t>(res_b);
    pool->open_connections = 0;

    if (pool->use_tls && path_len != 0 && !load_ca_file(pool, path, path_len)) {
        pool_release(pool);
        raise_builtin("RuntimeError", "tarnix: failed to load the TLS CA bundle");
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(pool, POOL_CAPSULE_NAME, pool_destructor);
    if (capsule == nullptr) pool_release(pool);
    return capsule;
}

}  // namespace tarnix
