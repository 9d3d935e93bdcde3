// The engine's failure values and the result kinds handed to Python.
#pragma once
#include <cstdint>

namespace tarnix {

enum class ErrorKind : uint8_t {
    None = 0,
    ResolveFailed,
    ConnectFailed,
    TlsFailed,
    SendFailed,
    ConnectionReset,
    MalformedFraming,
    OutOfMemory,
    ResponseTooLarge,  // past the job's limit on the bytes of a response
    ProxyAuthRequired,  // the proxy answered CONNECT with 407
    ProxyRefused,       // any other answer to CONNECT but 2xx
    ProxyClosed,        // the proxy closed or failed before its answer was whole
    ProxyMalformed,     // the proxy's answer to CONNECT is not HTTP
    Unsupported,        // the platform lacks what the pool needs (Unix sockets)
    BodySinkFailed,    // the body's destination (a file) refused it
};

constexpr int32_t RESULT_OK = 0;
constexpr int32_t RESULT_TRANSPORT = 1;
constexpr int32_t RESULT_TLS = 3;
constexpr int32_t RESULT_PROTOCOL = 4;

}  // namespace tarnix
