#include "tls_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "platform/clock.h"
#include "test_pki.h"

namespace tlstest {

namespace {

constexpr int SOCKET_TIMEOUT_SECONDS = 10;
constexpr size_t RECORD_BUFFER = 16645;

void set_timeouts(int fd) {
    timeval tv{SOCKET_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

std::shared_ptr<SSL_CTX> make_server_ctx(const ServerSpec& spec) {
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx || spec.chain.empty() || spec.key == nullptr) return nullptr;
    // The server presents whatever the test hands it: weak keys and old
    // signatures included, and exactly the chain given.
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_NO_AUTO_CHAIN);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    if (SSL_CTX_set_min_proto_version(ctx.get(), spec.min_version) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), spec.max_version) != 1 ||
        SSL_CTX_use_certificate(ctx.get(), spec.chain[0]) != 1 || SSL_CTX_use_PrivateKey(ctx.get(), spec.key) != 1)
        return nullptr;
    for (size_t i = 1; i < spec.chain.size(); i++) {
        if (SSL_CTX_add1_chain_cert(ctx.get(), spec.chain[i]) != 1) return nullptr;
    }
    return ctx;
}

// Reads one request head; false at the end of the stream or on an error,
// with `closed_cleanly` telling the two apart.
bool read_head(SSL* ssl, bool* closed_cleanly) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        size_t n = 0;
        if (SSL_read_ex(ssl, buf, sizeof buf, &n) != 1) {
            *closed_cleanly = SSL_get_error(ssl, 0) == SSL_ERROR_ZERO_RETURN;
            return false;
        }
        head.append(buf, n);
    }
    return true;
}

bool write_text(SSL* ssl, const std::string& text) {
    size_t done = 0;
    return SSL_write_ex(ssl, text.data(), text.size(), &done) == 1 && done == text.size();
}

}  // namespace

void respond_keep_alive(TlsTestServer& server, SSL* ssl) {
    for (int n = 1;; n++) {
        bool clean = false;
        if (!read_head(ssl, &clean)) {
            server.post(clean ? "close_notify" : "eof");
            return;
        }
        std::string body = "hello " + std::to_string(n);
        if (!write_text(ssl, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body))
            return;
    }
}

Responder respond_to_end(bool close_notify) {
    return [close_notify](TlsTestServer& server, SSL* ssl) {
        bool clean = false;
        if (!read_head(ssl, &clean)) return;
        write_text(ssl, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody up to the end");
        if (close_notify) SSL_shutdown(ssl);
        server.post("closed");
    };
}

void respond_short_body(TlsTestServer& server, SSL* ssl) {
    bool clean = false;
    if (!read_head(ssl, &clean)) return;
    write_text(ssl, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b");
    server.post("closed");
}

// ---------------------------------------------------------------------------

TlsTestServer::TlsTestServer(const ServerSpec& spec) {
    // The server writes through plain socket writes; a client that hung up
    // must show as a write error, not end the test process.
    signal(SIGPIPE, SIG_IGN);
    ok_ = use(spec);
}

bool TlsTestServer::use(const ServerSpec& spec) {
    std::shared_ptr<SSL_CTX> ctx = make_server_ctx(spec);
    ERR_clear_error();
    if (!ctx) return false;
    SSL_CTX_set_tlsext_status_cb(ctx.get(), status_callback);
    SSL_CTX_set_tlsext_status_arg(ctx.get(), this);
    std::lock_guard<std::mutex> g(mu_);
    ctx_ = std::move(ctx);
    respond_ = spec.respond;
    staple_ = spec.ocsp_staple;
    return true;
}

// Runs only for a ClientHello with the status_request extension.
int TlsTestServer::status_callback(SSL* ssl, void* arg) {
    auto* self = static_cast<TlsTestServer*>(arg);
    std::lock_guard<std::mutex> g(self->mu_);
    self->status_requests_++;
    if (self->staple_.empty()) return SSL_TLSEXT_ERR_NOACK;
    // The library takes ownership of the copy.
    auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(self->staple_.data(), self->staple_.size()));
    if (copy == nullptr) return SSL_TLSEXT_ERR_ALERT_FATAL;
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, long(self->staple_.size()));
    return SSL_TLSEXT_ERR_OK;
}

TlsTestServer::~TlsTestServer() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stopping_ = true;
        // Wakes every connection thread still blocked in a read.
        for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : threads_) t.join();
    for (int fd : fds_) close(fd);
    if (listen_fd_ >= 0) close(listen_fd_);
}

uint16_t TlsTestServer::listen() {
    if (listen_fd_ >= 0) return port_;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return 0;
    }
    listen_fd_ = fd;
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
    return port_;
}

void TlsTestServer::accept_loop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> g(mu_);
            if (stopping_) return;
        }
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) start_serving(fd);
    }
}

int TlsTestServer::connect_pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    set_timeouts(sv[0]);
    start_serving(sv[1]);
    return sv[0];
}

void TlsTestServer::start_serving(int fd) {
    set_timeouts(fd);
    std::lock_guard<std::mutex> g(mu_);
    fds_.push_back(fd);
    if (stopping_) {
        shutdown(fd, SHUT_RDWR);
        return;
    }
    threads_.emplace_back([this, fd] { serve(fd); });
}

void TlsTestServer::serve(int fd) {
    std::shared_ptr<SSL_CTX> ctx;
    Responder respond;
    {
        std::lock_guard<std::mutex> g(mu_);
        ctx = ctx_;
        respond = respond_;
    }
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(ctx ? SSL_new(ctx.get()) : nullptr, SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
        post("handshake failed");
    } else {
        {
            std::lock_guard<std::mutex> g(mu_);
            handshakes_++;
        }
        respond(*this, ssl.get());
    }
    ERR_clear_error();
    // The client sees the end of the stream; the descriptor itself is closed
    // by the destructor, so that no other thread can be handed its number.
    shutdown(fd, SHUT_RDWR);
}

int TlsTestServer::handshakes() const {
    std::lock_guard<std::mutex> g(mu_);
    return handshakes_;
}

int TlsTestServer::status_requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return status_requests_;
}

void TlsTestServer::post(const std::string& event) {
    std::lock_guard<std::mutex> g(mu_);
    events_.push_back(event);
    cv_.notify_all();
}

std::string TlsTestServer::next_event(int timeout_ms) {
    std::unique_lock<std::mutex> g(mu_);
    if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return !events_.empty(); })) return "";
    std::string e = events_.front();
    events_.pop_front();
    return e;
}

// ---------------------------------------------------------------------------

bool Trust::add(X509* cert, time_t now) {
    testpki::Bytes d = testpki::der(cert);
    size_t start = bundle.bytes.size();
    if (d.empty() || !bundle.bytes.append(d.data(), d.size())) return false;
    return tarnix::ca_bundle_add_der(&bundle, start, now ? now : time(nullptr)) == tarnix::CaAddResult::Ok;
}

size_t Trust::count() const { return tarnix::ca_bundle_count(&bundle); }

TlsClient::TlsClient(int fd)
    : fd_(fd),
      buffers_(4 * RECORD_BUFFER),
      source_(fd),
      sink_(fd),
      socket_reader_(&source_, buffers_.data(), RECORD_BUFFER),
      socket_writer_(&sink_, buffers_.data() + RECORD_BUFFER, RECORD_BUFFER) {}

TlsClient::~TlsClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool TlsClient::open(const std::string& host, Trust& trust, __int128 now_ns) {
    if (fd_ < 0) return false;
    options_ = tarnix::TlsSessionOptions{};
    options_.now = now_ns != 0 ? now_ns : tarnix::wall_clock_ns();
    options_.server_name = tarnix::Slice{reinterpret_cast<const uint8_t*>(host.data()), host.size()};
    options_.check_host = true;
    options_.ca_bundle = &trust.bundle;
    options_.ca_lock = &trust.lock;
    options_.read_buffer = buffers_.data() + 2 * RECORD_BUFFER;
    options_.read_buffer_len = RECORD_BUFFER;
    options_.write_buffer = buffers_.data() + 3 * RECORD_BUFFER;
    options_.write_buffer_len = RECORD_BUFFER;
    options_.allow_truncation = false;
    bool ok = tarnix::tls_session_open(&session, socket_reader_, socket_writer_, options_);
    // The host text lives in the caller's string; the session keeps no
    // pointer to it after the handshake.
    options_.server_name = tarnix::Slice{};
    return ok;
}

bool TlsClient::send_get() {
    static const char request[] = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    return session.writer().write_all(reinterpret_cast<const uint8_t*>(request), sizeof request - 1) &&
           session.writer().flush() && socket_writer_.flush();
}

std::string TlsClient::read_to_end(bool* clean) {
    std::string out;
    uint8_t buf[4096];
    for (int i = 0; i < 10000; i++) {
        ssize_t n = session.reader().read_some(buf, sizeof buf);
        if (n <= 0) {
            *clean = n == 0;
            return out;
        }
        out.append(reinterpret_cast<const char*>(buf), size_t(n));
    }
    *clean = false;
    return out;
}

bool TlsClient::close() { return session.close() && socket_writer_.flush(); }

bool handshake(TlsTestServer& server, const std::string& host, Trust& trust, __int128 now_ns) {
    TlsClient client(server.connect_pair());
    if (!client.open(host, trust, now_ns)) return false;
    client.close();
    return true;
}

// ---------------------------------------------------------------------------

SystemStore::SystemStore() {
#ifdef TARNIX_UNIT_TEST_STORE
    path_ = TARNIX_UNIT_TEST_STORE;
    std::string dir = path_.substr(0, path_.rfind('/'));
    mkdir(dir.c_str(), 0700);
    int fd = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return;
    }
    lock_fd_ = fd;
    write("");
#endif
}

SystemStore::~SystemStore() {
    if (lock_fd_ < 0) return;
    unlink(path_.c_str());
    for (const std::string& k : kept_) unlink(k.c_str());
    close(lock_fd_);
}

bool SystemStore::write(const std::string& pem_text) {
    if (lock_fd_ < 0) return false;
    // Earlier versions stay linked until the end, so a new version never
    // reuses an old one's inode and is always told apart from it.
    std::string keep = path_ + ".v" + std::to_string(kept_.size());
    if (link(path_.c_str(), keep.c_str()) == 0) kept_.push_back(keep);
    std::string tmp = path_ + ".new";
    return testpki::write_file(tmp, pem_text) && rename(tmp.c_str(), path_.c_str()) == 0;
}

}  // namespace tlstest
