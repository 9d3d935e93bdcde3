// The extension module "_tarnix": definition, method table and raising.
#include "binding.h"

#include <climits>

namespace tarnix {

void raise_builtin(const char* exception_name, const char* message) {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return;
    PyObject* cls = PyObject_GetAttrString(builtins, exception_name);
    if (cls != nullptr) {
        PyErr_SetString(cls, message);
        Py_DECREF(cls);
    }
    Py_DECREF(builtins);
}

bool int32_arg(PyObject* obj, int32_t* out) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred() != nullptr) return false;
    // C long is 64-bit here; keep the 32-bit range the interface promises.
    if (v < INT32_MIN || v > INT32_MAX) {
        raise_builtin("OverflowError", "Python int too large to convert to C long");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

namespace {

PyObject* read_body(PyObject*, PyObject*) {
    raise_builtin("NotImplementedError", "tarnix: read_body() has no arena to read yet");
    return nullptr;
}

}  // namespace
}  // namespace tarnix

extern "C" {

__attribute__((visibility("default"))) PyMethodDef tarnix_module_methods[] = {
    {"pool_create", tarnix::pool_create, METH_VARARGS, "Create a native connection pool for an origin."},
    {"submit", tarnix::submit, METH_VARARGS, "Submit an HTTP request against a pool."},
    {"read_body", tarnix::read_body, METH_VARARGS, "Copy a response body out of the native arena."},
    {"submit_wait", tarnix::submit_wait, METH_VARARGS,
     "Run an HTTP request against a pool and wait for its outcome, the GIL released."},
    {"submit_limited", tarnix::submit_limited, METH_VARARGS,
     "Submit an HTTP request against a pool, with a limit on the bytes of its response."},
    {"pool_create_via", tarnix::pool_create_via, METH_VARARGS,
     "Create a native connection pool whose connections go through a proxy or a Unix socket."},
    {"abandon", tarnix::abandon, METH_O, "Stop the running request submitted with this future."},
    {"client_cert_load", tarnix::client_cert_load, METH_VARARGS,
     "Load a client certificate and its key for pool_create_with_cert."},
    {"pool_create_with_cert", tarnix::pool_create_with_cert, METH_VARARGS,
     "Create a native connection pool for an origin that shows a client certificate."},
    {"download_new", tarnix::download_new, METH_O, "A file for a request's body, for submit_limited and submit_wait."},
    {"download_progress", tarnix::download_progress, METH_O, "Bytes of a download written so far, and its length."},
    {"pool_keepalive", tarnix::pool_keepalive, METH_VARARGS, "Set how long an idle connection of a pool may be reused."},
    {"pool_trim", tarnix::pool_trim, METH_VARARGS,
     "Close a pool's expired idle connections, then the oldest beyond a count; report what is left."},
    {nullptr, nullptr, 0, nullptr},
};

}  // extern "C"

namespace {

PyModuleDef tarnix_module = {
    PyModuleDef_HEAD_INIT,
    "_tarnix",
    "tarnix native engine: HTTP, SSE, WebSocket.",
    -1,
    tarnix_module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarnix(void) {
    PyObject* module = PyModule_Create2(&tarnix_module, 3);
    // The exit hook must be in place before any handler that may make a
    // request is registered.
    if (module != nullptr && !tarnix::init_handback()) Py_CLEAR(module);
    return module;
}
