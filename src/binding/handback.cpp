// The hand-back of finished jobs to Python. A loop that can watch a
// descriptor gets a queue and a reader: I/O threads push their jobs and never
// take the GIL, and the reader delivers them on the loop's own thread. Any
// other loop gets its outcome through call_soon_threadsafe, called from the
// I/O thread with the GIL taken. A blocking caller waits for its job itself.
#include <atomic>

#include "binding.h"
#include "http/completion.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace tarnix {
namespace {

// -- names ------------------------------------------------------------------

PyObject* g_module_name = nullptr;
PyObject* g_settle_name = nullptr;
PyObject* g_schedule_name = nullptr;
PyObject* g_add_reader_name = nullptr;

bool make_names() {
    g_module_name = PyUnicode_InternFromString("tarnix.core.http");
    g_settle_name = PyUnicode_InternFromString("_settle");
    g_schedule_name = PyUnicode_InternFromString("call_soon_threadsafe");
    g_add_reader_name = PyUnicode_InternFromString("add_reader");
    return g_module_name != nullptr && g_settle_name != nullptr && g_schedule_name != nullptr &&
           g_add_reader_name != nullptr;
}

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

// -- interpreter exit and fork ------------------------------------------------

// Only I/O threads of loops without a reader take the GIL. Once `g_exiting`
// is set none does any more; `g_inside` counts those past the check. A
// thread increments the count before it reads the flag, the exit hook sets
// the flag before it reads the count (both sequentially consistent), so
// either the thread sees the flag or the hook sees the thread and waits.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_inside{0};
PyInterpreterState* g_home = nullptr;

bool enter_python() {
    g_inside.fetch_add(1, std::memory_order_seq_cst);
    if (g_exiting.load(std::memory_order_seq_cst)) {
        g_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void leave_python() { g_inside.fetch_sub(1, std::memory_order_seq_cst); }

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    g_exiting.store(true, std::memory_order_seq_cst);
    if (g_inside.load(std::memory_order_seq_cst) != 0) {
        // Threads already inside need the GIL to get out.
        Py_BEGIN_ALLOW_THREADS
        while (g_inside.load(std::memory_order_seq_cst) != 0) yield_processor();
        Py_END_ALLOW_THREADS
    }
    free_orphans();
    Py_RETURN_NONE;
}

void forget_loops_after_fork();

// A forked child has none of the parent's I/O threads: the count of those
// inside is the parent's, and so are the loops' descriptors.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    g_inside.store(0, std::memory_order_seq_cst);
    forget_loops_after_fork();
    free_orphans();
    forget_jobs_after_fork();
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_tarnix_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};
PyMethodDef fork_hook_def = {"_tarnix_fork_hook", after_fork_in_child, METH_NOARGS, nullptr};

// module.function(*args, **{keyword: hook}); false with an exception set.
bool register_hook(const char* module_name, const char* function, PyMethodDef* def, const char* keyword) {
    PyObject* module = PyImport_ImportModule(module_name);
    PyObject* fn = module == nullptr ? nullptr : PyObject_GetAttrString(module, function);
    PyObject* hook = fn == nullptr ? nullptr : PyCFunction_NewEx(def, nullptr, nullptr);
    PyObject* args = hook == nullptr ? nullptr : (keyword == nullptr ? PyTuple_Pack(1, hook) : PyTuple_New(0));
    PyObject* kwargs = args == nullptr || keyword == nullptr ? nullptr : Py_BuildValue("{s:O}", keyword, hook);
    PyObject* result = args == nullptr || (keyword != nullptr && kwargs == nullptr)
                           ? nullptr
                           : PyObject_Call(fn, args, kwargs);
    Py_XDECREF(result);
    Py_XDECREF(kwargs);
    Py_XDECREF(args);
    Py_XDECREF(hook);
    Py_XDECREF(fn);
    Py_XDECREF(module);
    return result != nullptr;
}

// True when interpreter shutdown has begun (the threading module marks it
// before exit handlers run). Unknown counts as not begun.
bool shutdown_begun() {
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
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

// -- the GIL path: loops that cannot watch a descriptor -------------------------

// Schedules _settle(future, ...) on the job's loop from this I/O thread. A
// failure (a closed loop, say) is dropped: nothing may escape this thread.
void settle_job(Job* job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    OutcomeObjects out;
    // An abandoned job's future was already completed by the client.
    if (!job->abandoned && make_outcome(out, job->outcome)) {
        PyObject* settle = find_settle();
        PyObject* result = nullptr;
        if (settle != nullptr)
            result = PyObject_CallMethodObjArgs(static_cast<PyObject*>(job->loop), g_schedule_name, settle,
                                                static_cast<PyObject*>(job->future), out.status, out.headers,
                                                out.body, out.kind, out.message, nullptr);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
        Py_XDECREF(settle);
    }
    out.clear();
    PyGILState_Release(gil);
}

void release_job(Job* job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    dispose_job(job);
    PyGILState_Release(gil);
}

// -- loops' queues and readers ---------------------------------------------------

// One loop that watches a queue's descriptor. Owned by the reader's capsule,
// so it lives exactly as long as the loop keeps the reader registered.
struct LoopEntry {
    PyObject* loop = nullptr;      // borrowed: identity only
    PyObject* loop_ref = nullptr;  // weak; its callback unlinks the entry
    CompletionQueue* queue = nullptr;
    LoopEntry* next = nullptr;
    bool linked = false;
};

constexpr const char* READER_CAPSULE = "tarnix.LoopReader";
constexpr const char* ENTRY_CAPSULE = "tarnix.LoopEntry";

// The loops with a reader (GIL held whenever touched), and the last one used.
LoopEntry* g_loops = nullptr;
LoopEntry* g_last = nullptr;

// Types whose add_reader is not implemented (the proactor loop), so that
// their loops go the GIL way without asking again.
constexpr size_t MAX_READERLESS_TYPES = 8;
PyObject* g_readerless[MAX_READERLESS_TYPES];
size_t g_readerless_count = 0;

void unlink_entry(LoopEntry* entry) {
    if (!entry->linked) return;
    entry->linked = false;
    if (g_last == entry) g_last = nullptr;
    for (LoopEntry** p = &g_loops; *p != nullptr; p = &(*p)->next) {
        if (*p == entry) {
            *p = entry->next;
            break;
        }
    }
}

void dispose_all(Job* jobs) {
    while (jobs != nullptr) {
        Job* next = jobs->next;
        dispose_job(jobs);
        jobs = next;
    }
}

// The loop let go of its reader (it closed, or the reader was removed):
// what arrives from now on is an orphan.
void reader_gone(PyObject* capsule) {
    auto* entry = static_cast<LoopEntry*>(PyCapsule_GetPointer(capsule, READER_CAPSULE));
    if (entry == nullptr) {
        PyErr_Clear();
        return;
    }
    unlink_entry(entry);
    Job* pending = entry->queue->close();
    entry->queue->release();
    Py_CLEAR(entry->loop_ref);
    PyMem_Free(entry);
    // Last: dropping references may run arbitrary code.
    dispose_all(pending);
}

// The loop itself is gone while something else still holds its reader: a
// new loop at the same address must not find this entry.
PyObject* loop_gone(PyObject* capsule, PyObject*) {
    auto* entry = static_cast<LoopEntry*>(PyCapsule_GetPointer(capsule, ENTRY_CAPSULE));
    if (entry != nullptr) unlink_entry(entry);
    PyErr_Clear();
    Py_RETURN_NONE;
}

// The reader: delivers every job finished so far, on the loop's thread. An
// exception from _settle does not stop the others; the first is raised
// afterwards for the loop to report.
PyObject* drain(PyObject* capsule, PyObject*) {
    auto* entry = static_cast<LoopEntry*>(PyCapsule_GetPointer(capsule, READER_CAPSULE));
    if (entry == nullptr) return nullptr;
    free_orphans();
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    for (Job* job = entry->queue->take(); job != nullptr;) {
        Job* next = job->next;
        OutcomeObjects out;
        PyObject* result = nullptr;
        // An abandoned job's future was already completed by the client.
        if (!job->abandoned && make_outcome(out, job->outcome)) {
            // The captured bytes go before Python code runs.
            job->outcome.capture.reset();
            PyObject* settle = find_settle();
            if (settle != nullptr)
                result = PyObject_CallFunctionObjArgs(settle, static_cast<PyObject*>(job->future), out.status,
                                                      out.headers, out.body, out.kind, out.message, nullptr);
            Py_XDECREF(settle);
            if (result == nullptr) {
                if (type == nullptr)
                    PyErr_Fetch(&type, &value, &trace);
                else
                    PyErr_WriteUnraisable(capsule);
            }
            Py_XDECREF(result);
        }
        out.clear();
        dispose_job(job);
        job = next;
    }
    if (type == nullptr) Py_RETURN_NONE;
    PyErr_Restore(type, value, trace);
    return nullptr;
}

PyMethodDef drain_def = {"_tarnix_drain", drain, METH_NOARGS, nullptr};
PyMethodDef loop_gone_def = {"_tarnix_loop_gone", loop_gone, METH_O, nullptr};

bool readerless_type(PyObject* type) {
    for (size_t i = 0; i < g_readerless_count; ++i)
        if (g_readerless[i] == type) return true;
    return false;
}

// Registers a reader with the loop; null (no exception set) when the loop
// has no add_reader, or it raises.
LoopEntry* register_loop(PyObject* loop) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(loop));
    if (readerless_type(type)) return nullptr;
    PyObject* add_reader = PyObject_GetAttr(loop, g_add_reader_name);
    if (add_reader == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    auto* entry = static_cast<LoopEntry*>(PyMem_Malloc(sizeof(LoopEntry)));
    CompletionQueue* queue = entry == nullptr ? nullptr : CompletionQueue::create();
    if (queue == nullptr) {
        PyMem_Free(entry);
        Py_DECREF(add_reader);
        return nullptr;
    }
    *entry = LoopEntry{};
    entry->loop = loop;
    entry->queue = queue;
    PyObject* capsule = PyCapsule_New(entry, READER_CAPSULE, reader_gone);
    if (capsule == nullptr) {
        queue->release();
        PyMem_Free(entry);
    }
    // The capsule owns the entry from here: dropping the reader frees it.
    PyObject* reader = capsule == nullptr ? nullptr : PyCFunction_NewEx(&drain_def, capsule, nullptr);
    Py_XDECREF(capsule);
    PyObject* result = reader == nullptr ? nullptr : PyObject_CallFunction(add_reader, "iO", queue->fd(), reader);
    Py_DECREF(add_reader);
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_NotImplementedError) && g_readerless_count < MAX_READERLESS_TYPES) {
            Py_INCREF(type);
            g_readerless[g_readerless_count++] = type;
        }
        PyErr_Clear();
        Py_XDECREF(reader);
        return nullptr;
    }
    Py_DECREF(result);
    // A loop without weak references relies on its reader's end alone.
    PyObject* gone_self = PyCapsule_New(entry, ENTRY_CAPSULE, nullptr);
    PyObject* gone = gone_self == nullptr ? nullptr : PyCFunction_NewEx(&loop_gone_def, gone_self, nullptr);
    Py_XDECREF(gone_self);
    entry->loop_ref = gone == nullptr ? nullptr : PyWeakref_NewRef(loop, gone);
    Py_XDECREF(gone);
    PyErr_Clear();
    entry->linked = true;
    entry->next = g_loops;
    g_loops = entry;
    // The loop holds the reader now.
    Py_DECREF(reader);
    return entry;
}

void forget_loops_after_fork() {
    while (g_loops != nullptr) {
        LoopEntry* entry = g_loops;
        unlink_entry(entry);
        Job* pending = entry->queue->close();
        entry->queue->close_after_fork();
        dispose_all(pending);
    }
}

}  // namespace

bool bind_to_loop(Job* job, PyObject* loop) {
    LoopEntry* entry = g_last;
    if (entry == nullptr || entry->loop != loop) {
        for (entry = g_loops; entry != nullptr && entry->loop != loop; entry = entry->next) {
        }
        if (entry == nullptr) entry = register_loop(loop);
        if (entry == nullptr) return false;
        g_last = entry;
    }
    entry->queue->retain();
    job->queue = entry->queue;
    return true;
}

// -- waiting callers -----------------------------------------------------------

namespace {

constexpr uint32_t HANDOFF_WAITING = 0;
constexpr uint32_t HANDOFF_DONE = 1;
constexpr uint32_t HANDOFF_ABANDONED = 2;
// Signal handlers run at least this often while a caller waits.
constexpr uint32_t WAIT_SLICE_MS = 50;

PyObject* outcome_tuple(Job* job) {
    OutcomeObjects out;
    if (!make_outcome(out, job->outcome)) return nullptr;
    return PyTuple_Pack(5, out.status, out.headers, out.body, out.kind, out.message);
}

}  // namespace

PyObject* wait_for_job(Job* job, double timeout) {
    // Beyond a million seconds is as good as no limit.
    uint64_t left_ms = timeout < 0 || timeout > 1e6 ? UINT64_MAX : static_cast<uint64_t>(timeout * 1000.0 + 0.999);
    bool interrupted = false;
    while (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING && left_ms != 0) {
        uint32_t slice = left_ms < WAIT_SLICE_MS ? static_cast<uint32_t>(left_ms) : WAIT_SLICE_MS;
        Py_BEGIN_ALLOW_THREADS
        wait_on_word_for(&job->handoff, HANDOFF_WAITING, slice);
        Py_END_ALLOW_THREADS
        if (left_ms != UINT64_MAX) left_ms -= slice;
        if (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING && PyErr_CheckSignals() < 0) {
            interrupted = true;
            break;
        }
    }
    // Giving up stops the I/O thread at once (the job is still ours until
    // the exchange below). A job that finished its exchange first is not
    // touched.
    bool stopped = false;
    if (job->handoff.load(std::memory_order_acquire) == HANDOFF_WAITING) stopped = job->gate.abort();
    if (job->handoff.exchange(HANDOFF_ABANDONED, std::memory_order_acq_rel) == HANDOFF_WAITING) {
        // The I/O thread makes it an orphan when it finishes.
        if (interrupted) return nullptr;
        Py_RETURN_NONE;
    }
    if (stopped) {
        // Its outcome is the stop's doing, not the server's.
        dispose_job(job);
        if (interrupted) return nullptr;
        Py_RETURN_NONE;
    }
    // Finished, if only just: the outcome is delivered, not thrown away.
    PyObject* result = interrupted ? nullptr : outcome_tuple(job);
    dispose_job(job);
    if (result == nullptr && !interrupted) raise_builtin("MemoryError", "out of memory reading response");
    return result;
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

// -- module life -------------------------------------------------------------------

bool python_exiting() { return g_exiting.load(std::memory_order_seq_cst); }

bool in_home_interpreter() {
    if (PyInterpreterState_Get() == g_home) return true;
    raise_builtin("ImportError", "tarnix: the native engine can only be used in the main interpreter");
    return false;
}

// atexit runs its handlers last registered first and ignores those
// registered while it runs. Registered at import, the exit hook runs after
// every handler registered later, so requests made or awaited in those
// handlers still settle; only after it does the interpreter start finalising.
bool init_handback() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (PyInterpreterState_GetID(interp) != 0) {
        raise_builtin("ImportError", "tarnix: the native engine can only be used in the main interpreter");
        return false;
    }
    if (g_home != nullptr) return true;
    if (!make_names() || !register_hook("os", "register_at_fork", &fork_hook_def, "after_in_child") ||
        !register_hook("atexit", "register", &exit_hook_def, nullptr))
        return false;
    g_home = interp;
    // Imported from an exit handler, the hook is never run: with nothing to
    // keep I/O threads out of the finalised interpreter, none may enter it.
    if (shutdown_begun()) g_exiting.store(true, std::memory_order_seq_cst);
    return true;
}

}  // namespace tarnix
