// The hand-back of a job's outcome to its event loop, the release of the
// job's Python references, and the guard that keeps I/O threads out of an
// interpreter that is shutting down.
#include <atomic>
#include <cstring>

#include "binding.h"
#include "platform/spinlock.h"
#include "platform/thread.h"

namespace tarnix {
namespace {

// Once set, no I/O thread takes the GIL again. `g_inside` counts threads
// that passed the check and have not yet let go of the GIL. A thread
// increments the count before it reads the flag; the exit hook sets the
// flag before it reads the count. Both sides use sequentially consistent
// operations, so either the thread sees the flag or the hook sees the
// thread and waits for it.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_inside{0};
bool g_hook_registered = false;  // GIL held whenever it is touched

void forget_idle_states();

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    g_exiting.store(true, std::memory_order_seq_cst);
    if (g_inside.load(std::memory_order_seq_cst) != 0) {
        // Threads already inside need the GIL to get out.
        Py_BEGIN_ALLOW_THREADS
        while (g_inside.load(std::memory_order_seq_cst) != 0) yield_processor();
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

// A forked child has none of the parent's I/O threads, but may have copied a
// count of threads that were inside; the exit hook would wait for them forever.
// The runtime has freed the other threads' states, the idle ones among
// them, and may have made its own-state slot anew.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    g_inside.store(0, std::memory_order_seq_cst);
    forget_idle_states();
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_tarnix_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};
PyMethodDef fork_hook_def = {"_tarnix_fork_hook", after_fork_in_child, METH_NOARGS, nullptr};

bool register_exit_hook() {
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) return false;
    PyObject* hook = PyCFunction_NewEx(&exit_hook_def, nullptr, nullptr);
    PyObject* result = nullptr;
    if (hook != nullptr) result = PyObject_CallMethod(atexit, "register", "O", hook);
    Py_XDECREF(hook);
    Py_DECREF(atexit);
    Py_XDECREF(result);
    return result != nullptr;
}

bool register_fork_hook() {
    PyObject* os = PyImport_ImportModule("os");
    if (os == nullptr) return false;
    PyObject* result = nullptr;
    PyObject* register_at_fork = PyObject_GetAttrString(os, "register_at_fork");
    PyObject* hook = PyCFunction_NewEx(&fork_hook_def, nullptr, nullptr);
    PyObject* no_args = PyTuple_New(0);
    PyObject* kwargs = hook == nullptr ? nullptr : Py_BuildValue("{s:O}", "after_in_child", hook);
    if (register_at_fork != nullptr && no_args != nullptr && kwargs != nullptr)
        result = PyObject_Call(register_at_fork, no_args, kwargs);
    Py_XDECREF(kwargs);
    Py_XDECREF(no_args);
    Py_XDECREF(hook);
    Py_XDECREF(register_at_fork);
    Py_DECREF(os);
    Py_XDECREF(result);
    return result != nullptr;
}

// True when interpreter shutdown has begun (the threading module marks it
// before exit handlers run). Unknown counts as not begun.
bool shutdown_begun() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* threading = modules == nullptr ? nullptr : PyDict_GetItemString(modules, "threading");
    if (threading == nullptr) return false;
    PyObject* flag = PyObject_GetAttrString(threading, "_SHUTTING_DOWN");
    if (flag == nullptr) {
        PyErr_Clear();
        return false;
    }
    int begun = PyObject_IsTrue(flag);
    Py_DECREF(flag);
    if (begun < 0) PyErr_Clear();
    return begun == 1;
}

}  // namespace

// atexit runs its handlers last registered first and ignores those
// registered while it runs. Registered at import, the hook runs after every
// handler registered later, so requests made or awaited in those handlers
// still settle; only after it does the interpreter start finalising.
bool ensure_exit_hook() {
    if (g_hook_registered) return true;
    if (!register_fork_hook() || !register_exit_hook()) return false;
    g_hook_registered = true;
    // Imported from an exit handler, the hook is never run: with nothing to
    // keep I/O threads out of the finalised interpreter, take no requests.
    if (shutdown_begun()) g_exiting.store(true, std::memory_order_seq_cst);
    return true;
}

bool python_exiting() { return g_exiting.load(std::memory_order_seq_cst); }

bool enter_python() {
    g_inside.fetch_add(1, std::memory_order_seq_cst);
    if (g_exiting.load(std::memory_order_seq_cst)) {
        g_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void leave_python() { g_inside.fetch_sub(1, std::memory_order_seq_cst); }

namespace {

// Python thread states are kept between jobs: a fresh one per job costs
// allocations, the runtime's head lock twice, a thread-id system call, and on
// its first Python call a frame stack that is mapped, faulted in, cleared and
// unmapped again (the unmap interrupts every processor to flush its TLB).
// 64 idle states cover the bursts the parked I/O stacks are sized for, at
// about 20 KiB each; past that a state is deleted.
constexpr size_t MAX_IDLE_STATES = 64;

struct StateCache {
    SpinLock lock;
    size_t count = 0;
    PyThreadState* idle[MAX_IDLE_STATES];
};

StateCache g_states;
// The interpreter whose states are kept; null when states are not kept.
PyInterpreterState* g_interp = nullptr;
// The interpreter's slot for "this thread's own state" (what
// PyGILState_GetThisThreadState reads). A kept state was made on another
// thread, so while one is in use the slot must name it: the debug
// allocator's GIL check (-X dev) and a nested PyGILState_Ensure rely on it.
unsigned long g_own_state_slot = 0;
std::atomic<bool> g_keep_states{false};

// Finds the slot from the calling thread's own state. GIL held.
void find_own_state_slot() {
    unsigned long slot = 0;
    PyThreadState* own = PyGILState_GetThisThreadState();
    bool found = own != nullptr && PyThreadState_GetInterpreter(own) == g_interp &&
                 find_thread_slot(own, &slot);
    g_own_state_slot = slot;
    g_keep_states.store(found, std::memory_order_relaxed);
}

void forget_idle_states() {
    // A thread of the parent may have held the lock at the fork.
    g_states.lock.unlock();
    g_states.count = 0;
    if (g_interp != nullptr) find_own_state_slot();
}

PyThreadState* take_idle_state() {
    SpinGuard guard(g_states.lock);
    return g_states.count == 0 ? nullptr : g_states.idle[--g_states.count];
}

bool give_idle_state(PyThreadState* ts) {
    SpinGuard guard(g_states.lock);
    if (g_states.count == MAX_IDLE_STATES) return false;
    g_states.idle[g_states.count++] = ts;
    return true;
}

bool has_idle_room() {
    SpinGuard guard(g_states.lock);
    return g_states.count < MAX_IDLE_STATES;
}

// How this I/O thread holds Python between settle_job and release_job.
struct ThreadHold {
    PyThreadState* state = nullptr;  // kept without the GIL in between
    bool own = false;                // from the cache (else PyGILState's)
    PyGILState_STATE gil{};
};
thread_local ThreadHold t_hold;

// Takes the GIL, in a kept state when there is one. Counted inside.
void hold_python() {
    if (g_keep_states.load(std::memory_order_relaxed)) {
        PyThreadState* ts = take_idle_state();
        // Made here, a state is bound to this thread's slot by the runtime.
        if (ts == nullptr) ts = PyThreadState_New(g_interp);
        if (ts != nullptr) {
            set_thread_slot(g_own_state_slot, ts);
            if (PyGILState_GetThisThreadState() == ts) {
                PyEval_RestoreThread(ts);
                t_hold.own = true;
                return;
            }
            // Not the runtime's slot after all: stop keeping states. The
            // state is left to the interpreter, which frees it at exit.
            set_thread_slot(g_own_state_slot, nullptr);
            g_keep_states.store(false, std::memory_order_relaxed);
            give_idle_state(ts);
        }
    }
    t_hold.own = false;
    t_hold.gil = PyGILState_Ensure();
}

// Deletes the current state. GIL held; released on return. Clearing may run
// destructors, so it comes first.
void delete_current_state(PyThreadState* ts) {
    PyThreadState_Clear(ts);
    PyEval_SaveThread();
    PyThreadState_Delete(ts);
    set_thread_slot(g_own_state_slot, nullptr);
}

// Lets go of the GIL and of the state. GIL held.
void drop_python() {
    if (!t_hold.own) {
        PyGILState_Release(t_hold.gil);
        return;
    }
    t_hold.own = false;
    if (!has_idle_room()) {
        delete_current_state(PyThreadState_Get());
        return;
    }
    PyThreadState* ts = PyEval_SaveThread();
    if (give_idle_state(ts)) {
        set_thread_slot(g_own_state_slot, nullptr);
        return;
    }
    // Filled up meanwhile.
    PyEval_RestoreThread(ts);
    delete_current_state(ts);
}

// The state settle_job held the GIL in is kept, without the GIL, for
// release_job, and the thread stays counted as inside until then (the exit
// hook waits for it; it only frees engine memory in between).
void keep_thread_state() { t_hold.state = PyEval_SaveThread(); }

// Takes the GIL for release_job: in the kept state when settle_job left one.
// False when the interpreter may no longer be entered.
bool hold_for_release() {
    if (t_hold.state != nullptr) {
        PyEval_RestoreThread(t_hold.state);
        t_hold.state = nullptr;
        return true;
    }
    if (!enter_python()) return false;
    hold_python();
    return true;
}

}  // namespace

// The interpreter the module was imported into keeps its states; another
// (a subinterpreter) gets fresh ones, as PyGILState would give.
void start_keeping_thread_states() {
    PyThreadState* own = PyGILState_GetThisThreadState();
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (own == nullptr || PyThreadState_GetInterpreter(own) != interp) return;
    g_interp = interp;
    find_own_state_slot();
}

namespace {

// Names used on every outcome, made once and kept: an import by name runs
// the import machinery, and a lookup by C string makes a str each time.
PyObject* g_module_name = nullptr;
PyObject* g_settle_name = nullptr;
PyObject* g_schedule_name = nullptr;

bool make_names() {
    if (g_schedule_name != nullptr) return true;
    PyObject* module = PyUnicode_InternFromString("tarnix.core.http");
    PyObject* settle = PyUnicode_InternFromString("_settle");
    PyObject* schedule = PyUnicode_InternFromString("call_soon_threadsafe");
    if (module == nullptr || settle == nullptr || schedule == nullptr) {
        Py_XDECREF(module);
        Py_XDECREF(settle);
        Py_XDECREF(schedule);
        return false;
    }
    g_module_name = module;
    g_settle_name = settle;
    g_schedule_name = schedule;
    return true;
}

// "tarnix.core.http"._settle, from the loaded module when there is one
// (looked up each time, so a replaced _settle is honoured). GIL held.
PyObject* find_settle() {
    if (!make_names()) return nullptr;
    // A loaded module that has _settle is taken from sys.modules as it is:
    // the import system's check that it finished loading costs two
    // attribute lookups per outcome, held under the GIL.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* loaded = modules == nullptr ? nullptr : PyDict_GetItemWithError(modules, g_module_name);  // borrowed
    if (loaded != nullptr && PyModule_Check(loaded)) {
        PyObject* settle = PyObject_GetAttr(loaded, g_settle_name);
        if (settle != nullptr) return settle;
    }
    // Not loaded, or still loading (perhaps in another thread): go through
    // the import system, which waits for it.
    PyErr_Clear();
    PyObject* module = PyImport_GetModule(g_module_name);
    if (module == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        module = PyImport_Import(g_module_name);
        if (module == nullptr) return nullptr;
    }
    PyObject* settle = PyObject_GetAttr(module, g_settle_name);
    Py_DECREF(module);
    return settle;
}

}  // namespace

namespace {

// The Python objects of one outcome, in the order _settle takes them after
// the future.
struct Outcome {
    PyObject* status = nullptr;
    PyObject* headers = nullptr;
    PyObject* body = nullptr;
    PyObject* kind = nullptr;
    PyObject* message = nullptr;

    Outcome() = default;
    Outcome(const Outcome&) = delete;
    Outcome& operator=(const Outcome&) = delete;
    ~Outcome() { clear(); }
    void clear() {
        Py_CLEAR(message);
        Py_CLEAR(kind);
        Py_CLEAR(body);
        Py_CLEAR(headers);
        Py_CLEAR(status);
    }
};

// Header names most servers send, spelt as they send them. Each is made
// once, interned: a response then reuses it instead of decoding a new str,
// and the dict insertion and the client's lookups find its hash made.
const char* const COMMON_NAMES[] = {
    "Server",       "Date",          "Content-Type",  "Content-Length",    "Connection",       "Last-Modified",
    "ETag",         "Accept-Ranges", "Cache-Control", "Expires",           "Vary",             "Location",
    "Keep-Alive",   "Transfer-Encoding", "Content-Encoding", "Set-Cookie",
    "server",       "date",          "content-type",  "content-length",    "connection",       "last-modified",
    "etag",         "accept-ranges", "cache-control", "expires",           "vary",             "location",
    "keep-alive",   "transfer-encoding", "content-encoding", "set-cookie",
};
constexpr size_t COMMON_COUNT = sizeof(COMMON_NAMES) / sizeof(COMMON_NAMES[0]);
PyObject* g_common_str[COMMON_COUNT];
size_t g_common_len[COMMON_COUNT];
// The interpreter the names belong to; null until they are made.
PyInterpreterState* g_names_interp = nullptr;
bool g_names_tried = false;

// True when the common names may be used in the current interpreter. GIL
// held. Made on first use; when they cannot be, names are decoded as any other.
bool common_names_ready() {
    if (!g_names_tried) {
        g_names_tried = true;
        for (size_t i = 0; i < COMMON_COUNT; ++i) {
            g_common_len[i] = std::strlen(COMMON_NAMES[i]);
            g_common_str[i] = PyUnicode_InternFromString(COMMON_NAMES[i]);
            if (g_common_str[i] == nullptr) {
                PyErr_Clear();
                for (PyObject*& str : g_common_str) Py_CLEAR(str);
                return false;
            }
        }
        g_names_interp = PyInterpreterState_Get();
    }
    return g_names_interp != nullptr && g_names_interp == PyInterpreterState_Get();
}

// The index of the common name with exactly these bytes, or -1.
int common_index(const uint8_t* name, size_t len) {
    for (size_t i = 0; i < COMMON_COUNT; ++i) {
        if (g_common_len[i] == len && COMMON_NAMES[i][0] == static_cast<char>(name[0]) &&
            std::memcmp(COMMON_NAMES[i], name, len) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// The last value seen under each common name, when short: a server sends
// the same Server, Connection, Content-Type, even Date (for a second) on
// response after response, and a match reuses the str made for it.
constexpr size_t MAX_KEPT_VALUE = 48;
struct KeptValue {
    PyObject* str = nullptr;
    size_t len = 0;
    char bytes[MAX_KEPT_VALUE];
};
KeptValue g_kept_values[COMMON_COUNT];

// A new reference to the value's str, or null with an exception set. The
// value's bytes decode strictly, as any other value's.
PyObject* common_value(size_t index, const uint8_t* value, size_t len) {
    KeptValue& kept = g_kept_values[index];
    if (kept.str != nullptr && kept.len == len && (len == 0 || std::memcmp(kept.bytes, value, len) == 0)) {
        Py_INCREF(kept.str);
        return kept.str;
    }
    PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(value), static_cast<Py_ssize_t>(len), "strict");
    if (str != nullptr && len <= MAX_KEPT_VALUE) {
        PyObject* old = kept.str;
        Py_INCREF(str);
        kept.str = str;
        Py_XDECREF(old);
        kept.len = len;
        if (len != 0) std::memcpy(kept.bytes, value, len);
    }
    return str;
}

// A header that is not UTF-8 is left out and the rest delivered; running
// out of memory is a failure of the whole dict, never a silently lost header.
PyObject* make_headers(const HeaderEntry* headers, size_t count) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    bool common = count != 0 && common_names_ready();
    for (size_t i = 0; i < count; ++i) {
        const HeaderEntry& h = headers[i];
        int index = common && h.name_len != 0 ? common_index(h.name, h.name_len) : -1;
        PyObject* name;
        PyObject* value = nullptr;
        if (index >= 0) {
            name = g_common_str[index];
            Py_INCREF(name);
            value = common_value(static_cast<size_t>(index), h.value, h.value_len);
        } else {
            name = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(h.name), static_cast<Py_ssize_t>(h.name_len),
                                        "strict");
            if (name != nullptr)
                value = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(h.value),
                                             static_cast<Py_ssize_t>(h.value_len), "strict");
        }
        int rc = 0;
        if (value != nullptr) {
            rc = PyDict_SetItem(dict, name, value);
        } else if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
        } else {
            rc = -1;
        }
        Py_XDECREF(name);
        Py_XDECREF(value);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

// False with an exception set when any object cannot be made; `out` then
// holds nothing.
bool make_outcome(Outcome& out, int32_t status, const HeaderEntry* headers, size_t header_count,
                  const uint8_t* body, size_t body_len, int32_t kind, const char* message) {
    out.headers = make_headers(headers, header_count);
    if (out.headers != nullptr)
        out.body = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body), static_cast<Py_ssize_t>(body_len));
    if (out.body != nullptr) out.status = PyLong_FromLong(status);
    if (out.status != nullptr) out.kind = PyLong_FromLong(kind);
    if (out.kind != nullptr) out.message = PyUnicode_FromString(message);
    if (out.message != nullptr) return true;
    out.clear();
    return false;
}

// Schedules _settle(future, ...) on the job's loop. A failure (a closed loop,
// say) is dropped: nothing may escape this thread.
void schedule_settle(Job* job, const Outcome& out) {
    PyObject* settle = find_settle();
    PyObject* result = nullptr;
    // Calls the method without making a bound method object.
    if (settle != nullptr)
        result = PyObject_CallMethodObjArgs(static_cast<PyObject*>(job->loop), g_schedule_name, settle,
                                            static_cast<PyObject*>(job->future), out.status, out.headers, out.body,
                                            out.kind, out.message, nullptr);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
    Py_XDECREF(settle);
}

}  // namespace

void settle_job(Job* job, int32_t status, const HeaderEntry* headers, size_t header_count, const uint8_t* body,
                size_t body_len, int32_t kind, const char* message) {
    if (!enter_python()) return;
    hold_python();
    Outcome out;
    bool made = make_outcome(out, status, headers, header_count, body, body_len, kind, message);
    if (!made) {
        // A response that does not fit in memory as Python objects still
        // completes its future, as a failure.
        PyErr_Clear();
        made = make_outcome(out, 0, nullptr, 0, nullptr, 0, 1, "out of memory reading response");
    }
    if (made) {
        schedule_settle(job, out);
    } else {
        PyErr_Clear();  // not even the failure could be made
    }
    out.clear();
    keep_thread_state();
}

void release_job(Job* job) {
    if (hold_for_release()) {
        Py_XDECREF(static_cast<PyObject*>(job->future));
        Py_XDECREF(static_cast<PyObject*>(job->loop));
        // May run the pool's destructor; this job's connection is already
        // back in the pool or closed.
        Py_XDECREF(static_cast<PyObject*>(job->pool_owner));
        // Back in the cache before the exit hook may let finalisation free it.
        drop_python();
        leave_python();
    }
    // After interpreter exit began the references are leaked on purpose:
    // the objects may no longer be touched.
    job->future = job->loop = job->pool_owner = nullptr;
    free_job(job);
}

}  // namespace tarnix
