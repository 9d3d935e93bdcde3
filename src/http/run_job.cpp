// The life of one request on its I/O thread: serialise, exchange (with one
// retry on a stale idle connection), decode, hand back, release.
#include <new>

#include "http/decode.h"
#include "http/download.h"
#include "http/framing.h"
#include "http/job.h"
#include "http/pool.h"
#include "http/request.h"
#include "http/tls_connection.h"
#include "http/via.h"
#include "platform/heap.h"
#include "platform/stream.h"

namespace tarnix {

namespace {

constexpr size_t PLAIN_READ_BUFFER = 65536;
constexpr size_t PLAIN_WRITE_BUFFER = 8192;
// Heads larger than this (many or long headers) go to the heap.
constexpr size_t HEAD_BUFFER = 8192;

RawResponse exchange_plain(int fd, Slice request, Slice body, uint8_t method, uint64_t limit,
                           BodySink* body_sink) {
    // Both buffers live on the thread's large stack, not the heap.
    uint8_t read_buf[PLAIN_READ_BUFFER];
    uint8_t write_buf[PLAIN_WRITE_BUFFER];
    FdSource source(fd);
    FdSink sink(fd);
    BufferedReader reader(&source, read_buf, sizeof(read_buf));
    BufferedWriter writer(&sink, write_buf, sizeof(write_buf));
    RawResponse raw = send_and_receive(writer, reader, request, nullptr, method, body, limit, fd, body_sink);
    // Bytes read past the response die with this reader; the stream is no
    // longer in step with the server, so it must not carry another request.
    if (reader.buffered() != 0) raw.reusable = false;
    return raw;
}

RawResponse exchange_tls(TlsConnection* conn, Slice request, Slice body, uint8_t method, uint64_t limit,
                         BodySink* sink) {
    BufferedReader& reader = tls_connection_reader(conn);
    RawResponse raw = send_and_receive(tls_connection_writer(conn), reader, request,
                                       &tls_connection_socket_writer(conn), method, body, limit,
                                       tls_connection_socket(conn), sink);
    // Bytes past the response would be taken for the start of the next one.
    if (reader.buffered() != 0) raw.reusable = false;
    return raw;
}

const char* exchange_failure_message(ErrorKind kind, int32_t* result) {
    *result = RESULT_TRANSPORT;
    switch (kind) {
        case ErrorKind::ResolveFailed: return "failed to resolve host";
        case ErrorKind::ConnectFailed: return "connection failed";
        case ErrorKind::SendFailed: return "failed to send request";
        case ErrorKind::ConnectionReset: return "connection reset while reading response";
        case ErrorKind::MalformedFraming: *result = RESULT_PROTOCOL; return "malformed HTTP response framing";
        case ErrorKind::TlsFailed: *result = RESULT_TLS; return "TLS handshake or certificate verification failed";
        case ErrorKind::ResponseTooLarge: *result = RESULT_PROTOCOL; return "response exceeds max_response_size";
        case ErrorKind::ProxyAuthRequired: return "proxy requires authentication";
        case ErrorKind::ProxyRefused: return "proxy refused the tunnel";
        case ErrorKind::ProxyClosed: return "proxy closed the connection before the tunnel opened";
        case ErrorKind::ProxyMalformed: return "proxy sent a malformed answer to CONNECT";
        case ErrorKind::Unsupported: return "unix sockets are not supported on this system";
        case ErrorKind::BodySinkFailed: return "failed to write the response body to its file";
        default: return "out of memory reading response";
    }
}

// A download's file goes before the failure is reported: whoever learns of
// it finds nothing left behind.
void finish_failure(const JobHooks& hooks, Job* job, int32_t kind, const char* message,
                    FileBodySink* sink = nullptr) {
    if (sink != nullptr) sink->discard();
    set_thread_abort_gate(nullptr);
    job->outcome.kind = kind;
    job->outcome.message = message;
    hooks.finish(job);
}

// What one request's exchange came to, over its retry.
struct Exchanged {
    RawResponse raw;
    ErrorKind err = ErrorKind::None;
    const char* refusal = nullptr;  // the server refused the client certificate
    bool abandoned = false;
};

// Sends the request on a pooled connection or a new one and reads the
// answer; once more, on a new connection, when an idle one proves stale.
void exchange(Job* job, Pool* pool, Slice request, Slice body, BodySink* sink, Exchanged& x) {
    bool retried = false;
    for (;;) {
        if (job->gate.aborted()) {
            x.abandoned = true;
            return;
        }
        Connection conn;
        bool fresh = false;
        x.refusal = nullptr;
        // The retry goes out on a new connection: the failure suggests the
        // server dropped its idle connections, and the others may be stale too.
        x.err = acquire_connection(pool, &conn, &fresh, retried);
        if (x.err == ErrorKind::TlsFailed) x.refusal = tls_open_cert_refusal();
        if (x.err != ErrorKind::None) return;
        const uint64_t limit = job->max_response;
        x.raw = conn.tls != nullptr ? exchange_tls(conn.tls, request, body, job->method, limit, sink)
                                    : exchange_plain(conn.plain.stream.fd, request, body, job->method, limit, sink);
        if (x.raw.error != ErrorKind::None) {
            x.err = x.raw.error;
            x.raw.bytes.reset();
            // A TLS 1.3 server judges the certificate after the handshake:
            // its refusal arrives as the request goes out or the answer is read.
            if (conn.tls != nullptr) x.refusal = tls_connection_cert_refusal(conn.tls);
            discard_connection(pool, conn);
            // Only a connection that sat idle may have been closed under us;
            // a fresh one failing is a real failure, and a server that
            // answered has seen the request.
            if (!fresh && !retried && !x.raw.answered) {
                retried = true;
                continue;
            }
            return;
        }
        // Closing the gate decides the race with an abort: after it no abort
        // touches the socket, and a socket an abort shut down is never pooled.
        x.abandoned = !job->gate.close();
        if (x.raw.reusable && !x.abandoned)
            return_connection(pool, conn);
        else
            discard_connection(pool, conn);
        return;
    }
}

}  // namespace

void free_job(Job* job) {
    job->host.reset();
    job->target.reset();
    for (size_t i = 0; i < job->header_count; ++i) {
        HeaderEntry& h = job->headers[i];
        if (h.name_len != 0) heap_free(const_cast<uint8_t*>(h.name));
        if (h.value_len != 0) heap_free(const_cast<uint8_t*>(h.value));
    }
    if (job->header_count != 0) heap_free(job->headers);
    job->headers = nullptr;
    job->header_count = 0;
    job->body.reset();
    download_target_release(job->download);
    job->~Job();
    heap_free(job);
}

void run_job(Job* job, const JobHooks& hooks) {
    Pool* pool = job->pool;
    // Every socket call of this thread looks at the job's gate from here on.
    set_thread_abort_gate(&job->gate);
    // The head is built on this thread's large stack; the body is sent from
    // the job's copy, so neither is copied again before the socket.
    uint8_t head_buf[HEAD_BUFFER];
    OwnedBytes head_spill;
    // A proxy that forwards takes the caller's Host and its own credentials.
    const bool forward = via_forwards(pool);
    const RequestParts parts{job->method,       job->target.slice(), job->host.slice(),
                             job->port,         job->headers,        job->header_count,
                             job->body.slice(), pool->use_tls != 0,  forward,
                             forward ? pool->via.proxy_authorization.slice() : Slice{}};
    bool refused = false;
    // Lives until the job is handed back; removes the file unless finished.
    FileBodySink file_sink(job->download);
    FileBodySink* sink = job->download != nullptr ? &file_sink : nullptr;
    const Slice request = build_request_head(parts, head_buf, sizeof(head_buf), &head_spill, &refused);
    if (request.ptr == nullptr) {
        finish_failure(hooks, job, RESULT_TRANSPORT,
                       refused ? "refused to send an invalid request" : "out of memory building request", sink);
        return;
    }

    Exchanged x;
    exchange(job, pool, request, parts.body, sink, x);
    RawResponse& raw = x.raw;
    ErrorKind err = x.err;

    head_spill.reset();
    if (x.abandoned || job->gate.aborted()) {
        raw.bytes.reset();
        finish_failure(hooks, job, RESULT_TRANSPORT, "request abandoned", sink);
        return;
    }
    if (x.refusal != nullptr) {
        finish_failure(hooks, job, RESULT_TLS, x.refusal, sink);
        return;
    }
    if (err == ErrorKind::None && sink != nullptr && !sink->finish()) err = ErrorKind::BodySinkFailed;
    if (err != ErrorKind::None) {
        int32_t kind = RESULT_TRANSPORT;
        const char* message = exchange_failure_message(err, &kind);
        // The proxy's answer, so the caller can say what it was.
        if (err == ErrorKind::ProxyRefused || err == ErrorKind::ProxyAuthRequired)
            job->outcome.status = last_proxy_status();
        finish_failure(hooks, job, kind, message, sink);
        return;
    }
    // The captured bytes go with the job: its headers and body point into them.
    JobOutcome& out = job->outcome;
    out.capture = static_cast<OwnedBytes&&>(raw.bytes);
    if (!decode_response(out.capture.data(), out.capture.size(), raw.head_len, raw.has_body, &out.decoded,
                         raw.streamed)) {
        out.capture.reset();
        finish_failure(hooks, job, RESULT_PROTOCOL, "malformed HTTP response", sink);
        return;
    }
    out.status = out.decoded.status;
    out.kind = RESULT_OK;
    set_thread_abort_gate(nullptr);
    hooks.finish(job);
}

}  // namespace tarnix
