// Keeps I/O threads out of the TLS library once the process exits.
//
// The library frees its global state from an exit handler of its own, while
// I/O threads may still be inside it. The gate's exit handler runs before
// the library's: it closes the gate and waits until no thread runs library
// code. Threads waiting on the network inside a library call are not waited
// for: when their I/O returns they find the gate closed and park for good
// instead of going back into the library.
#pragma once

namespace tarnix {

// Registers the gate's exit handler. Call once the library is initialised
// (its own exit handler is then registered, so ours runs first).
void tls_gate_install();

// A stretch of library code on this thread. `open()` is false once the
// process is exiting: the caller must then not call into the library.
// Scopes nest.
class TlsGate {
public:
    TlsGate();
    ~TlsGate();
    TlsGate(const TlsGate&) = delete;
    TlsGate& operator=(const TlsGate&) = delete;
    bool open() const { return open_; }

private:
    bool open_;
};

// Around blocking transport I/O made from inside the library (the socket
// callbacks): the thread is not running library code meanwhile. When the
// gate closed during the I/O, resume_tls_code() never returns.
void pause_tls_code();
void resume_tls_code();

// At the end of an I/O thread that used the library: frees the thread's
// library state inside the gate, so that no thread-exit clean-up of the
// library runs during or after its global clean-up. Parks the thread for
// good once the process is exiting.
void tls_thread_end();

}  // namespace tarnix
