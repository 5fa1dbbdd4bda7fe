// dravik_test_hooks only: DRAVIK_TEST_CREATE_PAUSE_MS=N makes every file
// wait N ms between being created and being guarded.
#include "program/disk/create_pause.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace dravik::disk {

void create_pause() {
    static const long pause_ms = [] {
        const char* text = std::getenv("DRAVIK_TEST_CREATE_PAUSE_MS");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
}

}  // namespace dravik::disk
