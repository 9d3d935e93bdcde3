#include "http/request.h"

#include <cstring>

#include "http/host.h"
#include "http/text.h"

namespace tarnix {

const char* const METHOD_NAMES[METHOD_COUNT] = {"GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"};

namespace {

// Writes v in decimal, no leading zeros, ending at `end`; returns the start.
char* format_decimal(uint64_t v, char* end) {
    char* p = end;
    do {
        *--p = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return p;
}

struct Sizer {
    size_t total = 0;
    bool overflow = false;
    void add(size_t n) {
        if (n > SIZE_MAX - total) overflow = true;
        else total += n;
    }
};

#define LIT(s) s, sizeof(s) - 1

// Byte classes, as bits of what each byte may not stand in.
enum : uint8_t { NOT_IN_TARGET = 1, NOT_IN_NAME = 2, NOT_IN_VALUE = 4 };

constexpr bool is_token_byte(unsigned c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '!' || c == '#' ||
           c == '$' || c == '%' || c == '&' || c == '\'' || c == '*' || c == '+' || c == '-' || c == '.' ||
           c == '^' || c == '_' || c == '`' || c == '|' || c == '~';
}

struct ByteClasses {
    uint8_t of[256];
};

constexpr ByteClasses make_byte_classes() {
    ByteClasses t{};
    for (unsigned c = 0; c < 256; c++) {
        uint8_t k = 0;
        if (c <= 0x20 || c == 0x7f) k |= NOT_IN_TARGET;
        if (!is_token_byte(c)) k |= NOT_IN_NAME;
        if (c == 0 || c == '\r' || c == '\n') k |= NOT_IN_VALUE;
        t.of[c] = k;
    }
    return t;
}

constexpr ByteClasses BYTE_CLASSES = make_byte_classes();

bool free_of(const uint8_t* p, size_t n, uint8_t cls) {
    for (size_t i = 0; i < n; i++)
        if ((BYTE_CLASSES.of[p[i]] & cls) != 0) return false;
    return true;
}

// Appends to a block sized up front, so it never moves or fails.
struct Writer {
    uint8_t* p;
    void append(const void* src, size_t n) {
        if (n == 0) return;  // an empty piece may have no address
        std::memcpy(p, src, n);
        p += n;
    }
};

}  // namespace

bool is_request_target(const uint8_t* p, size_t n) { return free_of(p, n, NOT_IN_TARGET); }
bool is_header_name(const uint8_t* p, size_t n) { return n != 0 && free_of(p, n, NOT_IN_NAME); }
bool is_header_value(const uint8_t* p, size_t n) { return free_of(p, n, NOT_IN_VALUE); }

namespace {

constexpr char PROXY_AUTH[] = "Proxy-Authorization: ";
constexpr char AGENT[] = "User-Agent: tarnix/0.1\r\n";

// What the head adds to the caller's parts, decided while sizing it and
// used again to write it. Holds pointers into itself: never copied.
struct HeadExtras {
    const char* method = nullptr;
    size_t method_len = 0;
    char port_buf[8];
    const char* port_text = nullptr;
    size_t port_len = 0;
    bool bracket = false;
    bool has_agent = false;
    char len_buf[48];
    const char* len_text = nullptr;
    size_t len_line = 0;

    HeadExtras() = default;
    HeadExtras(const HeadExtras&) = delete;
    HeadExtras& operator=(const HeadExtras&) = delete;
};

// Sizes the head and fills `x`; false when a header cannot go on the wire.
bool size_head(const RequestParts& req, HeadExtras& x, Sizer& size) {
    x.method = METHOD_NAMES[req.method];
    x.method_len = std::strlen(x.method);

    char* port_end = x.port_buf + sizeof(x.port_buf);
    char* port_text = port_end;
    if (req.port != (req.tls ? 443 : 80)) {
        port_text = format_decimal(req.port, port_end);
        *--port_text = ':';
    }
    x.port_text = port_text;
    x.port_len = size_t(port_end - port_text);

    // A bare IPv6 literal is not a valid Host value: it needs brackets.
    in6_addr v6;
    x.bracket = parse_ipv6_literal(req.host.ptr, req.host.len, &v6);

    bool has_length = false;
    size.add(x.method_len + 1);
    size.add(req.target.len);
    size.add(sizeof(" HTTP/1.1\r\n") - 1);
    if (!req.omit_host) {
        size.add(sizeof("Host: ") - 1);
        size.add(req.host.len);
        size.add((x.bracket ? 2 : 0) + x.port_len + 2);
    }
    if (req.proxy_authorization.len != 0) {
        size.add(sizeof(PROXY_AUTH) - 1);
        size.add(req.proxy_authorization.len);
        size.add(2);
    }
    size.add(sizeof("Connection: keep-alive\r\n") - 1);
    for (size_t i = 0; i < req.header_count; i++) {
        const HeaderEntry& h = req.headers[i];
        if (!is_header_name(h.name, h.name_len) || !is_header_value(h.value, h.value_len)) return false;
        size.add(h.name_len);
        size.add(h.value_len);
        size.add(4);
        if (ascii_ieq(h.name, h.name_len, LIT("content-length"))) has_length = true;
        if (ascii_ieq(h.name, h.name_len, LIT("user-agent"))) x.has_agent = true;
    }
    if (!x.has_agent) size.add(sizeof(AGENT) - 1);

    char* len_end = x.len_buf + sizeof(x.len_buf);
    char* len_text = len_end;
    if (req.body.len > 0 && !has_length) {
        *--len_text = '\n';
        *--len_text = '\r';
        len_text = format_decimal(req.body.len, len_text);
        static const char NAME[] = "Content-Length: ";
        len_text -= sizeof(NAME) - 1;
        std::memcpy(len_text, NAME, sizeof(NAME) - 1);
    }
    x.len_text = len_text;
    x.len_line = size_t(len_end - len_text);
    size.add(x.len_line);
    size.add(2);
    return true;
}

// Writes the head that size_head measured into `start`.
void write_head(const RequestParts& req, const HeadExtras& x, uint8_t* start) {
    Writer out{start};
    out.append(x.method, x.method_len);
    out.append(" ", 1);
    out.append(req.target.ptr, req.target.len);
    out.append(LIT(" HTTP/1.1\r\n"));
    if (!req.omit_host) {
        out.append(LIT("Host: "));
        if (x.bracket) out.append("[", 1);
        out.append(req.host.ptr, req.host.len);
        if (x.bracket) out.append("]", 1);
        out.append(x.port_text, x.port_len);
        out.append("\r\n", 2);
    }
    out.append(LIT("Connection: keep-alive\r\n"));
    if (req.proxy_authorization.len != 0) {
        out.append(PROXY_AUTH, sizeof(PROXY_AUTH) - 1);
        out.append(req.proxy_authorization.ptr, req.proxy_authorization.len);
        out.append("\r\n", 2);
    }
    for (size_t i = 0; i < req.header_count; i++) {
        const HeaderEntry& h = req.headers[i];
        out.append(h.name, h.name_len);
        out.append(": ", 2);
        out.append(h.value, h.value_len);
        out.append("\r\n", 2);
    }
    if (!x.has_agent) out.append(AGENT, sizeof(AGENT) - 1);
    out.append(x.len_text, x.len_line);
    out.append("\r\n", 2);
}

}  // namespace

Slice build_request_head(const RequestParts& req, uint8_t* buf, size_t cap, OwnedBytes* spill, bool* refused) {
    *spill = OwnedBytes();
    if (refused != nullptr) *refused = false;
    auto refuse = [refused] {
        if (refused != nullptr) *refused = true;
        return Slice{};
    };
    // submit checks these already; this keeps any other caller from putting
    // a line break on the wire. A host name is checked in full before any
    // connection; here it only must not end its line.
    if (req.method >= METHOD_COUNT || !is_request_target(req.target.ptr, req.target.len) ||
        !is_header_value(req.host.ptr, req.host.len) ||
        !is_header_value(req.proxy_authorization.ptr, req.proxy_authorization.len))
        return refuse();
    HeadExtras extras;
    Sizer size;
    if (!size_head(req, extras, size)) return refuse();
    // The body must still fit in memory beside the head.
    if (size.overflow || req.body.len > SIZE_MAX - size.total) return Slice{};

    uint8_t* start = buf;
    if (size.total > cap) {
        start = static_cast<uint8_t*>(heap_alloc(size.total));
        if (start == nullptr) return Slice{};
        *spill = OwnedBytes(start, size.total);
    }
    write_head(req, extras, start);
    return Slice{start, size.total};
}

}  // namespace tarnix
