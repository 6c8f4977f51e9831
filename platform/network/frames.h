// Frames on a channel of the network layer: a 24-byte header (magic, kind,
// message type, payload length) and the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "nuvdbsnap/foundation/error.h"

namespace nuvnet {

enum FrameKind : uint32_t {
    kFrameStart = 1,     // caller -> program: the argument text
    kFrameAttached = 2,  // program -> caller: attached
    kFrameXdr = 3,       // an XDR message of the frame's type
    kFrameXml = 4,       // a message of the message library as XML; the frame's type is its tag id
};

struct Frame {
    uint32_t kind = 0;
    uint64_t type = 0;
    std::string payload;
};

constexpr uint64_t kMaxPayload = 64ull << 20;

// A signal restarts a wait. Each returns 0, or an errno value: ETIMEDOUT (boundMs passed; -1 waits
// without limit), ECONNRESET (the peer closed the channel), EPROTO (not a frame of this layer), or the failing
// call's own.
int WriteFrame(int fd, uint32_t kind, uint64_t type, char const* data, std::size_t length, int boundMs);
int ReadFrame(int fd, Frame* frame, int boundMs);

// The service-call step ("network", call, args); an error when a fault fails the call.
CFzError Enter(char const* call, std::string const& args);
// The text of a channel errno value.
std::string ErrnoText(int err);

}  // namespace nuvnet
