// CJzNetwork: channel to a program of the base home directory (contract in network.h).
#include "nuvdbsnap/platform/network/network.h"

#include "frames.h"
#include "message_types.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvnet {

// The service-call step ("network", call, args); an error when a fault fails the call.
CFzError Enter(char const* call, std::string const& args) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("network", call, args, &fault)) return CFzError::Success();
    return FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "%s", fault.text.c_str());
}

// The path of a program of the base home directory; an error for a name that
// is not a plain file name there.
CFzError BaseHomeProgram(std::string const& name, std::string* path) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Not a program name of the base home directory: [%s]",
                                       name.c_str());
    JZPI_Base base;
    char const* home = base.getHomeDirectory();
    if (home == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "No base home directory: %s",
                                       base.getLastErrorMsg().c_str());
    *path = std::string(home) + "/" + name;
    return CFzError::Success();
}

std::string ErrnoText(int err) {
    if (err == ECONNRESET) return "the peer closed the channel";
    if (err == ETIMEDOUT) return "no answer from the peer in time";
    if (err == EPROTO) return "not a frame of the network layer";
    return strerror(err);
}

}  // namespace nuvnet

using nuvnet::Enter;

CJzNetwork::CJzNetwork() = default;

CJzNetwork::~CJzNetwork() { closeChannel(false, 2000); }

void CJzNetwork::closeChannel(bool killPeer, int graceMs) {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    if (m_pid > 0) {
        int status = JzProcess::wait(m_pid, killPeer ? 0 : graceMs, killPeer);
        if (status == -2) status = JzProcess::wait(m_pid, -1, true);
        EvDebug::DebugLvl(nullptr, 2, "CJzNetwork::closeChannel", "Program [%s] pid %d ended with %d",
                          m_program.c_str(), m_pid, status);
    }
    m_pid = 0;
}

CFzError CJzNetwork::broken(CFzError error) {
    if (m_pid > 0) {
        // A peer that closed the channel is ending: give it a moment to say how.
        int status = JzProcess::wait(m_pid, 1000, false);
        if (status == -2) status = JzProcess::wait(m_pid, -1, true);
        error.Push(FZ_LOC, "program [%s] (pid %d) ended with status %d", m_program.c_str(), m_pid, status);
        m_pid = 0;
    }
    closeChannel(true, 0);
    return error;
}

int CJzNetwork::waitBound(int timeOutSeconds, bool forAnswer) const {
    int seconds = timeOutSeconds > 0 ? timeOutSeconds : m_boundSeconds;
    nuvsuite::CallFault fault;
    if (forAnswer && m_pid > 0 && nuvsuite::CallFaulted("network", "timeout", m_program, &fault))
        seconds = fault.code < 0 ? 0 : fault.code;
    else if (seconds <= 0)
        return -1;
    return seconds * 1000;
}

CFzError CJzNetwork::Attach_RemoteCommand(char const* host, CNSession::jzsExecuteRemoteCommandType* request,
                                          char const* /*user*/, char const* localMachine, unsigned int timeOut,
                                          bool& retry) {
    retry = false;
    if (request == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "No start request");
    std::string const program = request->getstring(2);
    std::string const summary = std::string("host=") + (host ? host : "") + " program=" + program +
                                " from=" + (localMachine ? localMachine : "");
    CFzError e = Enter("CJzNetwork::Attach_RemoteCommand", summary);
    if (e.IsError()) return e;
    if (m_fd >= 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EISCONN, "Already attached to [%s]", m_program.c_str());

    std::string path;
    e = nuvnet::BaseHomeProgram(program, &path);
    if (e.IsError()) return e.Push(FZ_LOC);

    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "socketpair: %s", strerror(errno));
    int pid = 0;
    std::string why;
    int rc = JzProcess::spawn({path}, pair[1], &pid, &why);
    close(pair[1]);
    if (rc != 0) {
        close(pair[0]);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, rc == 127 ? ENOENT : EIO, "Cannot start [%s]: %s", path.c_str(),
                                       why.c_str());
    }
    m_fd = pair[0];
    m_pid = pid;
    m_program = program;
    m_boundSeconds = static_cast<int>(timeOut);

    std::string const arguments = request->getstring(3);
    int const bound = waitBound(0, false);
    int err = nuvnet::WriteFrame(m_fd, nuvnet::kFrameStart, 0, arguments.data(), arguments.size(), bound);
    nuvnet::Frame answer;
    if (err == 0) err = nuvnet::ReadFrame(m_fd, &answer, bound);
    if (err == 0 && answer.kind != nuvnet::kFrameAttached) err = EPROTO;
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Attach to [%s] failed: %s", program.c_str(),
                                              nuvnet::ErrnoText(err).c_str()));
    EvDebug::DebugLvl(nullptr, 2, "CJzNetwork::Attach_RemoteCommand", "Attached to [%s] pid %d", program.c_str(), pid);
    return CFzError::Success();
}

CFzError CJzNetwork::AttachBackToCaller(int /*argc*/, char** /*argv*/, bool& retry) {
    retry = false;
    CFzError e = Enter("CJzNetwork::AttachBackToCaller", "pid=" + std::to_string(getpid()));
    if (e.IsError()) return e;
    if (m_fd >= 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EISCONN, "Already attached");
    struct stat st;
    if (fstat(3, &st) != 0 || !S_ISSOCK(st.st_mode))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "No channel from a caller (descriptor 3 is no socket)");
    int fd = fcntl(3, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "dup: %s", strerror(errno));
    close(3);
    m_fd = fd;
    m_boundSeconds = 0;
    nuvnet::Frame start;
    int err = nuvnet::ReadFrame(m_fd, &start, 60 * 1000);
    if (err == 0 && start.kind != nuvnet::kFrameStart) err = EPROTO;
    if (err == 0) err = nuvnet::WriteFrame(m_fd, nuvnet::kFrameAttached, 0, nullptr, 0, 60 * 1000);
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Attach back to the caller failed: %s",
                                              nuvnet::ErrnoText(err).c_str()));
    m_remoteArguments = start.payload;
    return CFzError::Success();
}

CFzError CJzNetwork::SendXDRMessage(unsigned long type, jzsDatabuf_v2& data, int /*flags*/, int timeOut,
                                    bool& retry) {
    retry = false;
    char typeText[32];
    snprintf(typeText, sizeof typeText, "type=0x%lx", type);
    CFzError e = Enter("CJzNetwork::SendXDRMessage", typeText);
    if (e.IsError()) return e;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "The channel is not attached");
    nuvnet::XdrMessageType const* t = nuvnet::FindXdrMessageType(type);
    if (t == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unknown message type 0x%lx", type);
    char* record = data.getDataBuffer();
    if (record == nullptr || data.getValidLen() < t->size)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "The buffer does not hold a %s (%zu bytes)", t->name, t->size);

    unsigned long const size = xdr_sizeof(t->proc, record);
    if (size == 0 || size > nuvnet::kMaxPayload)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EMSGSIZE, "Cannot encode the %s", t->name);
    std::string wire(size, '\0');
    XDR xdr;
    xdrmem_create(&xdr, &wire[0], static_cast<u_int>(size), XDR_ENCODE);
    bool const encoded = t->proc(&xdr, record) != 0;
    xdr_destroy(&xdr);
    if (!encoded) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Cannot encode the %s", t->name);

    int err = nuvnet::WriteFrame(m_fd, nuvnet::kFrameXdr, type, wire.data(), wire.size(), waitBound(timeOut, false));
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Sending the %s failed: %s", t->name,
                                              nuvnet::ErrnoText(err).c_str()));
    return CFzError::Success();
}

CFzError CJzNetwork::ReceiveXDRMessage(unsigned long* type, jzsDatabuf_v2& data, jzsHostProtocolHeader* header,
                                       int /*flags*/, int timeOut, bool& retry) {
    retry = false;
    CFzError e = Enter("CJzNetwork::ReceiveXDRMessage", "program=" + m_program);
    if (e.IsError()) return e;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "The channel is not attached");
    nuvnet::Frame frame;
    int err = nuvnet::ReadFrame(m_fd, &frame, waitBound(timeOut, true));
    if (err == 0 && frame.kind != nuvnet::kFrameXdr) err = EPROTO;
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Receiving a message failed: %s",
                                              nuvnet::ErrnoText(err).c_str()));
    if (type) *type = frame.type;
    if (header) {
        header->messageType = static_cast<int64_t>(frame.type);
        header->length = static_cast<int64_t>(frame.payload.size());
    }
    nuvnet::XdrMessageType const* t = nuvnet::FindXdrMessageType(frame.type);
    if (t == nullptr)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, EPROTO, "Unknown message type 0x%lx received",
                                              static_cast<unsigned long>(frame.type)));
    char* record = data.getDataBuffer();
    if (record == nullptr || data.getValidLen() < t->size)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "The buffer cannot hold a %s (%zu bytes)", t->name, t->size);
    memset(record, 0, t->size);
    XDR xdr;
    xdrmem_create(&xdr, &frame.payload[0], static_cast<u_int>(frame.payload.size()), XDR_DECODE);
    bool const decoded = t->proc(&xdr, record) != 0;
    xdr_destroy(&xdr);
    if (!decoded) {
        xdr_free(t->proc, record);
        memset(record, 0, t->size);
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, EPROTO, "Cannot decode the %s received", t->name));
    }
    return CFzError::Success();
}

void CJzNetwork::FreeXDRMessage(unsigned long type, jzsDatabuf_v2& data) {
    nuvnet::XdrMessageType const* t = nuvnet::FindXdrMessageType(type);
    char* record = data.getDataBuffer();
    if (t == nullptr || record == nullptr || data.buffer.Size() < t->size) return;
    xdr_free(t->proc, record);
    memset(record, 0, t->size);
}

CFzError CJzNetwork::ExecRemoteCmdAndWait(char const* host, CNSession::jzsRemoteExecuteAsUserRequestType* request,
                                          char const* localClient, jzsRemoteExecuteResponseType* response,
                                          unsigned int timeOut, bool& retry) {
    retry = false;
    if (request == nullptr || response == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "No request or no response");
    CNMessageBase const* command = static_cast<CNMessageBase const*>(request)->getObjectAccessor(1, 1);
    std::string const program = command ? command->getstring(2, 2) : std::string();
    std::string const arguments = command ? command->getstring(3, 6) : std::string();
    std::string const summary = std::string("host=") + (host ? host : "") + " program=" + program +
                                " from=" + (localClient ? localClient : "");
    CFzError e = Enter("CJzNetwork::ExecRemoteCmdAndWait", summary);
    if (e.IsError()) return e;

    std::string path;
    e = nuvnet::BaseHomeProgram(program, &path);
    if (e.IsError()) return e.Push(FZ_LOC);
    nuvsuite::CallFault bound;
    if (nuvsuite::CallFaulted("network", "timeout", program, &bound))
        timeOut = static_cast<unsigned>(bound.code > 0 ? bound.code : 1);
    std::vector<std::string> argv{path};
    std::vector<std::string> words;
    if (!JzProcess::SplitCommandLine(arguments.c_str(), &words))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unusable argument text for [%s]", program.c_str());
    argv.insert(argv.end(), words.begin(), words.end());

    auto const started = std::chrono::steady_clock::now();
    std::string output, error;
    int rc = JzProcess::system(argv, &output, &error, static_cast<int>(timeOut), true);
    auto const seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    EvDebug::DebugLvl(nullptr, 2, "CJzNetwork::ExecRemoteCmdAndWait", "[%s] ended with %d; output [%s] error [%s]",
                      program.c_str(), rc, output.c_str(), error.c_str());
    if (rc == 127 || rc < 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, rc == 127 ? ENOENT : EIO, "Cannot run [%s]: %s", path.c_str(),
                                       error.c_str());
    if (timeOut > 0 && rc == 128 + SIGKILL && seconds >= static_cast<long long>(timeOut))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ETIMEDOUT, "[%s] did not end within %u seconds", program.c_str(),
                                       timeOut);
    response->returnCode = rc;
    return CFzError::Success();
}
