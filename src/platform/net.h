// TCP sockets and name resolution.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "platform/socket_types.h"

namespace tarnix {

// Sockets are ints on every system: Windows socket handles fit in 32 bits
// (OpenSSL relies on the same).
// A connected stream: the socket and the address it is connected to.
struct Stream {
    int fd = -1;
    sockaddr_storage peer{};
};

// Closes the socket (published to the thread's abort gate or not).
void socket_close(int fd);
// Ends both directions at once: a call blocked on the socket in another
// thread returns, and so does every later one. The socket stays open.
void socket_shutdown(int fd);

// True when reading would not wait: bytes, the peer's close or an error are
// already there. Never waits itself.
bool socket_has_input(int fd);

// Reads up to `cap` bytes: >0 bytes, 0 the peer's orderly close, -1 an
// error. With `no_wait`, -2 when nothing has arrived yet instead of waiting.
ssize_t socket_recv(int fd, uint8_t* dst, size_t cap, bool no_wait);

// From now on a read that waits `ms` milliseconds with nothing arriving
// fails as a read error instead of waiting on. For sockets that are never
// reused afterwards.
void socket_bound_reads(int fd, uint32_t ms);

// Sends all n bytes (a peer that closed gives false, never a signal).
bool socket_send_all(int fd, const uint8_t* src, size_t n);
// Sends all of `a`, then all of `b`, gathered into as few calls as the
// kernel allows.
bool socket_send_pair(int fd, const uint8_t* a, size_t na, const uint8_t* b, size_t nb);

// Sends and reads fail at once instead of waiting (for a last best-effort
// write before closing).
void socket_set_nonblocking(int fd);

// Sends small writes at once instead of holding them for the peer's ACK.
void socket_set_nodelay(int fd);

// Connects to one address (blocking, no time-out). False on failure, with no
// socket left open.
bool connect_address(const sockaddr* addr, socklen_t len, Stream* out);

// Unix-domain stream sockets: whether this system has them, the longest
// path one may have, and a blocking connect to one (false on failure, with
// no socket left open).
bool unix_sockets_supported();
size_t unix_path_max();
bool connect_unix(const uint8_t* path, size_t len, Stream* out);

enum class ResolveResult : uint8_t { Connected, NoAddress, ConnectFailed };

// Resolves `name` (NUL-terminated, already syntax-checked) and connects to
// port: the hosts file first, then the loopback rule for "localhost" and
// names ending in ".localhost" (trailing-dot forms too, case-sensitive),
// then DNS. Every address is tried at once; the first connection to succeed
// wins, the rest are closed, and the call returns once every attempt settled.
ResolveResult resolve_and_connect(const char* name, uint16_t port, Stream* out);

// The addresses for `name` (NUL-terminated, syntax-checked), with `port`
// set, in the order the resolver takes them: the hosts file, then the
// loopback rule, then DNS; each source is asked only when the ones before it
// gave nothing. Returns how many (at most `max`).
size_t resolve_addresses(const char* name, uint16_t port, sockaddr_storage* out, size_t max);

// How the resolver queries DNS: fills `out` like resolve_addresses.
using DnsLookupFn = size_t (*)(const char* name, uint16_t port, sockaddr_storage* out, size_t max);
// Points the resolver at another hosts file and DNS lookup (tests use their
// own, never the network); nullptr restores the system's hosts file and
// lookup. `hosts_path` must outlive its use. Not for use while requests run.
void set_resolver_sources(const char* hosts_path, DnsLookupFn dns);

// Where the system keeps its hosts file.
const char* system_hosts_path();

// Looks `name` up in hosts-file text (exact, case-insensitive match of a
// canonical name or alias). Appends up to `max` addresses in file order with
// `port` set; returns how many were found. Exposed for tests.
size_t hosts_lookup(const char* text, size_t text_len, const char* name, uint16_t port,
                    sockaddr_storage* out, size_t max);

// True for "localhost", "*.localhost" and their trailing-dot forms.
bool is_loopback_name(const char* name, size_t len);

}  // namespace tarnix
