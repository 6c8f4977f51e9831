// XML messages on a channel of the network layer (contract in network.h).
#include "nuvdbsnap/platform/network/network.h"

#include "frames.h"
#include "nuvdbsnap/platform/msg/message_base.h"
#include "nuvdbsnap/platform/msg/xml_decoder.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

CFzError CJzNetwork::SendXMLMessage(CNMessageBase const* message, int /*flags*/, int timeOut, bool& retry) {
    retry = false;
    if (message == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "No message to send");
    char tagText[32];
    snprintf(tagText, sizeof tagText, "tag=0x%x", message->getTagID());
    CFzError e = nuvnet::Enter("SendXMLMessage", tagText);
    if (e.IsError()) return e;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "The channel is not attached");
    std::string text;
    if (message->serialize(text, false) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Cannot serialise the message (%s)", tagText);
    int err = nuvnet::WriteFrame(m_fd, nuvnet::kFrameXml, message->getTagID(), text.data(), text.size(),
                                 waitBound(timeOut, false));
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Sending the XML message failed: %s",
                                              nuvnet::ErrnoText(err).c_str()));
    return CFzError::Success();
}

CFzError CJzNetwork::ReceiveXMLMessage(unsigned long* type, CNMessageBase** message, jzsHostProtocolHeader* header,
                                       int /*flags*/, int timeOut, bool& retry) {
    retry = false;
    if (message != nullptr) *message = nullptr;
    CFzError e = nuvnet::Enter("ReceiveXMLMessage", "program=" + m_program);
    if (e.IsError()) return e;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "The channel is not attached");
    nuvnet::Frame frame;
    int err = nuvnet::ReadFrame(m_fd, &frame, waitBound(timeOut, true));
    if (err == 0 && frame.kind != nuvnet::kFrameXml) err = EPROTO;
    if (err != 0)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Receiving an XML message failed: %s",
                                              nuvnet::ErrnoText(err).c_str()));
    if (type) *type = frame.type;
    if (header) {
        header->messageType = static_cast<int64_t>(frame.type);
        header->length = static_cast<int64_t>(frame.payload.size());
    }
    CNMessageBase* decoded = XMLDecoder::unSerialize(frame.payload, nullptr);
    if (decoded == nullptr)
        return broken(FXErrorUtil::ErrorErrNo(FZ_LOC, EPROTO, "Cannot read the XML message received (tag 0x%lx)",
                                              static_cast<unsigned long>(frame.type)));
    if (message != nullptr)
        *message = decoded;
    else
        delete decoded;
    return CFzError::Success();
}

CFzError CJzNetwork::Disconnect(int /*timeOut*/, bool& retry) {
    retry = false;
    CFzError e = nuvnet::Enter("Disconnect", "program=" + m_program);
    if (e.IsError()) return e;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTCONN, "The channel is not attached");
    // The peer reads the end of the channel once everything sent before has arrived.
    (void)::shutdown(m_fd, SHUT_WR);
    closeChannel(false, 2000);
    return CFzError::Success();
}
