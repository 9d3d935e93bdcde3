#include "http/framing.h"

#include <cstring>

#include "http/decode.h"
#include "http/request.h"
#include "http/text.h"
#include "platform/net.h"

namespace tarnix {

namespace {

struct Scan {
    bool is_http10 = false;
    bool has_content_length = false;
    bool chunked = false;
    bool close_token = false;
    bool keep_alive_token = false;
    uint64_t content_length = 0;
    int status = -1;  // -1 when the status line has no readable code
};

constexpr size_t SMALL_RESPONSE = 4096;

ErrorKind line_error(IoStatus s) {
    switch (s) {
        case IoStatus::StreamTooLong: return ErrorKind::MalformedFraming;
        case IoStatus::OutOfMemory: return ErrorKind::OutOfMemory;
        default: return ErrorKind::ConnectionReset;
    }
}

ErrorKind exact_error(IoStatus s) {
    return s == IoStatus::OutOfMemory ? ErrorKind::OutOfMemory : ErrorKind::ConnectionReset;
}

// What is left of the caps on heads and trailers for one exchange.
struct HeadBudget {
    size_t bytes = RESPONSE_HEAD_MAX_BYTES;
    size_t fields = RESPONSE_HEAD_MAX_FIELDS;

    bool take_field() {
        if (fields == 0) return false;
        fields--;
        return true;
    }
};

// Moves the next line from the reader into the capture. `line` stays valid
// (in the reader's buffer) until the reader is used again. A line charged to
// `budget` that does not fit in it is refused before it is copied.
ErrorKind take_line(BufferedReader& reader, ByteBuf& cap, Slice* line, HeadBudget* budget = nullptr) {
    IoStatus s = reader.peek_line(line);
    if (s != IoStatus::Ok) return line_error(s);
    if (budget != nullptr) {
        if (line->len > budget->bytes) return ErrorKind::MalformedFraming;
        budget->bytes -= line->len;
    }
    // A small first read usually holds the whole response: one block sized
    // for it, rather than growing line by line. Large bodies keep the usual
    // growth, which reads straight into the capture.
    if (cap.capacity() == 0 && reader.buffered() <= SMALL_RESPONSE && !cap.reserve_exact(reader.buffered()))
        return ErrorKind::OutOfMemory;
    if (!cap.append(line->ptr, line->len)) return ErrorKind::OutOfMemory;
    reader.discard(line->len);
    return ErrorKind::None;
}

// The line without its line feed and one carriage return before it.
Slice content_of(Slice line) {
    size_t n = line.len - 1;
    if (n != 0 && line.ptr[n - 1] == '\r') n--;
    return Slice{line.ptr, n};
}

int status_of(Slice c) {
    uint16_t code = 0;
    return status_code_of(c.ptr, c.len, &code) ? int(code) : -1;
}

ErrorKind scan_header(Slice c, Scan* st) {
    const void* colon = std::memchr(c.ptr, ':', c.len);
    if (colon == nullptr) return ErrorKind::None;
    size_t name_len = size_t(static_cast<const uint8_t*>(colon) - c.ptr);
    const uint8_t* value = c.ptr + name_len + 1;
    size_t value_len = c.len - name_len - 1;
    trim_wire_space(&value, &value_len);
    switch (name_len) {
        case 14:
            if (ascii_ieq(c.ptr, 14, "content-length", 14)) {
                uint64_t v = 0;
                if (!content_length_of(value, value_len, &v)) return ErrorKind::MalformedFraming;
                // Two lengths leave the body's end in doubt: where we would
                // cut it and where an intermediary did may differ.
                if (st->has_content_length && st->content_length != v) return ErrorKind::MalformedFraming;
                st->has_content_length = true;
                st->content_length = v;
            }
            break;
        case 17:
            if (ascii_ieq(c.ptr, 17, "transfer-encoding", 17) && ascii_icontains(value, value_len, "chunked", 7))
                st->chunked = true;
            break;
        case 10:
            if (ascii_ieq(c.ptr, 10, "connection", 10)) {
                if (ascii_icontains(value, value_len, "close", 5)) st->close_token = true;
                if (ascii_icontains(value, value_len, "keep-alive", 10)) st->keep_alive_token = true;
            }
            break;
        default:
            break;
    }
    return ErrorKind::None;
}

// Reads one head, status line to blank line, into the capture.
ErrorKind read_head(BufferedReader& reader, ByteBuf& cap, Scan* st, HeadBudget& budget) {
    bool first = true;
    for (;;) {
        Slice line;
        ErrorKind e = take_line(reader, cap, &line, &budget);
        if (e != ErrorKind::None) return e;
        Slice c = content_of(line);
        if (first) {
            first = false;
            if (c.len >= 8) st->is_http10 = std::memcmp(c.ptr, "HTTP/1.0", 8) == 0;
            st->status = status_of(c);
        } else if (c.len != 0 && !budget.take_field()) {
            return ErrorKind::MalformedFraming;
        }
        // A first line of 8 bytes or more is never empty, so this covers it.
        if (c.len == 0) return ErrorKind::None;
        e = scan_header(c, st);
        if (e != ErrorKind::None) return e;
    }
}

// True when `more` bytes after those captured would pass the limit. Without
// one, sizes past memory stay out-of-memory failures.
bool past_limit(const ByteBuf& cap, uint64_t more, uint64_t limit) {
    return limit != UINT64_MAX && more > limit - cap.size();
}

// The size on a chunk's line, before any extensions.
bool chunk_size(Slice line, uint64_t* size) {
    Slice c = content_of(line);
    const void* semi = std::memchr(c.ptr, ';', c.len);
    const uint8_t* text = c.ptr;
    size_t len = semi ? size_t(static_cast<const uint8_t*>(semi) - c.ptr) : c.len;
    trim_wire_space(&text, &len);
    return parse_number(text, len, 16, 64, size) == NumberStatus::Ok;
}

ErrorKind read_chunked(BufferedReader& reader, ByteBuf& cap, HeadBudget& budget, uint64_t limit) {
    for (;;) {
        if (cap.size() > limit) return ErrorKind::ResponseTooLarge;
        Slice line;
        ErrorKind e = take_line(reader, cap, &line);
        if (e != ErrorKind::None) return e;
        uint64_t size = 0;
        if (!chunk_size(line, &size)) return ErrorKind::MalformedFraming;
        if (size == 0) break;
        if (size > UINT64_MAX - 2) return ErrorKind::OutOfMemory;
        if (past_limit(cap, size + 2, limit)) return ErrorKind::ResponseTooLarge;
        IoStatus s = reader.append_exact(cap, size + 2);  // data and its line ending, unchecked here
        if (s != IoStatus::Ok) return exact_error(s);
    }
    // Trailer section, up to the first empty line, under the heads' caps.
    for (;;) {
        if (cap.size() > limit) return ErrorKind::ResponseTooLarge;
        Slice line;
        ErrorKind e = take_line(reader, cap, &line, &budget);
        if (e != ErrorKind::None) return e;
        if (line.len == 1 || (line.len == 2 && line.ptr[0] == '\r')) return ErrorKind::None;
        if (!budget.take_field()) return ErrorKind::MalformedFraming;
    }
}

ErrorKind pass_error(IoStatus s) {
    switch (s) {
        case IoStatus::SinkFailed: return ErrorKind::BodySinkFailed;
        case IoStatus::LimitReached: return ErrorKind::ResponseTooLarge;
        default: return ErrorKind::ConnectionReset;
    }
}

// Consumes the next line, counted in `*total` against the limit; `budget`
// as in take_line.
ErrorKind skip_line(BufferedReader& reader, Slice* line, uint64_t* total, uint64_t limit,
                    HeadBudget* budget = nullptr) {
    IoStatus s = reader.peek_line(line);
    if (s != IoStatus::Ok) return line_error(s);
    if (budget != nullptr) {
        if (line->len > budget->bytes) return ErrorKind::MalformedFraming;
        budget->bytes -= line->len;
    }
    if (line->len > limit - *total) return ErrorKind::ResponseTooLarge;
    *total += line->len;
    reader.discard(line->len);
    return ErrorKind::None;
}

// A chunked body into the sink, checked as decoding checks a captured one:
// each chunk's data ends in CRLF. `*total` holds the response's bytes so far.
ErrorKind pass_chunked(BufferedReader& reader, BodySink& sink, HeadBudget& budget, uint64_t limit,
                       uint64_t* total) {
    for (;;) {
        Slice line;
        ErrorKind e = skip_line(reader, &line, total, limit);
        if (e != ErrorKind::None) return e;
        // The line's bytes stay in the reader's buffer until it reads again.
        uint64_t size = 0;
        if (!chunk_size(line, &size)) return ErrorKind::MalformedFraming;
        if (size == 0) break;
        if (size > limit - *total) return ErrorKind::ResponseTooLarge;
        IoStatus s = reader.pass_exact(sink, size);
        if (s != IoStatus::Ok) return pass_error(s);
        *total += size;
        e = skip_line(reader, &line, total, limit);
        if (e != ErrorKind::None) return e;
        if (line.len != 2 || line.ptr[0] != '\r') return ErrorKind::MalformedFraming;
    }
    // Trailers are read to their end and dropped, under the heads' caps.
    for (;;) {
        Slice line;
        ErrorKind e = skip_line(reader, &line, total, limit, &budget);
        if (e != ErrorKind::None) return e;
        if (line.len == 1 || (line.len == 2 && line.ptr[0] == '\r')) return ErrorKind::None;
        if (!budget.take_field()) return ErrorKind::MalformedFraming;
    }
}

// Lets the answer be read through the usual path with nothing left to send.
class NothingToSend final : public ByteSink {
public:
    bool write_all(const uint8_t*, size_t n) override { return n == 0; }
    bool flush() override { return true; }
};

// What the server sent before it went away has arrived by the time a send
// fails; this much silence means nothing more is coming.
constexpr uint32_t EARLY_ANSWER_WAIT_MS = 1000;

// The send failed, often because the server answered before reading the
// whole body and closed. Its answer, when whole, beats the send failure.
RawResponse early_answer(BufferedReader& reader, uint8_t method, uint64_t limit, int socket, BodySink* body_sink) {
    RawResponse failed;
    failed.error = ErrorKind::SendFailed;
    if (socket >= 0) socket_bound_reads(socket, EARLY_ANSWER_WAIT_MS);
    Slice line;
    if (reader.peek_line(&line) != IoStatus::Ok && reader.buffered() == 0) return failed;
    failed.answered = true;
    NothingToSend none;
    RawResponse res = send_and_receive(none, reader, Slice{}, nullptr, method, Slice{}, limit, -1, body_sink);
    if (res.error != ErrorKind::None) return failed;
    // Part of the request never went out: the stream is out of step.
    res.reusable = false;
    res.answered = true;
    return res;
}

// Reads heads until the final one: interim (1xx) responses are dropped,
// all within one budget.
ErrorKind read_final_head(BufferedReader& reader, ByteBuf& cap, Scan& st, HeadBudget& budget) {
    for (;;) {
        ErrorKind e = read_head(reader, cap, &st, budget);
        if (e != ErrorKind::None) return e;
        if (st.status < 100 || st.status > 199 || st.status == 101) return ErrorKind::None;
        cap.truncate(0);
        st = Scan();
    }
}

// Reads the body as the head frames it, into `cap` or through the sink; a
// body that runs to the end of the stream sets `close`.
ErrorKind read_body(BufferedReader& reader, ByteBuf& cap, const Scan& st, HeadBudget& budget, uint64_t limit,
                    BodySink* body_sink, uint64_t* total, bool* close) {
    ErrorKind e = ErrorKind::None;
    if (st.chunked) {
        e = body_sink != nullptr ? pass_chunked(reader, *body_sink, budget, limit, total)
                                 : read_chunked(reader, cap, budget, limit);
    } else if (st.has_content_length) {
        // Refused before a byte of it is read.
        IoStatus s = IoStatus::Ok;
        if (past_limit(cap, st.content_length, limit))
            e = ErrorKind::ResponseTooLarge;
        else if (body_sink != nullptr)
            e = (s = reader.pass_exact(*body_sink, st.content_length)) == IoStatus::Ok ? ErrorKind::None
                                                                                       : pass_error(s);
        else if ((s = reader.append_exact(cap, st.content_length)) != IoStatus::Ok)
            e = exact_error(s);
    } else {
        uint64_t passed = 0;
        IoStatus s = body_sink != nullptr ? reader.pass_to_end(*body_sink, limit - cap.size(), &passed)
                                          : reader.append_to_end(cap, limit);
        if (s == IoStatus::LimitReached)
            e = ErrorKind::ResponseTooLarge;
        else if (s != IoStatus::Ok)
            e = body_sink != nullptr ? pass_error(s) : ErrorKind::ConnectionReset;
        *close = true;
    }
    return e;
}

}  // namespace

RawResponse send_and_receive(ByteSink& writer, BufferedReader& reader, Slice request, ByteSink* inner,
                             uint8_t method, Slice body, uint64_t limit, int socket, BodySink* body_sink) {
    RawResponse res;
    if (!writer.write_all(request.ptr, request.len) || !writer.write_all(body.ptr, body.len) || !writer.flush() ||
        (inner != nullptr && !inner->flush()))
        return early_answer(reader, method, limit, socket, body_sink);

    ByteBuf cap;
    Scan st;
    HeadBudget budget;  // one for all heads: an endless run of 1xx ends too
    if (ErrorKind e = read_final_head(reader, cap, st, budget); e != ErrorKind::None) {
        res.error = e;
        res.answered = cap.size() != 0 || reader.buffered() != 0;
        return res;
    }
    res.head_len = cap.size();

    bool close = (st.is_http10 && !st.keep_alive_token) || st.close_token;
    ErrorKind e = ErrorKind::None;
    // The body's bytes (and chunk lines) that went to the sink rather than `cap`.
    uint64_t total = cap.size();
    if (cap.size() > limit) {
        e = ErrorKind::ResponseTooLarge;
    } else if (st.status == 101) {
        // The connection now speaks another protocol.
        res.has_body = false;
        close = true;
    } else if (method == METHOD_HEAD || st.status == 204 || st.status == 304) {
        res.has_body = false;
    }
    if (e == ErrorKind::None && body_sink != nullptr) {
        int64_t length = !res.has_body ? 0
                         : st.chunked || !st.has_content_length ? -1
                                                                  : int64_t(st.content_length);
        if (!body_sink->begin(st.status, length)) e = ErrorKind::BodySinkFailed;
    }
    if (e == ErrorKind::None && res.has_body)
        e = read_body(reader, cap, st, budget, limit, body_sink, &total, &close);
    res.streamed = body_sink != nullptr;
    // The last line of a chunked body may be what passes the limit.
    if (e == ErrorKind::None && cap.size() > limit) e = ErrorKind::ResponseTooLarge;
    if (e == ErrorKind::None && !cap.into_owned(&res.bytes)) e = ErrorKind::OutOfMemory;
    if (e != ErrorKind::None) {
        res.error = e;
        res.head_len = 0;
        res.has_body = true;
        res.answered = true;  // a whole head arrived
        return res;
    }
    res.reusable = !close;
    return res;
}

}  // namespace tarnix
