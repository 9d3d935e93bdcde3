// A job's outcome as the Python objects _settle takes: the response
// headers as a dict (common names and repeated short values reused), the
// body as bytes, status, kind and message.
#include <cstring>

#include "binding.h"

namespace tarnix {
namespace {

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

// True for "set-cookie" in any letter case.
bool is_set_cookie(const uint8_t* name, size_t len) {
    static const char kName[] = "set-cookie";
    if (len != sizeof kName - 1) return false;
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
        if (c != static_cast<uint8_t>(kName[i])) return false;
    }
    return true;
}

// Stores value under name; a name seen before keeps every value, in order:
// joined with ", " as a repeated field means, except Set-Cookie, whose
// values may hold commas and are joined with a line feed, which no field
// value can hold. -1 with an exception set on failure.
int add_header(PyObject* dict, PyObject* name, const uint8_t* name_bytes, size_t name_len, PyObject* value) {
    PyObject* old = PyDict_GetItemWithError(dict, name);  // borrowed
    if (old == nullptr) return PyErr_Occurred() != nullptr ? -1 : PyDict_SetItem(dict, name, value);
    PyObject* sep = PyUnicode_FromString(is_set_cookie(name_bytes, name_len) ? "\n" : ", ");
    PyObject* head = sep == nullptr ? nullptr : PyUnicode_Concat(old, sep);
    PyObject* joined = head == nullptr ? nullptr : PyUnicode_Concat(head, value);
    int rc = joined == nullptr ? -1 : PyDict_SetItem(dict, name, joined);
    Py_XDECREF(joined);
    Py_XDECREF(head);
    Py_XDECREF(sep);
    return rc;
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
            rc = add_header(dict, name, h.name, h.name_len, value);
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

bool make_objects(OutcomeObjects& out, int32_t status, const HeaderEntry* headers, size_t header_count,
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

}  // namespace

bool make_outcome(OutcomeObjects& out, const JobOutcome& outcome) {
    bool made = outcome.kind == RESULT_OK
                    ? make_objects(out, outcome.status, outcome.decoded.headers, outcome.decoded.header_count,
                                   outcome.decoded.body, outcome.decoded.body_len, RESULT_OK, "")
                    : make_objects(out, outcome.status, nullptr, 0, nullptr, 0, outcome.kind, outcome.message);
    if (made) return true;
    // A response that does not fit in memory as Python objects still
    // completes its future, as a failure.
    PyErr_Clear();
    if (make_objects(out, 0, nullptr, 0, nullptr, 0, RESULT_TRANSPORT, "out of memory reading response")) return true;
    PyErr_Clear();  // not even the failure could be made
    return false;
}

}  // namespace tarnix
