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

}  // namespace

bool build_request(const RequestParts& req, OwnedBytes* out) {
    *out = OwnedBytes();
    if (req.method >= METHOD_COUNT) return false;
    const char* method = METHOD_NAMES[req.method];
    const size_t method_len = std::strlen(method);

    char port_buf[8];
    char* port_end = port_buf + sizeof(port_buf);
    char* port_text = port_end;
    if (req.port != 80 && req.port != 443) {
        port_text = format_decimal(req.port, port_end);
        *--port_text = ':';
    }
    const size_t port_len = size_t(port_end - port_text);

    // A bare IPv6 literal is not a valid Host value: it needs brackets.
    in6_addr v6;
    const bool bracket = parse_ipv6_literal(req.host.ptr, req.host.len, &v6);

    bool has_length = false, has_agent = false;
    Sizer size;
    size.add(method_len + 1);
    size.add(req.target.len);
    size.add(sizeof(" HTTP/1.1\r\nHost: ") - 1);
    size.add(req.host.len);
    size.add((bracket ? 2 : 0) + port_len + 2);
    size.add(sizeof("Connection: keep-alive\r\n") - 1);
    for (size_t i = 0; i < req.header_count; i++) {
        const HeaderEntry& h = req.headers[i];
        size.add(h.name_len);
        size.add(h.value_len);
        size.add(4);
        if (ascii_ieq(h.name, h.name_len, LIT("content-length"))) has_length = true;
        if (ascii_ieq(h.name, h.name_len, LIT("user-agent"))) has_agent = true;
    }
    static const char AGENT[] = "User-Agent: tarnix/0.1\r\n";
    if (!has_agent) size.add(sizeof(AGENT) - 1);

    char len_buf[48];
    char* len_end = len_buf + sizeof(len_buf);
    char* len_text = len_end;
    if (req.body.len > 0 && !has_length) {
        *--len_text = '\n';
        *--len_text = '\r';
        len_text = format_decimal(req.body.len, len_text);
        static const char NAME[] = "Content-Length: ";
        len_text -= sizeof(NAME) - 1;
        std::memcpy(len_text, NAME, sizeof(NAME) - 1);
    }
    const size_t len_line = size_t(len_end - len_text);
    size.add(len_line);
    size.add(2);
    size.add(req.body.len);
    if (size.overflow) return false;

    // Sized once up front, so the appends below never move the block.
    ByteBuf buf;
    if (!buf.reserve_more(size.total)) return false;
    buf.append(method, method_len);
    buf.append(" ", 1);
    buf.append(req.target.ptr, req.target.len);
    buf.append(LIT(" HTTP/1.1\r\nHost: "));
    if (bracket) buf.append("[", 1);
    buf.append(req.host.ptr, req.host.len);
    if (bracket) buf.append("]", 1);
    buf.append(port_text, port_len);
    buf.append("\r\n", 2);
    buf.append(LIT("Connection: keep-alive\r\n"));
    for (size_t i = 0; i < req.header_count; i++) {
        const HeaderEntry& h = req.headers[i];
        buf.append(h.name, h.name_len);
        buf.append(": ", 2);
        buf.append(h.value, h.value_len);
        buf.append("\r\n", 2);
    }
    if (!has_agent) buf.append(AGENT, sizeof(AGENT) - 1);
    buf.append(len_text, len_line);
    buf.append("\r\n", 2);
    buf.append(req.body.ptr, req.body.len);
    return buf.into_owned(out);
}

}  // namespace tarnix
