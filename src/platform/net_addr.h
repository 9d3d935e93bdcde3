// Address helpers shared by each system's resolver and connector.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/socket_types.h"

namespace tarnix {

// More addresses than this for one name are dropped: no real origin needs
// that many simultaneous attempts.
constexpr size_t MAX_ADDRESSES = 32;
// A hosts file larger than this is not read.
constexpr size_t MAX_HOSTS_FILE = 64u * 1024 * 1024;

socklen_t address_len(const sockaddr_storage& a);
void set_port(sockaddr_storage* a, uint16_t port);
// Appends unless already present or full; returns the new count.
size_t add_address(sockaddr_storage* out, size_t n, size_t max, const sockaddr_storage& a);
// 127.0.0.1 and ::1 with `port` set; `out` has room for two.
size_t loopback_addresses(uint16_t port, sockaddr_storage* out);

// Longest network interface name, with its terminator (the system's
// IF_NAMESIZE; each system's file checks it).
#ifdef _WIN32
constexpr size_t INTERFACE_NAME_SIZE = 256;
#else
constexpr size_t INTERFACE_NAME_SIZE = 16;
#endif

// Each system's side of the resolver and connector:
// the index of the network interface named `name`, 0 when there is none;
unsigned interface_index(const char* name);
// the system's DNS lookup, filling `out` like resolve_addresses;
size_t system_dns_lookup(const char* name, uint16_t port, sockaddr_storage* out, size_t max);
// attempts to connect to every address at once: the index of the winner (its
// socket in `won_fd`, in blocking mode) or -1; every other socket is closed.
long connect_first(const sockaddr_storage* addrs, size_t n, int* won_fd);

}  // namespace tarnix
