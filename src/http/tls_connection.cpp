#include "http/tls_connection.h"

#include <new>

#include "http/connection.h"
#include "http/pool.h"
#include "http/via.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/net.h"
#include "platform/stream.h"
#include "tls/session.h"

namespace tarnix {

namespace {

struct HeapFree {
    void operator()(uint8_t* p) const { heap_free(p); }
};
using Buffer = std::unique_ptr<uint8_t, HeapFree>;

// The socket under the session. While an idle connection is checked it does
// not wait: "nothing yet" comes back as a failed read, and a real failure is
// remembered so the check can tell the two apart.
class SocketSource final : public ByteSource {
public:
    explicit SocketSource(int fd) : fd_(fd) {}
    ssize_t read_some(uint8_t* dst, size_t cap) override {
        ssize_t r = socket_recv(fd_, dst, cap, no_wait);
        if (r == -1) failed = true;
        return r < 0 ? -1 : r;
    }
    bool no_wait = false;
    bool failed = false;

private:
    int fd_;
};

}  // namespace

// One heap block; the readers, writers and session point into it, so it never
// moves.
struct TlsConnection {
    Stream stream;
    Buffer socket_write_buf;
    Buffer socket_read_buf;
    Buffer tls_read_buf;
    Buffer tls_write_buf;
    FdSink socket_sink;
    SocketSource socket_source;
    BufferedWriter socket_writer;
    BufferedReader socket_reader;
    TlsSession session;

    explicit TlsConnection(const Stream& s)
        : stream(s),
          socket_sink(s.fd),
          socket_source(s.fd),
          socket_writer(&socket_sink, nullptr, 0),
          socket_reader(&socket_source, nullptr, 0) {}

    // The socket closes first; the session (no I/O), then the buffers (most
    // recent first) go with the members.
    ~TlsConnection() { socket_close(stream.fd); }
};

namespace {

struct ConnectionFree {
    void operator()(TlsConnection* c) const {
        c->~TlsConnection();
        heap_free(c);
    }
};
using ConnectionPtr = std::unique_ptr<TlsConnection, ConnectionFree>;

// Each job runs on a thread of its own: what its last failed handshake was
// refused over stays with the thread until it opens another connection.
thread_local const char* t_open_refusal = nullptr;

}  // namespace

ErrorKind open_tls_connection(Pool* pool, TlsConnection** out) {
    *out = nullptr;
    t_open_refusal = nullptr;
    void* block = heap_alloc(sizeof(TlsConnection));
    if (block == nullptr) return ErrorKind::OutOfMemory;
    Stream stream;
    ErrorKind err = open_stream(pool, &stream);
    if (err != ErrorKind::None) {
        heap_free(block);
        return err;
    }
    ConnectionPtr conn(new (block) TlsConnection(stream));
    // Every write is already one coalesced flight; without this the request
    // after the client's Finished waits for the server's delayed ACK.
    socket_set_nodelay(stream.fd);

    Buffer* buffers[] = {&conn->socket_write_buf, &conn->socket_read_buf, &conn->tls_read_buf, &conn->tls_write_buf};
    for (Buffer* b : buffers) {
        b->reset(static_cast<uint8_t*>(heap_alloc(TLS_RECORD_BUFFER_SIZE)));
        if (!*b) return ErrorKind::OutOfMemory;
    }
    conn->socket_writer = BufferedWriter(&conn->socket_sink, conn->socket_write_buf.get(), TLS_RECORD_BUFFER_SIZE);
    conn->socket_reader = BufferedReader(&conn->socket_source, conn->socket_read_buf.get(), TLS_RECORD_BUFFER_SIZE);

    TlsSessionOptions options;
    options.server_name = pool->host.slice();
    options.check_host = true;
    options.ca_bundle = &pool->ca_bundle;
    options.ca_lock = &pool->ca_lock;
    options.read_buffer = conn->tls_read_buf.get();
    options.read_buffer_len = TLS_RECORD_BUFFER_SIZE;
    options.write_buffer = conn->tls_write_buf.get();
    options.write_buffer_len = TLS_RECORD_BUFFER_SIZE;
    options.allow_truncation = false;
    options.now = wall_clock_ns();
    options.client_cert = pool->client_cert.get();
    if (!tls_session_open(&conn->session, conn->socket_reader, conn->socket_writer, options)) {
        t_open_refusal = conn->session.client_cert_refusal();
        return ErrorKind::TlsFailed;
    }
    *out = conn.release();
    return ErrorKind::None;
}

void destroy_tls_connection(TlsConnection* conn) {
    if (conn == nullptr) return;
    ConnectionPtr owned(conn);
    // Best effort: pending plaintext and close_notify reach the socket, or not.
    conn->session.close();
    conn->socket_writer.flush();
}

void drop_tls_connection(TlsConnection* conn) {
    if (conn == nullptr) return;
    ConnectionPtr owned(conn);
    conn->session.abandon();
}

bool tls_connection_idle_check(TlsConnection* conn) {
    // Plaintext nobody asked for would be taken for the next response.
    if (conn->session.reader().buffered() != 0) return false;
    // Usually nothing arrived: the kernel says so without a read that fails
    // or a trip through the library. Bytes already taken off the socket
    // still need the library's look.
    if (conn->socket_reader.buffered() == 0 && !conn->session.has_unprocessed_input() &&
        !socket_has_input(conn->stream.fd))
        return true;
    conn->socket_source.no_wait = true;
    bool clean = conn->session.idle_check();
    conn->socket_source.no_wait = false;
    return clean && !conn->socket_source.failed;
}

ByteSink& tls_connection_writer(TlsConnection* conn) { return conn->session.writer(); }
BufferedReader& tls_connection_reader(TlsConnection* conn) { return conn->session.reader(); }
ByteSink& tls_connection_socket_writer(TlsConnection* conn) { return conn->socket_writer; }
int tls_connection_socket(TlsConnection* conn) { return conn->stream.fd; }
const char* tls_connection_cert_refusal(TlsConnection* conn) { return conn->session.client_cert_refusal(); }
const char* tls_open_cert_refusal() { return t_open_refusal; }

}  // namespace tarnix
