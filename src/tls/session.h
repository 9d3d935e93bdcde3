// TLS client session over a connection's buffered socket reader and writer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/bytes.h"
#include "platform/stream.h"

struct ssl_st;
struct x509_st;

namespace tarnix {

struct CaBundle;
struct ClientCert;
class RwLock;
struct AcceptedStore;

// Settings of one handshake.
struct TlsSessionOptions {
    __int128 now = 0;       // ns since 1970-01-01 UTC; every validity check uses it
    Slice server_name;      // matched against the leaf; sent as SNI unless an IP literal
    bool check_host = true;
    CaBundle* ca_bundle = nullptr;  // first trust source; replaced under ca_lock
    RwLock* ca_lock = nullptr;
    uint8_t* read_buffer = nullptr;   // decrypted data for the plaintext reader
    size_t read_buffer_len = 0;
    uint8_t* write_buffer = nullptr;  // plaintext waiting to be sealed
    size_t write_buffer_len = 0;
    bool allow_truncation = false;    // a transport end without close_notify is an error
    const ClientCert* client_cert = nullptr;  // shown when the server asks for one
};

// What the custom BIO and the certificate hook reach through the session.
struct TlsTransport {
    BufferedReader* socket_reader = nullptr;
    ByteSink* socket_writer = nullptr;
    const TlsSessionOptions* options = nullptr;  // set during the handshake only
    uint32_t record_left = 0;  // body bytes of the incoming record not yet read
    uint8_t header_len = 0;    // bytes of the incoming record header seen so far
    uint8_t header[5] = {};
    bool eof = false;          // the transport ended
    bool no_wait = false;      // a failed socket read means "nothing yet" (idle check)
    // The leaf's issuer when the chain's revocation is checked (a reference,
    // dropped when the handshake ends): a stapled OCSP response is judged
    // against it.
    x509_st* status_issuer = nullptr;
    // The store version that accepted the chain: the pool's bundle is
    // rebuilt from it once the handshake has succeeded, not before, so a
    // handshake that fails later (a revoked staple, a server without the
    // key) leaves the pool's trust as it was.
    AcceptedStore* accepted_store = nullptr;
    // What tells a refused client certificate from other failures: the
    // server asked for one, and the alert it sent last (-1: none).
    bool cert_requested = false;
    bool cert_shown = false;
    int16_t peer_alert = -1;
};

struct SslFree {
    void operator()(ssl_st* s) const;
};

// Owns the library's connection state; lives inside its connection object
// because the reader and writer point into it.
class TlsSession {
public:
    TlsSession() = default;
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Plaintext writer: buffers into write_buffer; flush seals records into
    // the socket writer's buffer (the caller then flushes the socket writer).
    ByteSink& writer() { return plain_writer_; }
    // Plaintext reader: decrypted bytes; clean end only after close_notify.
    BufferedReader& reader() { return plain_reader_; }

    // Seals pending plaintext, then a close_notify alert, into the socket
    // writer's buffer. False when either could not be written.
    bool close();

    // Ends the session without a byte sent, for a forked child's copy of a
    // connection its parent still uses. Freeing it afterwards leaves the
    // library's session cache, and the lock that guards it, alone.
    void abandon();

    // For a connection about to be reused: processes the records that have
    // already arrived, without waiting for more (the socket source reports
    // "nothing yet" as a failed read meanwhile). True when none of them
    // carried application data, an alert or the end of the stream; session
    // tickets and key updates keep the session usable.
    bool idle_check();

    // True when the session may hold input not yet looked at: record bytes
    // the library has read but not processed, or plaintext not taken. False
    // also means the transport has not ended.
    bool has_unprocessed_input();

    // When the server ended the session over the client certificate (a
    // certificate alert after it asked for one, during the handshake or
    // after it, as TLS 1.3 servers do): a fixed message naming the alert.
    // Null otherwise.
    const char* client_cert_refusal() const;

private:
    friend bool tls_session_open(TlsSession* session, BufferedReader& socket_reader, ByteSink& socket_writer,
                                 const TlsSessionOptions& options);

    class RecordSource final : public ByteSource {
    public:
        ssl_st* ssl = nullptr;
        ssize_t read_some(uint8_t* dst, size_t cap) override;
    };
    class RecordSink final : public ByteSink {
    public:
        ssl_st* ssl = nullptr;
        bool write_all(const uint8_t* src, size_t n) override;
        bool flush() override { return true; }
    };

    TlsTransport transport_;
    std::unique_ptr<ssl_st, SslFree> ssl_;
    RecordSource source_;
    RecordSink sink_;
    BufferedReader plain_reader_{nullptr, nullptr, 0};
    BufferedWriter plain_writer_{nullptr, nullptr, 0};
};

// Runs a full client handshake (no resumption) with the certificate checks
// over the socket reader and writer. False on any failure; the session then
// holds nothing.
bool tls_session_open(TlsSession* session, BufferedReader& socket_reader, ByteSink& socket_writer,
                      const TlsSessionOptions& options);

// client_cert_refusal() of a session for its transport state alone (the
// session itself may be gone after a failed handshake).
const char* client_cert_refusal_of(const TlsTransport& t);

}  // namespace tarnix
