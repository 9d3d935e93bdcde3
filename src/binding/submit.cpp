// submit: copies one request out of Python objects into a job and starts
// the job's I/O thread.
#include <cstdint>
#include <cstring>
#include <new>

#include "binding.h"
#include "http/pool.h"
#include "http/request.h"
#include "platform/heap.h"
#include "platform/thread.h"
#include "tls/exit_gate.h"

namespace tarnix {
namespace {

const JobHooks JOB_HOOKS = {finish_job};

void io_thread_main(void* arg) {
    auto* job = static_cast<Job*>(arg);
    bool tls = job->pool->use_tls != 0;  // the job is gone after run_job
    run_job(job, JOB_HOOKS);
    if (tls) tls_thread_end();
}

void free_entries(HeaderEntry* entries, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].name_len != 0) heap_free(const_cast<uint8_t*>(entries[i].name));
        if (entries[i].value_len != 0) heap_free(const_cast<uint8_t*>(entries[i].value));
    }
    if (entries != nullptr) heap_free(entries);
}

// Copies n bytes into a buffer of their own; an empty copy owns nothing.
bool copy_bytes(const char* src, Py_ssize_t n, const uint8_t** out) {
    *out = nullptr;
    if (n == 0) return true;
    auto* p = static_cast<uint8_t*>(heap_alloc(static_cast<size_t>(n)));
    if (p == nullptr) return false;
    std::memcpy(p, src, static_cast<size_t>(n));
    *out = p;
    return true;
}

// Header lists must be a list of tuples of at least two items. Checked
// before anything is copied, so a bad shape is a TypeError, not a failed copy.
bool check_header_shape(PyObject* list) {
    if (!PyList_Check(list)) {
        raise_builtin("TypeError", "submit: headers must be a list of (name, value) tuples");
        return false;
    }
    Py_ssize_t n = PyList_Size(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (!PyTuple_Check(item) || PyTuple_Size(item) < 2) {
            raise_builtin("TypeError", "submit: each header must be a (name, value) tuple");
            return false;
        }
    }
    return true;
}

enum class Converted : uint8_t { Ok, Failed, BadName, BadValue };

const uint8_t* bytes_of(const char* p) { return reinterpret_cast<const uint8_t*>(p); }

// Converts the (already shape-checked) list; anything but Ok leaves nothing
// allocated and no exception set. Names and values are checked before they
// are copied: this is the last step before the wire, whatever built them.
Converted convert_headers(PyObject* list, HeaderEntry** out, size_t* out_count) {
    *out = nullptr;
    *out_count = 0;
    auto n = static_cast<size_t>(PyList_Size(list));
    if (n == 0) return Converted::Ok;
    if (n > SIZE_MAX / sizeof(HeaderEntry)) return Converted::Failed;
    auto* entries = static_cast<HeaderEntry*>(heap_alloc(n * sizeof(HeaderEntry)));
    if (entries == nullptr) return Converted::Failed;
    Converted status = Converted::Ok;
    size_t built = 0;
    for (; built < n; ++built) {
        PyObject* item = PyList_GetItem(list, static_cast<Py_ssize_t>(built));
        HeaderEntry& e = entries[built];
        e = HeaderEntry{nullptr, 0, nullptr, 0};
        Py_ssize_t name_len = 0, value_len = 0;
        const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(item, 0), &name_len);
        if (name == nullptr) break;
        const char* value = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(item, 1), &value_len);
        if (value == nullptr) break;
        if (!is_header_name(bytes_of(name), static_cast<size_t>(name_len))) {
            status = Converted::BadName;
            break;
        }
        if (!is_header_value(bytes_of(value), static_cast<size_t>(value_len))) {
            status = Converted::BadValue;
            break;
        }
        if (!copy_bytes(name, name_len, &e.name)) break;
        e.name_len = static_cast<size_t>(name_len);
        if (!copy_bytes(value, value_len, &e.value)) {
            if (e.name_len != 0) heap_free(const_cast<uint8_t*>(e.name));
            break;
        }
        e.value_len = static_cast<size_t>(value_len);
    }
    if (built != n) {
        // Conversion errors are reported as a failed build, not as themselves.
        PyErr_Clear();
        free_entries(entries, built);
        return status == Converted::Ok ? Converted::Failed : status;
    }
    *out = entries;
    *out_count = n;
    return Converted::Ok;
}

// The request of arguments 0 to 4 (pool, method ordinal, target, headers,
// body) as a job, or null with an exception set. `arg_count` is what the
// function expects; extras are ignored.
Job* build_job(PyObject* args, Py_ssize_t arg_count, const char* count_message) {
    if (PyTuple_Size(args) < arg_count) {
        raise_builtin("TypeError", count_message);
        return nullptr;
    }
    PyObject* capsule = PyTuple_GetItem(args, 0);
    auto* pool = static_cast<Pool*>(PyCapsule_GetPointer(capsule, POOL_CAPSULE_NAME));
    if (pool == nullptr) return nullptr;
    int32_t method = 0;
    if (!int32_arg(PyTuple_GetItem(args, 1), &method)) return nullptr;
    if (static_cast<uint32_t>(method) >= 7) {
        raise_builtin("ValueError", "submit: method ordinal out of range");
        return nullptr;
    }
    Py_ssize_t target_len = 0;
    const char* target = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(args, 2), &target_len);
    if (target == nullptr) return nullptr;
    if (!is_request_target(bytes_of(target), static_cast<size_t>(target_len))) {
        raise_builtin("ValueError", "submit: request target holds a space or control character");
        return nullptr;
    }
    char* body = nullptr;
    Py_ssize_t body_len = 0;
    if (PyBytes_AsStringAndSize(PyTuple_GetItem(args, 4), &body, &body_len) < 0) return nullptr;
    PyObject* header_list = PyTuple_GetItem(args, 3);
    if (!check_header_shape(header_list)) return nullptr;
    if (python_exiting()) {
        // Only a handler that ran after the exit hook gets here; its outcome
        // could never be delivered.
        raise_builtin("RuntimeError", "tarnix: the interpreter is shutting down");
        return nullptr;
    }

    OwnedBytes host_copy, target_copy, body_copy;
    HeaderEntry* entries = nullptr;
    size_t entry_count = 0;
    if (!host_copy.assign_copy(pool->host.data(), pool->host.size()) ||
        !target_copy.assign_copy(target, static_cast<size_t>(target_len)) ||
        !body_copy.assign_copy(body, static_cast<size_t>(body_len))) {
        raise_builtin("MemoryError", "tarnix: out of memory building request");
        return nullptr;
    }
    switch (convert_headers(header_list, &entries, &entry_count)) {
        case Converted::Ok: break;
        case Converted::BadName:
            raise_builtin("ValueError", "submit: header name is empty or not a token");
            return nullptr;
        case Converted::BadValue:
            raise_builtin("ValueError", "submit: header value holds CR, LF or NUL");
            return nullptr;
        default:
            raise_builtin("MemoryError", "tarnix: out of memory building request");
            return nullptr;
    }
    void* block = heap_alloc(sizeof(Job));
    if (block == nullptr) {
        free_entries(entries, entry_count);
        raise_builtin("MemoryError", "tarnix: out of memory building request");
        return nullptr;
    }
    Job* job = new (block) Job();
    job->pool = pool;
    job->host = static_cast<OwnedBytes&&>(host_copy);
    job->target = static_cast<OwnedBytes&&>(target_copy);
    job->headers = entries;
    job->header_count = entry_count;
    job->body = static_cast<OwnedBytes&&>(body_copy);
    job->port = pool->port;
    job->method = static_cast<uint8_t>(method);
    // The capsule stays alive until the job is released, so dropping the
    // last Python reference to a pool cannot free it under a running job.
    Py_INCREF(capsule);
    job->pool_owner = capsule;
    return job;
}

// False with an exception set, the job disposed of, when no thread starts.
bool start_job(Job* job) {
    // Creating a thread takes the kernel tens of microseconds; finished jobs
    // can hand back their outcomes meanwhile.
    bool spawned;
    Py_BEGIN_ALLOW_THREADS
    spawned = spawn_detached_thread(io_thread_main, job);
    Py_END_ALLOW_THREADS
    if (spawned) return true;
    dispose_job(job);
    raise_builtin("RuntimeError", "tarnix: failed to spawn I/O thread");
    return false;
}

// A limit on the bytes of a response: None for none, else an int >= 0.
bool size_limit_arg(PyObject* obj, const char* message, uint64_t* out) {
    *out = UINT64_MAX;
    if (obj == Py_None) return true;
    if (!PyLong_Check(obj)) {
        raise_builtin("TypeError", message);
        return false;
    }
    PyObject* zero = PyLong_FromLong(0);
    PyObject* most = PyLong_FromUnsignedLongLong(UINT64_MAX);
    int negative = zero == nullptr ? -1 : PyObject_RichCompareBool(obj, zero, Py_LT);
    // Beyond 64 bits is as good as no limit.
    int huge = negative != 0 || most == nullptr ? -1 : PyObject_RichCompareBool(obj, most, Py_GE);
    Py_XDECREF(zero);
    Py_XDECREF(most);
    if (negative == 1) {
        raise_builtin("ValueError", message);
        return false;
    }
    if (huge < 0) return false;
    if (huge == 0) {
        unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
        *out = v;
    }
    return true;
}

// Starts a job built from the first five arguments, to settle `future` on `loop`.
PyObject* submit_for_future(Job* job, PyObject* future, PyObject* loop) {
    Py_INCREF(future);
    Py_INCREF(loop);
    job->future = future;
    job->loop = loop;
    // A loop that cannot watch a descriptor gets its outcome from the I/O
    // thread, through call_soon_threadsafe.
    bind_to_loop(job, loop);
    register_job(job);
    if (!start_job(job)) return nullptr;
    return PyLong_FromLong(0);
}

}  // namespace

PyObject* submit(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    free_orphans();
    Job* job = build_job(args, 9, "submit expects 9 arguments");
    if (job == nullptr) return nullptr;
    return submit_for_future(job, PyTuple_GetItem(args, 7), PyTuple_GetItem(args, 8));
}

// submit_limited(pool, method, target, headers, body, max_response_size,
// future, loop[, download]): submit with a limit on the bytes of the
// response's head and body as they arrive (None: no limit); with a download
// (download_new), the body goes to its file and the outcome's body is empty.
PyObject* submit_limited(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    free_orphans();
    if (PyTuple_Size(args) < 8) {
        raise_builtin("TypeError", "submit_limited expects 8 arguments");
        return nullptr;
    }
    uint64_t limit = UINT64_MAX;
    if (!size_limit_arg(PyTuple_GetItem(args, 5), "submit_limited: max_response_size must be None or an int >= 0",
                        &limit))
        return nullptr;
    Job* job = build_job(args, 8, "submit_limited expects 8 arguments");
    if (job == nullptr) return nullptr;
    job->max_response = limit;
    // An optional ninth argument: the download the body goes to.
    if (PyTuple_Size(args) > 8 && !attach_download(job, PyTuple_GetItem(args, 8))) {
        dispose_job(job);
        return nullptr;
    }
    return submit_for_future(job, PyTuple_GetItem(args, 6), PyTuple_GetItem(args, 7));
}

// submit_wait(pool, method, target, headers, body, timeout[,
// max_response_size[, download]]): runs the request and waits for it with the GIL
// released. Returns (status, headers, body, kind, message), or None when
// `timeout` seconds (None: no limit) pass first; the request is then stopped
// and its connection closed.
PyObject* submit_wait(PyObject*, PyObject* args) {
    if (!in_home_interpreter()) return nullptr;
    free_orphans();
    if (PyTuple_Size(args) < 6) {
        raise_builtin("TypeError", "submit_wait expects 6 arguments");
        return nullptr;
    }
    double timeout = -1.0;
    PyObject* limit = PyTuple_GetItem(args, 5);
    if (limit != Py_None) {
        timeout = PyFloat_AsDouble(limit);
        if (timeout == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
        if (!(timeout >= 0.0)) {
            raise_builtin("ValueError", "submit_wait: timeout must be None or a non-negative number");
            return nullptr;
        }
    }
    uint64_t max_response = UINT64_MAX;
    if (PyTuple_Size(args) > 6 &&
        !size_limit_arg(PyTuple_GetItem(args, 6), "submit_wait: max_response_size must be None or an int >= 0",
                        &max_response))
        return nullptr;
    Job* job = build_job(args, 6, "submit_wait expects 6 arguments");
    if (job == nullptr) return nullptr;
    job->max_response = max_response;
    if (PyTuple_Size(args) > 7 && !attach_download(job, PyTuple_GetItem(args, 7))) {
        dispose_job(job);
        return nullptr;
    }
    job->waited = true;
    if (!start_job(job)) return nullptr;
    return wait_for_job(job, timeout);
}

}  // namespace tarnix
