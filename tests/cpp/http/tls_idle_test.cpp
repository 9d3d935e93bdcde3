// Reuse of idle TLS connections against an in-process OpenSSL server that
// sends records while the connection sits in the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "http/framing.h"
#include "http/pool.h"
#include "http/request.h"
#include "http/tls_connection.h"
#include "test_net_util.h"
#include "test_pki.h"
#include "tls/ca_bundle.h"

using namespace tarnix;
using namespace testpki;

namespace {

enum class WhileIdle {
    SessionTicket,
    CloseNotify,
    StrayResponse,
    // In the same flight as the first answer, so the client reads them off
    // the socket together with it.
    CloseNotifyWithAnswer,
    StrayResponseWithAnswer,
    // Just before every answer but the first, after the client's idle check.
    TicketBeforeAnswer,
};

// Serves one connection at a time. After each answer it waits until the test
// has put the connection back in the pool, then does `what` on it.
class IdleTlsServer {
public:
    explicit IdleTlsServer(WhileIdle what) : what_(what), listener_(AF_INET) {
        root_key_ = ec_key();
        root_ = make_cert({"Idle Test Root", "tarnix tests", 1, 0, 0, true}, root_key_.get(), nullptr, nullptr);
        leaf_key_ = ec_key();
        leaf_ = make_cert({"localhost", "tarnix tests", 2, 0, 0, false, Eku::ServerAuth}, leaf_key_.get(),
                          root_.get(), root_key_.get());
        ctx_ = SSL_CTX_new(TLS_server_method());
        ok_ = ctx_ != nullptr && listener_.ok() && SSL_CTX_use_certificate(ctx_, leaf_.get()) == 1 &&
              SSL_CTX_use_PrivateKey(ctx_, leaf_key_.get()) == 1;
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~IdleTlsServer() {
        stop_ = true;
        listener_.stop();
        if (thread_.joinable()) thread_.join();
        SSL_CTX_free(ctx_);
    }
    bool ok() const { return ok_; }
    uint16_t port() const { return listener_.port; }
    X509* root() const { return root_.get(); }

    // The connection is idle in the pool: act on it, and wait until done.
    bool act() {
        go_ = true;
        for (int ms = 0; ms < 10000 && !acted_; ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Loopback hands the bytes over at once; the margin is for slow machines.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return acted_.exchange(false);
    }

    std::atomic<int> accepted{0};
    std::atomic<int> requests{0};

private:
    void run() {
        for (;;) {
            int fd = listener_.accept_one();
            if (fd < 0) return;
            ++accepted;
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                // Writes wait in a buffer until flushed, so records can share
                // one flight.
                BIO* out = BIO_new(BIO_f_buffer());
                BIO_push(out, BIO_new_socket(fd, BIO_NOCLOSE));
                SSL_set0_wbio(ssl, out);
                serve(ssl);
            }
            SSL_free(ssl);
            tarnix_test::close_socket(fd);
        }
    }

    void serve(SSL* ssl) {
        static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        static const char k408[] = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n";
        std::string buf;
        char chunk[4096];
        for (;;) {
            while (buf.find("\r\n\r\n") == std::string::npos) {
                int n = SSL_read(ssl, chunk, sizeof chunk);
                if (n <= 0) return;
                buf.append(chunk, size_t(n));
            }
            buf.erase(0, buf.find("\r\n\r\n") + 4);
            const bool first = ++requests == 1;
            if (what_ == WhileIdle::TicketBeforeAnswer && !first &&
                (SSL_new_session_ticket(ssl) != 1 || SSL_do_handshake(ssl) != 1 ||
                 SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED) != 1 || SSL_do_handshake(ssl) != 1))
                return;
            if (SSL_write(ssl, kOk, sizeof kOk - 1) <= 0) return;
            if (first && what_ == WhileIdle::CloseNotifyWithAnswer) SSL_shutdown(ssl);
            if (first && what_ == WhileIdle::StrayResponseWithAnswer && SSL_write(ssl, k408, sizeof k408 - 1) <= 0)
                return;
            if (BIO_flush(SSL_get_wbio(ssl)) != 1) return;
            if (what_ > WhileIdle::StrayResponse) continue;  // nothing to do while idle
            for (int ms = 0; ms < 10000 && !go_ && !stop_; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!go_.exchange(false)) continue;  // no more turns: answer until the client leaves
            switch (what_) {
                case WhileIdle::SessionTicket:
                    // A ticket and a key update: records with no application data.
                    if (SSL_new_session_ticket(ssl) != 1 || SSL_do_handshake(ssl) != 1 ||
                        SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED) != 1 || SSL_do_handshake(ssl) != 1)
                        return;
                    break;
                case WhileIdle::CloseNotify:
                    SSL_shutdown(ssl);
                    break;
                case WhileIdle::StrayResponse:
                    if (SSL_write(ssl, k408, sizeof k408 - 1) <= 0) return;
                    break;
                default:
                    break;
            }
            if (BIO_flush(SSL_get_wbio(ssl)) != 1) return;
            acted_ = true;
        }
    }

    WhileIdle what_;
    tarnix_test::Listener listener_;
    Key root_key_, leaf_key_;
    Cert root_, leaf_;
    SSL_CTX* ctx_ = nullptr;
    bool ok_ = false;
    std::thread thread_;
    std::atomic<bool> go_{false}, acted_{false}, stop_{false};
};

struct TlsPool {
    Pool* pool = pool_new();
    TlsPool(uint16_t port, X509* root) {
        pool->host.assign_copy("localhost", 9);
        pool->port = port;
        pool->use_tls = 1;
        pool->max_connections = 1;
        Bytes d = der(root);
        size_t start = pool->ca_bundle.bytes.size();
        pool->ca_bundle.bytes.append(d.data(), d.size());
        EXPECT_EQ(ca_bundle_add_der(&pool->ca_bundle, start, time(nullptr)), CaAddResult::Ok);
    }
    ~TlsPool() { pool_release(pool); }
};

// One GET on a connection from the pool; the connection goes back when the
// answer allows it. Returns whether the connection was a new one.
bool get(Pool* pool, std::string* body) {
    Connection c;
    bool fresh = false;
    EXPECT_EQ(acquire_connection(pool, &c, &fresh), ErrorKind::None);
    if (c.tls == nullptr) return fresh;
    const std::string req = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    RawResponse r = send_and_receive(tls_connection_writer(c.tls), tls_connection_reader(c.tls),
                                     Slice{reinterpret_cast<const uint8_t*>(req.data()), req.size()},
                                     &tls_connection_socket_writer(c.tls), METHOD_GET);
    EXPECT_EQ(r.error, ErrorKind::None);
    body->assign(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
    if (r.error == ErrorKind::None && r.reusable) {
        return_connection(pool, c);
    } else {
        discard_connection(pool, c);
    }
    return fresh;
}

}  // namespace

TEST(TlsIdle, SessionTicketsAndKeyUpdatesKeepTheConnection) {
    IdleTlsServer server(WhileIdle::SessionTicket);
    ASSERT_TRUE(server.ok());
    TlsPool p(server.port(), server.root());
    std::string body;
    EXPECT_TRUE(get(p.pool, &body));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(server.act());
        EXPECT_FALSE(get(p.pool, &body));  // the same connection, and it still works
        EXPECT_NE(body.find("\r\n\r\nok"), std::string::npos);
    }
    EXPECT_EQ(server.accepted.load(), 1);
    EXPECT_EQ(server.requests.load(), 3);
}

TEST(TlsIdle, CloseNotifyOrStrayBytesRetireTheConnectionUnused) {
    for (WhileIdle what : {WhileIdle::CloseNotify, WhileIdle::StrayResponse}) {
        IdleTlsServer server(what);
        ASSERT_TRUE(server.ok());
        TlsPool p(server.port(), server.root());
        std::string body;
        EXPECT_TRUE(get(p.pool, &body));
        ASSERT_TRUE(server.act());
        EXPECT_TRUE(get(p.pool, &body));  // a new connection; nothing was written to the old one
        EXPECT_NE(body.find("200 OK"), std::string::npos);
        EXPECT_EQ(server.accepted.load(), 2);
        EXPECT_EQ(server.requests.load(), 2);
    }
}

TEST(TlsIdle, RecordsReadWithTheAnswerAreCheckedBeforeReuse) {
    // The close or the stray answer came off the socket with the first
    // answer, so the kernel has nothing left to report for the idle socket.
    for (WhileIdle what : {WhileIdle::CloseNotifyWithAnswer, WhileIdle::StrayResponseWithAnswer}) {
        IdleTlsServer server(what);
        ASSERT_TRUE(server.ok());
        TlsPool p(server.port(), server.root());
        std::string body;
        EXPECT_TRUE(get(p.pool, &body));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(get(p.pool, &body));
        EXPECT_NE(body.find("\r\n\r\nok"), std::string::npos);
        EXPECT_EQ(server.accepted.load(), 2);
        EXPECT_EQ(server.requests.load(), 2);
    }
}

TEST(TlsIdle, TicketsArrivingAfterTheIdleCheckAreReadWithTheAnswer) {
    IdleTlsServer server(WhileIdle::TicketBeforeAnswer);
    ASSERT_TRUE(server.ok());
    TlsPool p(server.port(), server.root());
    std::string body;
    EXPECT_TRUE(get(p.pool, &body));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(get(p.pool, &body));
        EXPECT_NE(body.find("\r\n\r\nok"), std::string::npos);
    }
    EXPECT_EQ(server.accepted.load(), 1);
    EXPECT_EQ(server.requests.load(), 4);
}
