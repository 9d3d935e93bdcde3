// pool_create and the pool capsule.
#include <cstring>

#include "binding.h"
#include "http/pool.h"
#include "http/request.h"
#include "platform/clock.h"
#include "platform/net.h"
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

// The longest Proxy-Authorization value taken: it goes into a CONNECT
// request built on the I/O thread's stack.
constexpr Py_ssize_t MAX_PROXY_AUTHORIZATION = 4096;

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

namespace {

// A str argument as UTF-8 without a NUL (each goes to a C API or the wire).
bool text_arg(PyObject* obj, const char* what, const char** out, Py_ssize_t* len) {
    *out = PyUnicode_AsUTF8AndSize(obj, len);
    if (*out == nullptr) return false;
    if (std::memchr(*out, '\0', static_cast<size_t>(*len)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "pool_create_via: %s must not contain NUL", what);
        return false;
    }
    return true;
}

}  // namespace

// pool_create_via(host, port, tls, max_connections, ca_path, proxy_host,
// proxy_port, proxy_authorization, unix_path[, client_cert]): a pool whose
// connections go through an HTTP proxy (proxy_host not empty) or a Unix
// socket (unix_path not empty), showing a client_cert_load certificate when
// one is given. A plain pool with a proxy serves every origin: its requests
// carry absolute-form targets and their own Host header.
PyObject* pool_create_via(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    if (PyTuple_Size(args) < 9) {
        raise_builtin("TypeError", "pool_create_via expects 9 arguments");
        return nullptr;
    }
    const char *proxy_host, *auth, *unix_path;
    Py_ssize_t proxy_host_len = 0, auth_len = 0, unix_len = 0;
    int32_t proxy_port = 0;
    if (!text_arg(PyTuple_GetItem(args, 5), "the proxy host", &proxy_host, &proxy_host_len) ||
        !int32_arg(PyTuple_GetItem(args, 6), &proxy_port) ||
        !text_arg(PyTuple_GetItem(args, 7), "the proxy authorization", &auth, &auth_len) ||
        !text_arg(PyTuple_GetItem(args, 8), "the unix socket path", &unix_path, &unix_len))
        return nullptr;
    if (proxy_host_len != 0 && unix_len != 0) {
        raise_builtin("ValueError", "pool_create_via: a proxy or a unix socket, not both");
        return nullptr;
    }
    if (proxy_host_len != 0 && (proxy_port < 1 || proxy_port > 65535)) {
        raise_builtin("ValueError", "pool_create_via: the proxy port must be 1 to 65535");
        return nullptr;
    }
    if (!is_header_value(reinterpret_cast<const uint8_t*>(auth), static_cast<size_t>(auth_len)) ||
        auth_len > MAX_PROXY_AUTHORIZATION) {
        raise_builtin("ValueError", "pool_create_via: the proxy authorization is not a usable header value");
        return nullptr;
    }
    if (unix_len != 0 && !unix_sockets_supported()) {
        raise_builtin("ValueError", "unix sockets are not supported on this system");
        return nullptr;
    }
    PyObject* cert = PyTuple_Size(args) > 9 ? PyTuple_GetItem(args, 9) : Py_None;
    if (cert != Py_None && !PyCapsule_IsValid(cert, CLIENT_CERT_CAPSULE_NAME)) {
        raise_builtin("TypeError", "pool_create_via: the certificate is not from client_cert_load");
        return nullptr;
    }
    if (static_cast<size_t>(unix_len) > unix_path_max()) {
        raise_builtin("ValueError", "the unix socket path is too long for this system");
        return nullptr;
    }

    PyObject* base = Py_BuildValue("(OOOiiiiO)", PyTuple_GetItem(args, 0), PyTuple_GetItem(args, 1),
                                   PyTuple_GetItem(args, 2), 0, 0, 0, 0, PyTuple_GetItem(args, 4));
    if (base == nullptr) return nullptr;
    // The connection limit keeps pool_create's conversion.
    Py_INCREF(PyTuple_GetItem(args, 3));
    if (PyTuple_SetItem(base, 4, PyTuple_GetItem(args, 3)) != 0) {
        Py_DECREF(base);
        return nullptr;
    }
    PyObject* capsule = pool_create(nullptr, base);
    Py_DECREF(base);
    if (capsule == nullptr) return nullptr;
    auto* pool = static_cast<Pool*>(PyCapsule_GetPointer(capsule, POOL_CAPSULE_NAME));
    Via& via = pool->via;
    via.proxy_port = static_cast<uint16_t>(proxy_port);
    if (!via.proxy_host.assign_copy(proxy_host, static_cast<size_t>(proxy_host_len)) ||
        !via.proxy_authorization.assign_copy(auth, static_cast<size_t>(auth_len)) ||
        !via.unix_path.assign_copy(unix_path, static_cast<size_t>(unix_len))) {
        Py_DECREF(capsule);
        raise_builtin("MemoryError", "tarnix: failed to allocate connection pool");
        return nullptr;
    }
    if (cert != Py_None && !attach_client_cert(capsule, cert)) Py_CLEAR(capsule);
    return capsule;
}

}  // namespace tarnix
