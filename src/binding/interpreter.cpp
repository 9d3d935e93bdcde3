// Interpreter exit and fork: I/O threads take the GIL only while the
// interpreter is not finalising, and a forked child forgets the parent's
// threads and loops. The hooks are registered at import.
#include <atomic>

#include "handback.h"
#include "platform/thread.h"

namespace tarnix {
namespace {

// Only I/O threads of loops without a reader take the GIL. Once `g_exiting`
// is set none does any more; `g_inside` counts those past the check. A
// thread increments the count before it reads the flag, the exit hook sets
// the flag before it reads the count (both sequentially consistent), so
// either the thread sees the flag or the hook sees the thread and waits.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_inside{0};
PyInterpreterState* g_home = nullptr;

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

}  // namespace

bool enter_python() {
    g_inside.fetch_add(1, std::memory_order_seq_cst);
    if (g_exiting.load(std::memory_order_seq_cst)) {
        g_inside.fetch_sub(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void leave_python() { g_inside.fetch_sub(1, std::memory_order_seq_cst); }

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
    if (!make_handback_names() || !init_loop_readers() ||
        !register_hook("os", "register_at_fork", &fork_hook_def, "after_in_child") ||
        !register_hook("atexit", "register", &exit_hook_def, nullptr))
        return false;
    g_home = interp;
    // Imported from an exit handler, the hook is never run: with nothing to
    // keep I/O threads out of the finalised interpreter, none may enter it.
    if (shutdown_begun()) g_exiting.store(true, std::memory_order_seq_cst);
    return true;
}

}  // namespace tarnix
