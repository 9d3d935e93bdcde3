// The loops' readers: each loop that can watch a descriptor gets a
// completion queue that I/O threads push finished jobs onto without the GIL,
// and a reader that delivers them on the loop's own thread.
#include "handback.h"
#include "http/completion.h"

namespace tarnix {
namespace {

PyObject* g_add_reader_name = nullptr;

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

// The reader: delivers every job finished so far, on the loop's thread.
PyObject* drain(PyObject* capsule, PyObject*) {
    auto* entry = static_cast<LoopEntry*>(PyCapsule_GetPointer(capsule, READER_CAPSULE));
    if (entry == nullptr) return nullptr;
    free_orphans();
    return settle_all(entry->queue->take(), capsule);
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

}  // namespace

bool init_loop_readers() {
    g_add_reader_name = PyUnicode_InternFromString("add_reader");
    return g_add_reader_name != nullptr;
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

}  // namespace tarnix
