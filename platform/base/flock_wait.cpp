#include "flock_wait.h"

#include <cerrno>
#include <chrono>
#include <sys/file.h>
#include <thread>

bool FlockWait(int fd, bool exclusive, unsigned long timeoutMs) {
    int op = exclusive ? LOCK_EX : LOCK_SH;
    if (timeoutMs == ~0UL) {
        while (flock(fd, op) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    long pauseUs = 500;
    while (true) {
        if (flock(fd, op | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            errno = EWOULDBLOCK;
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs < left ? pauseUs : left));
        if (pauseUs < 20000) pauseUs *= 2;
    }
}
