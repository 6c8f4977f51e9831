// Records of the network layer (CJzNetwork).
#pragma once

#include "nuvdbsnap/foundation/memory.h"

#include <cstdint>

// Result of CJzNetwork::ExecRemoteCmdAndWait.
struct jzsRemoteExecuteResponseType {
    int32_t returnCode = 0;      // the remote command's return code, 0 = success
    int32_t status = 0;          // free
    int64_t processId = 0;       // free
};

// Header of a received message.
struct jzsHostProtocolHeader {
    int64_t messageType = 0;
    int64_t length = 0;
    int64_t sequence = 0;
    int64_t flags = 0;
    int64_t sourceId = 0;
    int64_t destinationId = 0;
};

// XDR data buffer of a message sent or received. Destroying it frees the buffer
// only when the buffer is its own: one handed in with setExternalBuffer stays the
// caller's.
struct jzsDatabuf_v2 {
    uint32_t messageType = 0;    // free
    uint64_t dataLength = 0;     // bytes of data in the buffer
    CAutoMemory<char> buffer;

    // Uses the caller's memory (which must outlive this use) as the buffer.
    void setExternalBuffer(char* address, uint64_t length) {
        buffer.Attach(address, length, false);
        dataLength = address != nullptr ? length : 0;
    }
    // The number of bytes of the buffer that a receive may fill (at most its size).
    void setValidLen(uint64_t length) { dataLength = length < buffer.Size() ? length : buffer.Size(); }
    uint64_t getValidLen() const { return dataLength; }
    char* getDataBuffer() { return buffer.Ptr(); }
};
