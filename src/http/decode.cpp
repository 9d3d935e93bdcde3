#include "http/decode.h"

#include <cstring>

#include "http/text.h"
#include "platform/bytes.h"
#include "platform/heap.h"

namespace tarnix {

DecodedResponse::~DecodedResponse() {
    heap_free(headers);
}

namespace {

// First "\r\n" in [p, p + n), or n.
size_t find_crlf(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i + 1 < n) {
        const void* cr = std::memchr(p + i, '\r', n - i - 1);
        if (cr == nullptr) break;
        i = size_t(static_cast<const uint8_t*>(cr) - p);
        if (p[i + 1] == '\n') return i;
        i++;
    }
    return n;
}

// First "\r\n\r\n" in [p, p + n), or n.
size_t find_blank_line(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (;;) {
        size_t at = find_crlf(p + i, n - i);
        if (at == n - i) return n;
        i += at;
        if (i + 4 <= n && p[i + 2] == '\r' && p[i + 3] == '\n') return i;
        i += 2;
    }
}

struct HeaderArray {
    HeaderEntry* items = nullptr;
    size_t count = 0;
    size_t cap = 0;
    ~HeaderArray() { heap_free(items); }

    bool push(const HeaderEntry& e) {
        if (count == cap) {
            // Room for a typical response's headers from the start.
            size_t want = cap == 0 ? 16 : grow_capacity(count + 1, sizeof(HeaderEntry));
            if (want > SIZE_MAX / sizeof(HeaderEntry)) return false;
            void* p = grow_block(items, count * sizeof(HeaderEntry), want * sizeof(HeaderEntry));
            if (p == nullptr) return false;
            items = static_cast<HeaderEntry*>(p);
            cap = want;
        }
        items[count++] = e;
        return true;
    }
};

// Removes the chunk framing in place: each chunk's data moves down over the
// size lines before it, so the body needs no second buffer. The write
// position never passes the read position, as every chunk drops at least its
// size line and line ending. `*body_len` gets the de-chunked length.
bool dechunk(uint8_t* p, size_t n, size_t* body_len) {
    size_t pos = 0;
    size_t w = 0;
    for (;;) {
        if (pos >= n) return false;  // no zero-size chunk came
        size_t e = pos + find_crlf(p + pos, n - pos);
        if (e == n) return false;
        const uint8_t* size_text = p + pos;
        const void* semi = std::memchr(size_text, ';', e - pos);
        size_t size_len = semi ? size_t(static_cast<const uint8_t*>(semi) - size_text) : e - pos;
        trim_wire_space(&size_text, &size_len);
        uint64_t size = 0;
        if (parse_number(size_text, size_len, 16, 64, &size) != NumberStatus::Ok) return false;
        if (size == 0) {  // trailers and the final line are not needed
            *body_len = w;
            return true;
        }
        size_t data = e + 2;
        if (size > n - data) return false;
        size_t after = data + size_t(size);
        if (n - after < 2 || p[after] != '\r' || p[after + 1] != '\n') return false;
        std::memmove(p + w, p + data, size_t(size));
        w += size_t(size);
        pos = after + 2;
    }
}

// Lines end in CRLF only, and no NUL: a bare CR or LF read one way here and
// another by whoever gets the value (a cookie jar, a proxy) could smuggle a
// header in, and a NUL cuts C strings short.
bool head_is_clean(const uint8_t* p, size_t n) {
    if (std::memchr(p, '\0', n) != nullptr) return false;
    // The head is followed by CRLF CRLF, so p[i + 1] is always readable.
    for (const uint8_t* q = p; (q = static_cast<const uint8_t*>(std::memchr(q, '\r', n - size_t(q - p)))) != nullptr;
         q += 2)
        if (q[1] != '\n') return false;
    for (const uint8_t* q = p; (q = static_cast<const uint8_t*>(std::memchr(q, '\n', n - size_t(q - p)))) != nullptr;
         q++)
        if (q == p || q[-1] != '\r') return false;
    return true;
}

}  // namespace

bool content_length_of(const uint8_t* p, size_t n, uint64_t* out) {
    uint64_t first = 0;
    size_t start = 0;
    for (;;) {
        const void* comma = std::memchr(p + start, ',', n - start);
        const size_t end = comma != nullptr ? size_t(static_cast<const uint8_t*>(comma) - p) : n;
        const uint8_t* m = p + start;
        size_t m_len = end - start;
        if (start != 0)
            while (m_len != 0 && is_wire_space(m[0])) { m++; m_len--; }
        if (comma != nullptr)
            while (m_len != 0 && is_wire_space(m[m_len - 1])) m_len--;
        uint64_t v = 0;
        if (parse_number(m, m_len, 10, 64, &v) != NumberStatus::Ok) return false;
        if (start != 0 && v != first) return false;
        first = v;
        if (comma == nullptr) break;
        start = end + 1;
    }
    *out = first;
    return true;
}

bool status_code_of(const uint8_t* line, size_t len, uint16_t* code) {
    const void* sp = std::memchr(line, ' ', len);
    if (sp == nullptr) return false;
    const uint8_t* text = static_cast<const uint8_t*>(sp) + 1;
    size_t text_len = len - size_t(text - line);
    const void* sp2 = std::memchr(text, ' ', text_len);
    if (sp2 != nullptr) text_len = size_t(static_cast<const uint8_t*>(sp2) - text);
    uint64_t value = 0;
    if (parse_number(text, text_len, 10, 16, &value) != NumberStatus::Ok) return false;
    *code = uint16_t(value);
    return true;
}

namespace {

// What the headers say about how the body is framed.
struct BodyFraming {
    const uint8_t* te = nullptr;
    size_t te_len = 0;
    bool has_te = false, has_length = false;
    uint64_t content_length = 0;
};

// Reads the header lines from `pos` up to the blank line at `h` into
// `headers`, noting the framing headers; false on a line without a colon,
// a bad or conflicting length, or no memory.
bool read_header_lines(const uint8_t* bytes, size_t pos, size_t h, HeaderArray& headers, BodyFraming& f) {
    while (pos < h) {
        size_t end = pos + find_crlf(bytes + pos, h - pos);
        const uint8_t* piece = bytes + pos;
        size_t piece_len = end - pos;
        pos = end + 2;
        if (piece_len == 0) continue;
        const void* colon = std::memchr(piece, ':', piece_len);
        if (colon == nullptr) return false;
        size_t name_len = size_t(static_cast<const uint8_t*>(colon) - piece);
        const uint8_t* value = piece + name_len + 1;
        size_t value_len = piece_len - name_len - 1;
        while (value_len != 0 && is_wire_space(value[0])) { value++; value_len--; }
        if (ascii_ieq(piece, name_len, "content-length", 14)) {
            uint64_t v = 0;
            if (!content_length_of(value, value_len, &v)) return false;
            if (f.has_length && v != f.content_length) return false;
            f.content_length = v;
            f.has_length = true;
        } else if (ascii_ieq(piece, name_len, "transfer-encoding", 17)) {
            f.te = value;
            f.te_len = value_len;
            f.has_te = true;
        }
        if (!headers.push(HeaderEntry{piece, name_len, value, value_len})) return false;
    }
    return true;
}

// Finds the body in the bytes after the head as the framing headers say;
// false when they announce more than arrived or a coding not supported.
bool locate_body(uint8_t* region, size_t available, bool has_body, bool streamed, const BodyFraming& f,
                 const uint8_t** body_out, size_t* body_len_out) {
    const uint8_t* te = f.te;
    const size_t te_len = f.te_len;
    const uint8_t* body = nullptr;
    size_t body_len = 0;
    if (!has_body) {
        // Whatever the headers announce, this response carries no body.
    } else if (streamed) {
        // Framing took the body as the headers describe it; other codings
        // fail here as they would with the body in hand.
        if (f.has_te && !ascii_ieq(te, te_len, "identity", 8) && !ascii_ieq(te, te_len, "chunked", 7)) return false;
    } else if (!f.has_te || ascii_ieq(te, te_len, "identity", 8)) {
        body = region;
        body_len = available;
        if (f.has_length) {
            if (f.content_length > available) return false;
            body_len = size_t(f.content_length);
        }
    } else if (ascii_ieq(te, te_len, "chunked", 7)) {
        if (!dechunk(region, available, &body_len)) return false;
        body = region;
    } else {
        return false;
    }
    *body_out = body;
    *body_len_out = body_len;
    return true;
}

}  // namespace

bool decode_response(uint8_t* bytes, size_t len, size_t head_len, bool has_body, DecodedResponse* out,
                     bool streamed) {
    // Only the head as framed may end it: a body that happens to hold a
    // blank line must not be read as header lines.
    if (head_len < 4 || head_len > len) return false;
    const size_t h = find_blank_line(bytes, head_len);
    if (h + 4 != head_len) return false;

    if (!head_is_clean(bytes, h)) return false;

    // With no bare LF in the head, the status line is the one framing read.
    size_t l = find_crlf(bytes, h);
    uint16_t status = 0;
    if (!status_code_of(bytes, l, &status)) return false;

    HeaderArray headers;
    BodyFraming framing;
    if (l < h && !read_header_lines(bytes, l + 2, h, headers, framing)) return false;

    const uint8_t* body = nullptr;
    size_t body_len = 0;
    if (!locate_body(bytes + head_len, len - head_len, has_body, streamed, framing, &body, &body_len))
        return false;

    // Not trimmed: the array lives only until the response is handed over.
    out->status = status;
    out->headers = headers.items;
    headers.items = nullptr;
    out->header_count = headers.count;
    out->body = body;
    out->body_len = body_len;
    return true;
}

}  // namespace tarnix
