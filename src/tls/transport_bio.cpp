// The BIO that carries TLS records over the connection's buffered socket
// reader and writer, outside the library's exit gate while it waits.
#include <openssl/bio.h>

#include "tls/exit_gate.h"
#include "tls/session.h"
#include "tls/session_internal.h"

namespace tarnix {

namespace {

// Longest record body a server may send: 16,384 bytes of plaintext plus 256
// bytes of expansion.
constexpr uint32_t MAX_RECORD_BODY = 16640;

TlsTransport* transport_of(BIO* b) { return static_cast<TlsTransport*>(BIO_get_data(b)); }

// Follows record boundaries in the bytes handed to the library and refuses a
// record whose length field is above the limit.
bool track_records(TlsTransport* t, const uint8_t* p, size_t n) {
    while (n != 0) {
        if (t->record_left != 0) {
            size_t k = n < t->record_left ? n : t->record_left;
            t->record_left -= uint32_t(k);
            p += k;
            n -= k;
            continue;
        }
        t->header[t->header_len++] = *p++;
        n--;
        if (t->header_len == 5) {
            uint32_t len = (uint32_t(t->header[3]) << 8) | t->header[4];
            if (len > MAX_RECORD_BODY) return false;
            t->record_left = len;
            t->header_len = 0;
        }
    }
    return true;
}

int bio_read(BIO* b, char* data, size_t len, size_t* read) {
    BIO_clear_retry_flags(b);
    *read = 0;
    TlsTransport* t = transport_of(b);
    if (len == 0 || t == nullptr) return 0;
    pause_tls_code();
    ssize_t n = t->socket_reader->read_some(reinterpret_cast<uint8_t*>(data), len);
    resume_tls_code();
    if (n == 0) t->eof = true;
    if (n < 0 && t->no_wait) BIO_set_retry_read(b);
    if (n <= 0) return 0;
    if (!track_records(t, reinterpret_cast<const uint8_t*>(data), size_t(n))) return 0;
    *read = size_t(n);
    return 1;
}

int bio_write(BIO* b, const char* data, size_t len, size_t* written) {
    BIO_clear_retry_flags(b);
    *written = 0;
    TlsTransport* t = transport_of(b);
    if (t == nullptr) return 0;
    pause_tls_code();
    bool ok = t->socket_writer->write_all(reinterpret_cast<const uint8_t*>(data), len);
    resume_tls_code();
    if (!ok) return 0;
    *written = len;
    return 1;
}

long bio_ctrl(BIO* b, int cmd, long, void*) {
    TlsTransport* t = transport_of(b);
    switch (cmd) {
    case BIO_CTRL_FLUSH: {
        if (t == nullptr) return 0;
        pause_tls_code();
        bool ok = t->socket_writer->flush();
        resume_tls_code();
        return ok ? 1 : 0;
    }
    case BIO_CTRL_EOF:
        return (t != nullptr && t->eof) ? 1 : 0;
    case BIO_CTRL_GET_CLOSE:
        return BIO_CLOSE;
    case BIO_CTRL_SET_CLOSE:
        return 1;
    case BIO_C_GET_FD:
        return -1;
    default:
        return 0;
    }
}

int bio_create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

int bio_destroy(BIO*) { return 1; }

}  // namespace

BIO_METHOD* new_transport_bio_method() {
    BioMethodPtr m(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnix socket"));
    if (!m) return nullptr;
    if (BIO_meth_set_read_ex(m.get(), bio_read) != 1 || BIO_meth_set_write_ex(m.get(), bio_write) != 1 ||
        BIO_meth_set_ctrl(m.get(), bio_ctrl) != 1 || BIO_meth_set_create(m.get(), bio_create) != 1 ||
        BIO_meth_set_destroy(m.get(), bio_destroy) != 1)
        return nullptr;
    return m.release();
}

}  // namespace tarnix
