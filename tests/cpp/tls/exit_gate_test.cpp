// At process exit no thread may run TLS library code once the library's
// global clean-up starts, nor enter the library afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "tls/exit_gate.h"

using namespace tarnix;

namespace {

std::atomic<int> g_running{0};       // threads inside library code now
std::atomic<long> g_entries{0};      // library calls begun
std::atomic<int> g_ended_late{0};    // threads that ended after the gate closed

void library_code() {
    g_running.fetch_add(1);
    g_entries.fetch_add(1);
    for (volatile int i = 0; i < 2000; i = i + 1) {
    }
    g_running.fetch_sub(1);
}

// Calls into the library in a loop, some threads with blocking socket I/O in
// the middle of each call, as a read inside a record read does.
void worker(bool with_io) {
    for (;;) {
        TlsGate gate;
        if (!gate.open()) break;
        library_code();
        if (with_io) {
            pause_tls_code();
            usleep(500);
            resume_tls_code();
            library_code();
        }
    }
    tls_thread_end();
    g_ended_late.fetch_add(1);
}

// Stands in for the library's own exit handler: registered before the
// gate's, so it runs after it.
void library_cleanup() {
    long entries = g_entries.load();
    bool idle = g_running.load() == 0;
    usleep(50 * 1000);  // anything still on its way in arrives now
    bool still = g_running.load() == 0 && g_entries.load() == entries && g_ended_late.load() == 0;
    _exit(idle && still ? 0 : 3);
}

void exit_with_threads_inside() {
    atexit(library_cleanup);
    tls_gate_install();
    for (int i = 0; i < 8; ++i) std::thread(worker, i % 2 == 0).detach();
    while (g_entries.load() < 1000) usleep(1000);
    exit(1);
}

}  // namespace

TEST(ExitGate, NoThreadRunsOrEntersLibraryCodeAfterTheGateCloses) {
    // A fresh process: the gate's handler must be registered after ours.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_with_threads_inside(), ::testing::ExitedWithCode(0), "");
}
