// Records of the network layer (CJzNetwork).
#pragma once

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
