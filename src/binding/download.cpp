// download_new, download_progress and the capsule that carries a download's
// file and progress between Python and the job writing it.
#include <cstring>

#include "binding.h"
#include "http/download.h"

namespace tarnix {
namespace {

void download_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, DOWNLOAD_CAPSULE_NAME)) return;
    download_target_release(static_cast<DownloadTarget*>(PyCapsule_GetPointer(capsule, DOWNLOAD_CAPSULE_NAME)));
}

DownloadTarget* target_of(PyObject* capsule) {
    return static_cast<DownloadTarget*>(PyCapsule_GetPointer(capsule, DOWNLOAD_CAPSULE_NAME));
}

}  // namespace

// download_new(path): a download into the existing file at `path`, which a
// job given it truncates, fills with the body as it arrives, and removes
// when it fails or is abandoned.
PyObject* download_new(PyObject*, PyObject* path_obj) {
    if (!in_home_interpreter()) return nullptr;
    Py_ssize_t len = 0;
    const char* path = PyUnicode_Check(path_obj) ? PyUnicode_AsUTF8AndSize(path_obj, &len) : nullptr;
    // An embedded NUL would silently name another file.
    if (path == nullptr || len == 0 || std::memchr(path, '\0', static_cast<size_t>(len)) != nullptr) {
        PyErr_Clear();
        raise_builtin("ValueError", "download_new: the path must be a non-empty str without NUL");
        return nullptr;
    }
    DownloadTarget* target = download_target_new(path, static_cast<size_t>(len));
    if (target == nullptr) {
        raise_builtin("MemoryError", "tarnix: out of memory");
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(target, DOWNLOAD_CAPSULE_NAME, download_destructor);
    if (capsule == nullptr) download_target_release(target);
    return capsule;
}

// download_progress(download): (bytes of the body written so far, its
// announced length or -1), for the response being written. Two atomic
// reads: the I/O thread never waits for this, nor for the GIL.
PyObject* download_progress(PyObject*, PyObject* capsule) {
    DownloadTarget* t = target_of(capsule);
    if (t == nullptr) return nullptr;
    return Py_BuildValue("(KL)", static_cast<unsigned long long>(t->received.load(std::memory_order_relaxed)),
                         static_cast<long long>(t->expected.load(std::memory_order_relaxed)));
}

bool attach_download(Job* job, PyObject* capsule) {
    if (capsule == Py_None) return true;
    DownloadTarget* t = target_of(capsule);
    if (t == nullptr) return false;
    download_target_ref(t);
    job->download = t;
    return true;
}

}  // namespace tarnix
