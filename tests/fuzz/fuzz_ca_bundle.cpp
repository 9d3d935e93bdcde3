// The CA-file loader: PEM block scan, strict Base64, certificate keep-or-skip
// rules and the subject index; also single DER certificates and the Base64
// decoder on its own (in place and into separate memory).
//
// Input: one mode byte, then the file text, the DER or the Base64.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/x509.h>

#include "tls/ca_bundle.h"

using namespace tarnix;

namespace {

// Expiry is judged against a fixed moment so that runs repeat.
constexpr int64_t kNow = 1700000000;

// Every kept certificate parses, lies back to back with the others, and is
// found by its subject.
void check_bundle(const CaBundle& b) {
    const uint8_t* base = b.bytes.data();
    size_t off = 0, kept = 0;
    while (off < b.bytes.size()) {
        const uint8_t* q = base + off;
        X509* cert = d2i_X509(nullptr, &q, long(b.bytes.size() - off));
        if (cert == nullptr) std::abort();
        unsigned char* der = nullptr;
        int der_len = i2d_X509_NAME(X509_get_subject_name(cert), &der);
        uint32_t found = 0;
        if (der_len <= 0 || !ca_bundle_find_issuer(&b, der, size_t(der_len), &found) || found != off) std::abort();
        OPENSSL_free(der);
        X509_free(cert);
        off = size_t(q - base);
        kept++;
    }
    if (kept != ca_bundle_count(&b)) std::abort();
}

int memfd() {
    static int fd = memfd_create("ca", MFD_CLOEXEC);
    return fd;
}

void load_file(const uint8_t* p, size_t n) {
    int fd = memfd();
    if (fd < 0 || ftruncate(fd, 0) != 0 || (n && pwrite(fd, p, n, 0) != ssize_t(n))) std::abort();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    CaBundle b;
    if (ca_bundle_add_pem_file(&b, path, kNow)) check_bundle(b);
    ca_bundle_release(&b);
}

void add_der(const uint8_t* p, size_t n) {
    CaBundle b;
    // A byte in front, so the certificate does not start at offset 0.
    const uint8_t lead = 0x30;
    if (!b.bytes.append(&lead, 1) || !b.bytes.append(p, n)) std::abort();
    CaAddResult r = ca_bundle_add_der(&b, 1, kNow);
    if (r == CaAddResult::Ok && b.bytes.size() != 1 && b.bytes.size() != n + 1) std::abort();
    ca_bundle_release(&b);
}

void base64(const uint8_t* p, size_t n) {
    std::vector<uint8_t> in_place(p, p + n), out(n / 4 * 3 + 3);
    if (n == 0) return;
    size_t a = 0, b = 0;
    bool ok_a = pem_base64_decode(in_place.data(), n, in_place.data(), &a);
    bool ok_b = pem_base64_decode(p, n, out.data(), &b);
    if (ok_a != ok_b || (ok_a && (a != b || a > n / 4 * 3 || std::memcmp(in_place.data(), out.data(), a) != 0)))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 3) {
        case 0: load_file(data + 1, size - 1); break;
        case 1: add_der(data + 1, size - 1); break;
        default: base64(data + 1, size - 1); break;
    }
    return 0;
}
