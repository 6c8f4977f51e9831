#include "frames.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvnet {
namespace {

constexpr uint32_t kMagic = 0x4E564E54;  // "NVNT"

struct Header {
    uint32_t magic;
    uint32_t kind;
    uint64_t type;
    uint64_t length;
};
static_assert(sizeof(Header) == 24, "frame header is 24 bytes");

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for `events` or the deadline passes. 0 or an errno value.
// A signal only restarts the wait: a frame is never left half read.
int WaitReady(int fd, short events, bool bounded, Clock::time_point deadline) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int waitMs = -1;
        if (bounded) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return ETIMEDOUT;
            waitMs = static_cast<int>(left);
        }
        int r = poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        return 0;
    }
}

int WriteAll(int fd, char const* data, std::size_t length, bool bounded, Clock::time_point deadline) {
    while (length > 0) {
        int w = WaitReady(fd, POLLOUT, bounded, deadline);
        if (w != 0) return w;
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return errno == EPIPE ? ECONNRESET : errno;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

int ReadAll(int fd, char* data, std::size_t length, bool bounded, Clock::time_point deadline) {
    while (length > 0) {
        int w = WaitReady(fd, POLLIN, bounded, deadline);
        if (w != 0) return w;
        ssize_t n = recv(fd, data, length, MSG_DONTWAIT);
        if (n == 0) return ECONNRESET;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return errno;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int WriteFrame(int fd, uint32_t kind, uint64_t type, char const* data, std::size_t length, int boundMs) {
    if (length > kMaxPayload) return EMSGSIZE;
    auto deadline = Clock::now() + std::chrono::milliseconds(boundMs < 0 ? 0 : boundMs);
    Header h{kMagic, kind, type, length};
    int e = WriteAll(fd, reinterpret_cast<char const*>(&h), sizeof h, boundMs >= 0, deadline);
    if (e == 0 && length > 0) e = WriteAll(fd, data, length, boundMs >= 0, deadline);
    return e;
}

int ReadFrame(int fd, Frame* frame, int boundMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(boundMs < 0 ? 0 : boundMs);
    Header h{};
    int e = ReadAll(fd, reinterpret_cast<char*>(&h), sizeof h, boundMs >= 0, deadline);
    if (e != 0) return e;
    if (h.magic != kMagic || h.length > kMaxPayload) return EPROTO;
    frame->kind = h.kind;
    frame->type = h.type;
    frame->payload.assign(h.length, '\0');
    return h.length > 0 ? ReadAll(fd, &frame->payload[0], h.length, boundMs >= 0, deadline) : 0;
}

}  // namespace nuvnet
