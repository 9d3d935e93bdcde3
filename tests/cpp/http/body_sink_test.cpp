// Bodies written to a sink as they arrive: the same bytes, errors and limits
// as a captured body; and the file they go to, kept only when complete.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "http/decode.h"
#include "http/download.h"
#include "http/framing.h"
#include "http/request.h"
#include "mem_stream.h"
#include "test_net_util.h"

using namespace tarnix;
using tarnix_test::MemSink;
using tarnix_test::MemSource;
using tarnix_test::str;
using tarnix_test::u8;

namespace {

class RecordingSink final : public BodySink {
public:
    bool begin(int status, int64_t length) override {
        begins++;
        this->status = status;
        this->length = length;
        data.clear();
        return !refuse_begin;
    }
    bool write_all(const uint8_t* src, size_t n) override {
        if (refuse_write) return false;
        data.append(reinterpret_cast<const char*>(src), n);
        return true;
    }
    bool flush() override { return true; }
    std::string data;
    int begins = 0, status = 0;
    int64_t length = -2;
    bool refuse_begin = false, refuse_write = false;
};

struct Outcome {
    RawResponse raw;
    std::string body;  // as decoding or the sink has it
    bool decoded = false;
};

// One exchange over `pieces` (cap: the reader's buffer), body captured or streamed.
Outcome exchange(const std::vector<std::string>& pieces, RecordingSink* sink, uint8_t method, uint64_t limit,
             size_t cap = 64) {
    MemSource src(pieces);
    std::vector<uint8_t> rbuf(cap);
    BufferedReader reader(&src, rbuf.data(), cap);
    MemSink out;
    uint8_t wbuf[256];
    BufferedWriter w(&out, wbuf, sizeof wbuf);
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    Outcome run;
    run.raw = send_and_receive(w, reader, Slice{u8(request), request.size()}, nullptr, method, Slice{}, limit, -1,
                               sink);
    if (run.raw.error != ErrorKind::None) return run;
    DecodedResponse d;
    run.decoded = decode_response(run.raw.bytes.data(), run.raw.bytes.size(), run.raw.head_len, run.raw.has_body, &d,
                                  run.raw.streamed);
    if (run.decoded) run.body = sink != nullptr ? sink->data + str(d.body, d.body_len) : str(d.body, d.body_len);
    return run;
}

std::vector<std::string> bytewise(const std::string& s) {
    std::vector<std::string> v;
    for (char c : s) v.emplace_back(1, c);
    return v;
}

}  // namespace

// Whatever the framing, delivery and limit, streaming agrees with capturing:
// the same outcome, the same body, and the sink sees its announced length.
// A broken body fails either way, though not always at the same step:
// framing checks a streamed chunk's line ending, decoding a captured one's.
TEST(BodySink, AgreesWithTheCapturedBody) {
    const std::string big(300, 'x');
    struct Case {
        const char* name;
        std::string response;
        uint8_t method;
        int64_t length;  // what begin() is told
        bool broken = false;
    } cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", METHOD_GET, 5},
        {"length, large", "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + big, METHOD_GET, 300},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n12c\r\n" + big +
                        "\r\n0\r\nX-T: 1\r\n\r\n",
         METHOD_GET, -1},
        {"to the end", "HTTP/1.0 200 OK\r\n\r\n" + big, METHOD_GET, -1},
        {"interim first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok",
         METHOD_GET, 2},
        {"204", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", METHOD_GET, 0},
        {"HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", METHOD_HEAD, 0},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", METHOD_GET, 10, true},
        {"chunk without its CRLF", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n",
         METHOD_GET, -1, true},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", METHOD_GET, -1, true},
        {"unknown transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
         METHOD_GET, -1, true},
    };
    const uint64_t limits[] = {UINT64_MAX, 60, 80, 400};
    for (const Case& c : cases) {
        for (bool one_byte_reads : {false, true}) {
            for (uint64_t limit : limits) {
                SCOPED_TRACE(std::string(c.name) + (one_byte_reads ? ", bytewise" : "") + ", limit " +
                             std::to_string(limit));
                std::vector<std::string> pieces =
                    one_byte_reads ? bytewise(c.response) : std::vector<std::string>{c.response};
                RecordingSink sink;
                Outcome streamed = exchange(pieces, &sink, c.method, limit);
                Outcome captured = exchange(pieces, nullptr, c.method, limit);
                if (c.broken) {
                    EXPECT_FALSE(streamed.decoded);
                    EXPECT_FALSE(captured.decoded);
                    continue;
                }
                EXPECT_EQ(int(streamed.raw.error), int(captured.raw.error));
                EXPECT_EQ(streamed.decoded, captured.decoded);
                EXPECT_EQ(streamed.body, captured.body);
                if (streamed.raw.error == ErrorKind::None) {
                    EXPECT_EQ(sink.begins, 1);
                    EXPECT_EQ(sink.length, c.length);
                    EXPECT_EQ(streamed.raw.reusable, captured.raw.reusable);
                    // Only the head is held in memory.
                    EXPECT_EQ(streamed.raw.bytes.size(), streamed.raw.head_len);
                }
            }
        }
    }
}

TEST(BodySink, RefusalFailsTheExchange) {
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    for (int which : {0, 1}) {
        RecordingSink sink;
        (which == 0 ? sink.refuse_begin : sink.refuse_write) = true;
        Outcome run = exchange({ok}, &sink, METHOD_GET, UINT64_MAX);
        EXPECT_EQ(int(run.raw.error), int(ErrorKind::BodySinkFailed)) << which;
    }
}

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// An empty file of its own in the test's temporary directory.
struct TempFile {
    std::string path;
    // A name of its own: test runs from other build trees share the
    // temporary directory.
    TempFile() : path(tarnix_test::temp_file_with("")) {}
    ~TempFile() { std::remove(path.c_str()); }
};

}  // namespace

TEST(FileBodySink, KeepsOnlyAFinishedBody) {
    const std::string body(600 << 10, 'b');  // more than the sink's buffer
    for (int ending : {0, 1, 2}) {  // finished, discarded, dropped unfinished
        SCOPED_TRACE(ending);
        TempFile f;
        DownloadTarget* target = download_target_new(f.path.c_str(), f.path.size());
        ASSERT_NE(target, nullptr);
        {
            FileBodySink sink(target);
            // A first response (a redirect's) is replaced by the next one,
            // however much longer it was.
            const std::string old(800 << 10, 'o');
            ASSERT_TRUE(sink.begin(302, int64_t(old.size())));
            ASSERT_TRUE(sink.write_all(u8(old), old.size()));
            ASSERT_TRUE(sink.begin(200, int64_t(body.size())));
            EXPECT_EQ(target->received.load(), 0u);
            ASSERT_TRUE(sink.write_all(u8(body), 10));
            ASSERT_TRUE(sink.write_all(u8(body) + 10, body.size() - 10));
            EXPECT_EQ(target->received.load(), body.size());
            EXPECT_EQ(target->expected.load(), int64_t(body.size()));
            if (ending == 0) {
                EXPECT_TRUE(sink.finish());
            } else if (ending == 1) {
                sink.discard();
            }
        }
        // The sink held its own reference: the target outlived it.
        EXPECT_EQ(target->received.load(), body.size());
        download_target_release(target);
        if (ending == 0)
            EXPECT_EQ(read_file(f.path), body);
        else
            EXPECT_FALSE(exists(f.path));
    }
}

TEST(FileBodySink, MissingFileFailsAtBegin) {
    std::string path = testing::TempDir() + "tarnix-no-such-dir/none";
    DownloadTarget* target = download_target_new(path.c_str(), path.size());
    FileBodySink sink(target);
    EXPECT_FALSE(sink.begin(200, -1));
    EXPECT_FALSE(sink.finish());
    download_target_release(target);
}

TEST(FileRead, Statuses) {
    TempFile f;
    ASSERT_TRUE(std::ofstream(f.path, std::ios::binary) << "twelve bytes");
    OwnedBytes out;
    EXPECT_EQ(int(file_read_all(f.path.c_str(), 12, &out)), int(FileStatus::Ok));
    EXPECT_EQ(str(out.data(), out.size()), "twelve bytes");
    EXPECT_EQ(int(file_read_all(f.path.c_str(), 11, &out)), int(FileStatus::TooLarge));
    EXPECT_EQ(int(file_read_all((testing::TempDir() + "tarnix-no-such-dir/x").c_str(), 100, &out)),
              int(FileStatus::NotFound));
    EXPECT_EQ(int(file_read_all(testing::TempDir().c_str(), 100, &out)), int(FileStatus::Unreadable));
}
