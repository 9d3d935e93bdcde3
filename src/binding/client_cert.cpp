// client_cert_load and the capsule that carries a loaded client certificate
// to the pools that show it.
#include <cstring>

#include "binding.h"
#include "http/pool.h"
#include "tls/client_cert.h"

namespace tarnix {
namespace {

void client_cert_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, CLIENT_CERT_CAPSULE_NAME)) return;
    client_cert_free(static_cast<ClientCert*>(PyCapsule_GetPointer(capsule, CLIENT_CERT_CAPSULE_NAME)));
}

// A path as a C string; an embedded NUL would name another file.
const char* path_arg(PyObject* obj, const char* message) {
    Py_ssize_t len = 0;
    const char* path = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &len) : nullptr;
    if (path == nullptr || len == 0 || std::memchr(path, '\0', static_cast<size_t>(len)) != nullptr) {
        PyErr_Clear();
        raise_builtin("ValueError", message);
        return nullptr;
    }
    return path;
}

}  // namespace

// client_cert_load(cert_path, key_path or None, password or None): the
// certificate, its chain and key, checked against each other. ValueError
// for what cannot be loaded (the message never holds the password).
PyObject* client_cert_load(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    if (PyTuple_Size(args) != 3) {
        raise_builtin("TypeError", "client_cert_load expects 3 arguments");
        return nullptr;
    }
    const char* cert_path = path_arg(PyTuple_GetItem(args, 0), "client_cert_load: bad certificate path");
    if (cert_path == nullptr) return nullptr;
    PyObject* key_obj = PyTuple_GetItem(args, 1);
    const char* key_path = nullptr;
    if (key_obj != Py_None && (key_path = path_arg(key_obj, "client_cert_load: bad key path")) == nullptr)
        return nullptr;
    PyObject* pw_obj = PyTuple_GetItem(args, 2);
    Slice password{};
    if (pw_obj != Py_None) {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_Check(pw_obj)) {
            if (PyBytes_AsStringAndSize(pw_obj, &p, &n) < 0) return nullptr;
        } else if (PyUnicode_Check(pw_obj)) {
            const char* u = PyUnicode_AsUTF8AndSize(pw_obj, &n);
            if (u == nullptr) return nullptr;
            p = const_cast<char*>(u);
        } else {
            raise_builtin("TypeError", "client_cert_load: the password must be str or bytes");
            return nullptr;
        }
        password = Slice{reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(n)};
    }
    ClientCert* cert = nullptr;
    ClientCertStatus status;
    // Reading files and decrypting a key take time: other threads run meanwhile.
    Py_BEGIN_ALLOW_THREADS
    status = tarnix::client_cert_load(cert_path, key_path, password, &cert);
    Py_END_ALLOW_THREADS
    if (status != ClientCertStatus::Ok) {
        raise_builtin(status == ClientCertStatus::OutOfMemory ? "MemoryError" : "ValueError",
                      client_cert_message(status));
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(cert, CLIENT_CERT_CAPSULE_NAME, client_cert_destructor);
    if (capsule == nullptr) client_cert_free(cert);
    return capsule;
}

bool attach_client_cert(PyObject* pool_capsule, PyObject* cert_capsule) {
    auto* cert = static_cast<ClientCert*>(PyCapsule_GetPointer(cert_capsule, CLIENT_CERT_CAPSULE_NAME));
    if (cert == nullptr) return false;
    auto* pool = static_cast<Pool*>(PyCapsule_GetPointer(pool_capsule, POOL_CAPSULE_NAME));
    if (pool == nullptr) return false;
    client_cert_ref(cert);
    pool->client_cert.reset(cert);
    return true;
}

// pool_create_with_cert(host, port, tls, flag, max_connections, a, b,
// ca_path, client_cert): pool_create's pool, showing the certificate of a
// client_cert_load capsule. Set before the pool is handed out, so no job
// ever sees it change.
PyObject* pool_create_with_cert(PyObject* self, PyObject* args) {
    if (PyTuple_Size(args) != 9) {
        raise_builtin("TypeError", "pool_create_with_cert expects 9 arguments");
        return nullptr;
    }
    if (!PyCapsule_IsValid(PyTuple_GetItem(args, 8), CLIENT_CERT_CAPSULE_NAME)) {
        raise_builtin("TypeError", "pool_create_with_cert: the certificate is not from client_cert_load");
        return nullptr;
    }
    PyObject* pool_args = PyTuple_GetSlice(args, 0, 8);
    if (pool_args == nullptr) return nullptr;
    PyObject* capsule = pool_create(self, pool_args);
    Py_DECREF(pool_args);
    if (capsule == nullptr) return nullptr;
    if (!attach_client_cert(capsule, PyTuple_GetItem(args, 8))) Py_CLEAR(capsule);
    return capsule;
}

}  // namespace tarnix
