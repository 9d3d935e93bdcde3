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
    BodySinkFailed,    // the body's destination (a file) refused it
};

constexpr int32_t RESULT_OK = 0;
constexpr int32_t RESULT_TRANSPORT = 1;
constexpr int32_t RESULT_TLS = 3;
constexpr int32_t RESULT_PROTOCOL = 4;

}  // namespace tarnix
