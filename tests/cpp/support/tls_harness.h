// In-process TLS peers for the handshake tests: an OpenSSL server with a
// chosen certificate chain, served on its own threads over loopback TCP or a
// socket pair, and the engine's own TLS client session driven against it.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "platform/rwlock.h"
#include "platform/stream.h"
#include "tls/ca_bundle.h"
#include "tls/session.h"

namespace tlstest {

class TlsTestServer;

// What the server does on a connection once its handshake has succeeded.
using Responder = std::function<void(TlsTestServer&, SSL*)>;

// Answers requests (one "hello N" body each, Content-Length framed) until the
// client ends the connection; reports "close_notify" or "eof".
void respond_keep_alive(TlsTestServer& server, SSL* ssl);
// One response framed by the end of the stream, ended with a close_notify
// alert or by a bare transport close.
Responder respond_to_end(bool close_notify);
// A response that promises more body than it sends, then a bare close.
void respond_short_body(TlsTestServer& server, SSL* ssl);

struct ServerSpec {
    std::vector<X509*> chain;  // sent as given: the leaf first
    EVP_PKEY* key = nullptr;   // the leaf's private key
    int min_version = TLS1_2_VERSION;
    int max_version = TLS1_3_VERSION;
    Responder respond = respond_keep_alive;
    // DER OCSP response stapled when the client asks for the certificate's
    // status; empty staples nothing.
    std::vector<uint8_t> ocsp_staple = {};
};

// One OpenSSL server: each connection runs on its own thread. Every socket
// has send and receive timeouts, so a test that goes wrong fails, not hangs.
class TlsTestServer {
public:
    explicit TlsTestServer(const ServerSpec& spec);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // False when the context could not be made (the key does not match, ...).
    bool ok() const { return ok_; }
    // Serves later connections with another chain, key or responder.
    bool use(const ServerSpec& spec);

    // Listens on 127.0.0.1 (once) and returns the port.
    uint16_t listen();
    // A connected socket pair whose other end is served; the caller owns the
    // returned end. -1 on failure.
    int connect_pair();

    // Handshakes that completed on the server side.
    int handshakes() const;
    // ClientHellos that asked for the certificate's status (OCSP stapling).
    int status_requests() const;
    // Next event, in order: "handshake failed", "close_notify", "eof",
    // "closed", or a responder's own; "" after `timeout_ms` without one.
    std::string next_event(int timeout_ms = 10000);
    void post(const std::string& event);

private:
    void accept_loop();
    void serve(int fd);
    void start_serving(int fd);
    static int status_callback(SSL* ssl, void* arg);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> events_;
    std::shared_ptr<SSL_CTX> ctx_;
    Responder respond_;
    bool ok_ = false;
    int handshakes_ = 0;
    int status_requests_ = 0;
    std::vector<uint8_t> staple_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    bool stopping_ = false;
    std::thread acceptor_;
    std::vector<std::thread> threads_;
    std::vector<int> fds_;  // closed only after every thread has ended
};

// A pool-like trust source: a CA bundle and its lock.
struct Trust {
    tarnix::CaBundle bundle;
    tarnix::RwLock lock;
    // Appends by the bundle's keep-or-skip rules at `now`. False on failure.
    bool add(X509* cert, time_t now = 0);
    size_t count() const;
};

// The engine's TLS client session over a connected socket it owns.
class TlsClient {
public:
    explicit TlsClient(int fd);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Runs the handshake as a connection would, judging validity at `now_ns`
    // (0: the wall clock).
    bool open(const std::string& host, Trust& trust, __int128 now_ns = 0);
    // Writes a GET and flushes it to the socket.
    bool send_get();
    // Reads until the end of the stream: the bytes, and whether the end was
    // clean (a close_notify) rather than an error.
    std::string read_to_end(bool* clean);
    // Seals a close_notify and flushes it.
    bool close();

    tarnix::TlsSession session;

private:
    int fd_;
    std::vector<uint8_t> buffers_;
    tarnix::FdSource source_;
    tarnix::FdSink sink_;
    tarnix::BufferedReader socket_reader_;
    tarnix::BufferedWriter socket_writer_;
    tarnix::TlsSessionOptions options_;
};

// One handshake of the engine's client with `server` over a socket pair;
// ends the session with close_notify when it succeeds.
bool handshake(TlsTestServer& server, const std::string& host, Trust& trust, __int128 now_ns = 0);

inline __int128 ns(time_t t) { return static_cast<__int128>(t) * 1000000000; }

// The system trust store file that this test build looks at first. Held
// under an exclusive file lock, since test processes run in parallel;
// removed again when the holder goes.
class SystemStore {
public:
    SystemStore();
    ~SystemStore();
    SystemStore(const SystemStore&) = delete;
    SystemStore& operator=(const SystemStore&) = delete;

    // False when this build has no test store path.
    bool available() const { return lock_fd_ >= 0; }
    // Replaces the file whole (a new file renamed over the old one), with the
    // given PEM text.
    bool write(const std::string& pem_text);

private:
    std::string path_;
    int lock_fd_ = -1;
    std::vector<std::string> kept_;
};

}  // namespace tlstest
