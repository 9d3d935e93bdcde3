#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "http/error.h"
#include "http/job.h"
#include "http/pool.h"
#include "platform/heap.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::Listener;

namespace {

// What one job handed back.
struct Outcome {
    int finishes = 0;
    int32_t status = -1;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int32_t kind = -1;
    std::string message;
};

Outcome* outcome_of(Job* job) { return static_cast<Outcome*>(job->future); }

void finish_hook(Job* job) {
    Outcome* o = outcome_of(job);
    const JobOutcome& out = job->outcome;
    ++o->finishes;
    o->status = out.status;
    for (size_t i = 0; i < out.decoded.header_count; ++i) {
        const HeaderEntry& h = out.decoded.headers[i];
        o->headers.emplace_back(std::string(reinterpret_cast<const char*>(h.name), h.name_len),
                                std::string(reinterpret_cast<const char*>(h.value), h.value_len));
    }
    if (out.kind == RESULT_OK)
        o->body.assign(reinterpret_cast<const char*>(out.decoded.body), out.decoded.body_len);
    o->kind = out.kind;
    o->message = out.message;
    free_job(job);
}

const JobHooks kHooks{finish_hook};

uint8_t* copy_of(const char* s) {
    size_t n = std::strlen(s);
    auto* p = static_cast<uint8_t*>(heap_alloc(n));
    std::memcpy(p, s, n);
    return p;
}

Job* new_job(Pool* pool, Outcome* o, uint8_t method = 0, const char* body = "") {
    Job* job = new (heap_alloc(sizeof(Job))) Job();
    job->pool = pool;
    job->host.assign_copy(pool->host.data(), pool->host.size());
    job->port = pool->port;
    job->method = method;
    job->target.assign_copy("/x", 2);
    job->body.assign_copy(body, std::strlen(body));
    job->headers = static_cast<HeaderEntry*>(heap_alloc(sizeof(HeaderEntry)));
    job->headers[0] = HeaderEntry{copy_of("X-Test"), 6, copy_of("1"), 1};
    job->header_count = 1;
    job->future = o;
    return job;
}

Outcome run(Pool* pool, uint8_t method = 0, const char* body = "") {
    Outcome o;
    run_job(new_job(pool, &o, method, body), kHooks);
    EXPECT_EQ(o.finishes, 1);
    return o;
}

struct PoolFor {
    Pool* pool;
    PoolFor(const char* host, uint16_t port, uint32_t max = 4) : pool(pool_new()) {
        pool->host.assign_copy(host, std::strlen(host));
        pool->port = port;
        pool->max_connections = max;
    }
    ~PoolFor() { pool_release(pool); }
    uint32_t open() {
        SpinGuard g(pool->lock);
        return pool->open_connections;
    }
};

// Reads one request head (and a Content-Length body); false at end of stream.
bool read_request(int fd, std::string* got) {
    std::string buf;
    char chunk[4096];
    for (;;) {
        size_t head_end = buf.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            size_t want = head_end + 4;
            size_t cl = buf.find("Content-Length: ");
            if (cl != std::string::npos && cl < head_end) want += std::stoul(buf.substr(cl + 16));
            if (buf.size() >= want) {
                if (got) *got += buf;
                return true;
            }
        }
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<size_t>(n));
    }
}

void send_text(int fd, const std::string& s) { send(fd, s.data(), s.size(), tarnix_test::NO_SIGNAL); }

// Serves accepted connections one after another, each by its own handler.
class Server {
public:
    using Handler = std::function<void(int fd)>;
    explicit Server(std::vector<Handler> handlers) : listener_(AF_INET), handlers_(std::move(handlers)) {
        thread_ = std::thread([this] {
            for (auto& h : handlers_) {
                int fd = listener_.accept_one();
                if (fd < 0) return;
                ++accepted;
                h(fd);
                tarnix_test::close_socket(fd);
                ++finished;
            }
        });
    }
    ~Server() { join(); }
    void join() {
        if (thread_.joinable()) {
            // Unblock a pending accept when fewer connections came than expected.
            listener_.stop();
            thread_.join();
        }
    }
    uint16_t port() const { return listener_.port; }
    std::atomic<int> accepted{0}, finished{0};
    std::string requests;

private:
    Listener listener_;
    std::vector<Handler> handlers_;
    std::thread thread_;
};

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Reply: yes\r\n\r\nhello";

}  // namespace

TEST(RunJob, SuccessReturnsTheConnectionForReuse) {
    Server server({[&](int fd) {
        while (read_request(fd, &server.requests)) send_text(fd, kOk);
    }});
    PoolFor p("127.0.0.1", server.port());
    for (int i = 0; i < 2; ++i) {
        Outcome o = run(p.pool);
        EXPECT_EQ(o.kind, 0);
        EXPECT_EQ(o.message, "");
        EXPECT_EQ(o.status, 200);
        EXPECT_EQ(o.body, "hello");
        ASSERT_EQ(o.headers.size(), 2u);
        EXPECT_EQ(o.headers[1].first, "X-Reply");
        EXPECT_EQ(o.headers[1].second, "yes");
        EXPECT_EQ(p.open(), 1u);
        EXPECT_EQ(p.pool->idle_plain_len, 1u);
    }
    EXPECT_EQ(server.accepted.load(), 1);  // both requests on one connection
    EXPECT_NE(server.requests.find("GET /x HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(server.requests.find("X-Test: 1\r\n"), std::string::npos);
}

TEST(RunJob, StaleIdleConnectionGivesWayToANewOne) {
    // The server answers once per connection and then closes it, although the
    // response allows reuse: the closed idle connection is dropped unused.
    Server server({[&](int fd) {
                       if (read_request(fd, &server.requests)) send_text(fd, kOk);
                   },
                   [&](int fd) {
                       if (read_request(fd, &server.requests)) send_text(fd, kOk);
                   }});
    PoolFor p("127.0.0.1", server.port());
    EXPECT_EQ(run(p.pool).kind, 0);
    while (server.finished.load() < 1) std::this_thread::yield();
    Outcome o = run(p.pool, 1, "payload");
    EXPECT_EQ(o.kind, 0);
    EXPECT_EQ(o.body, "hello");
    server.join();
    EXPECT_EQ(server.accepted.load(), 2);
    EXPECT_NE(server.requests.find("payload"), std::string::npos);
}

TEST(RunJob, FailureOnAFreshConnectionIsNotRetried) {
    Server server({[](int fd) { read_request(fd, nullptr); }, [](int) {}});
    PoolFor p("127.0.0.1", server.port());
    Outcome o = run(p.pool);
    EXPECT_EQ(o.kind, 1);
    EXPECT_EQ(o.message, "connection reset while reading response");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.headers.empty());
    EXPECT_TRUE(o.body.empty());
    EXPECT_EQ(p.open(), 0u);
    server.join();
    EXPECT_EQ(server.accepted.load(), 1);
}

TEST(RunJob, ConnectionFailuresAreReported) {
    PoolFor refused("127.0.0.1", tarnix_test::refused_port(AF_INET));
    Outcome o = run(refused.pool);
    EXPECT_EQ(o.kind, 1);
    EXPECT_EQ(o.message, "connection failed");
    EXPECT_EQ(refused.open(), 0u);

    PoolFor bad("bad host", 80);
    o = run(bad.pool);
    EXPECT_EQ(o.kind, 1);
    EXPECT_EQ(o.message, "failed to resolve host");
    EXPECT_EQ(o.status, 0);
}

TEST(RunJob, ResponsesThatCannotBeReadAsHttp) {
    Server server({[](int fd) {
                       if (read_request(fd, nullptr)) send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: zz\r\n\r\n");
                   },
                   [](int fd) {
                       if (read_request(fd, nullptr)) send_text(fd, "HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n");
                   }});
    PoolFor p("127.0.0.1", server.port());
    Outcome o = run(p.pool);
    EXPECT_EQ(o.kind, 4);
    EXPECT_EQ(o.message, "malformed HTTP response framing");
    o = run(p.pool);
    EXPECT_EQ(o.kind, 4);
    EXPECT_EQ(o.message, "malformed HTTP response");
    EXPECT_EQ(o.status, 0);
}

TEST(RunJob, BytesPastTheResponseMakeTheConnectionUnusable) {
    Server server({[](int fd) {
        if (read_request(fd, nullptr)) send_text(fd, std::string(kOk) + "HTTP/1.1 200 OK\r\n");
        read_request(fd, nullptr);
    }});
    PoolFor p("127.0.0.1", server.port());
    Outcome o = run(p.pool);
    EXPECT_EQ(o.kind, 0);
    EXPECT_EQ(o.body, "hello");
    EXPECT_EQ(p.open(), 0u);
    EXPECT_EQ(p.pool->idle_plain_len, 0u);
}

TEST(RunJob, AnAbortStopsTheJobAtOnceAndClosesItsConnection) {
    // The server reads the request, never answers, and waits for the close.
    std::atomic<bool> asked{false}, closed{false};
    Server server({[&](int fd) {
        asked = read_request(fd, nullptr);
        char c;
        closed = recv(fd, &c, 1, 0) <= 0;
    }});
    PoolFor p("127.0.0.1", server.port());
    Outcome o;
    Job* job = new_job(p.pool, &o);
    std::thread io([&] { run_job(job, kHooks); });
    for (int i = 0; i < 5000 && !asked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(asked.load());
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(job->gate.abort());
    io.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(o.finishes, 1);
    EXPECT_EQ(o.kind, 1);
    EXPECT_EQ(o.message, "request abandoned");
    EXPECT_EQ(p.open(), 0u);
    EXPECT_EQ(p.pool->idle_plain_len, 0u);
    server.join();
    EXPECT_TRUE(closed.load());
}
