// CJzNetwork: the network layer of the local suite. Everything runs on this
// machine: a "remote" program is a program of the base home directory.
//
// - Attach_RemoteCommand starts the request's program (field 2, a plain file
//   name) from the base home directory with an argument vector that holds
//   only its path, over a private socket pair (the program's descriptor 3).
//   The program's argument text (field 3) travels over that channel as the
//   first frame, never on its command line; the attach returns once the
//   program has called AttachBackToCaller and acknowledged it.
// - SendXDRMessage / ReceiveXDRMessage exchange typed frames: each message
//   type has its XDR record (see message_types.h), encoded from and decoded
//   into the caller's buffer. A decode allocates the record's texts and
//   lists; FreeXDRMessage releases them (and what fillXDRStruct allocated).
// - SendXMLMessage / ReceiveXMLMessage exchange messages of the message
//   library as their XML text (the event manager's requests and the agents'
//   answers); Disconnect ends the channel from either side.
// - A peer that exits or closes the channel is an error, never a retry; a
//   peer that stays silent is an error once the attach time-out has passed.
//   After any failure of a started program's channel the program is killed
//   and reaped; the destructor closes the channel and reaps it too (it gets
//   two seconds to end by itself first), so no process is left behind.
// - ExecRemoteCmdAndWait runs a program of the base home directory with the
//   words of its argument text as argument vector, waits for its end within
//   the time-out and returns its exit status in the response.
//
// Every call is journalled ("network", call, a summary that never holds the
// argument text) and obeys the fault table under the same names. A fault of
// ("network", "timeout", pattern on the program name) bounds the caller's next
// wait for a message of its program (not the attach), or for the end of a
// program ExecRemoteCmdAndWait runs, to the fault's code in seconds.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/network_records.h"

#include <string>

class CNMessageBase;

namespace CNSession {
class jzsExecuteRemoteCommandType;
class jzsRemoteExecuteAsUserRequestType;
}  // namespace CNSession

class CJzNetwork {
public:
    CJzNetwork();
    CJzNetwork(CJzNetwork const&) = delete;
    CJzNetwork& operator=(CJzNetwork const&) = delete;
    ~CJzNetwork();

    // --- caller side ---
    // Starts request's program on `host` (this machine) and attaches this
    // object to it. user is not used (null); localMachine names the caller in
    // the journal; timeOut (seconds) bounds the attach and every later wait
    // for the program. retry is always left false.
    CFzError Attach_RemoteCommand(char const* host, CNSession::jzsExecuteRemoteCommandType* request,
                                  char const* user, char const* localMachine, unsigned int timeOut, bool& retry);
    // Runs the program of the request's record (1,1): program (2,2), argument
    // text (3,6). Success: the program ran to its end; response->returnCode
    // holds its exit status (128 + signal when a signal ended it).
    CFzError ExecRemoteCmdAndWait(char const* host, CNSession::jzsRemoteExecuteAsUserRequestType* request,
                                  char const* localClient, jzsRemoteExecuteResponseType* response,
                                  unsigned int timeOut, bool& retry);

    // --- program side ---
    // Takes the channel that Attach_RemoteCommand handed this program (descriptor
    // 3), reads the argument text and acknowledges the attach.
    CFzError AttachBackToCaller(int argc, char** argv, bool& retry);
    // The argument text received by AttachBackToCaller.
    std::string const& getRemoteArguments() const { return m_remoteArguments; }

    // --- both sides, once attached ---
    // Encodes data (at least the record size of `type`) as one frame. flags is
    // not used; timeOut: seconds, -1 (or 0) for the channel's bound.
    CFzError SendXDRMessage(unsigned long type, jzsDatabuf_v2& data, int flags, int timeOut, bool& retry);
    // Receives the next frame: *type is set, the record decoded into data
    // (zero-filled first; its valid length must cover the record). header,
    // when given, gets the type and the frame's length. timeOut: seconds, 0
    // for the channel's bound (the caller side: the attach time-out; the
    // program side: none, it waits until the caller sends or closes). retry is
    // always left false: every failure is final.
    CFzError ReceiveXDRMessage(unsigned long* type, jzsDatabuf_v2& data, jzsHostProtocolHeader* header,
                               int flags, int timeOut, bool& retry);

    // Sends a message as its XML text in one frame (the frame's type is the
    // message's tag id). timeOut as for SendXDRMessage.
    CFzError SendXMLMessage(CNMessageBase const* message, int flags, int timeOut, bool& retry);
    // Receives the next frame, which must hold an XML message: *type gets its
    // tag id and *message a new message of its type (the caller deletes it;
    // null on any failure). timeOut as for ReceiveXDRMessage.
    CFzError ReceiveXMLMessage(unsigned long* type, CNMessageBase** message, jzsHostProtocolHeader* header,
                               int flags, int timeOut, bool& retry);
    // Ends the channel: the peer reads what was sent, then the end of the
    // channel; a program this object started is reaped (killed after 2 s).
    CFzError Disconnect(int timeOut, bool& retry);

    // Releases the texts and lists held by a record of `type` in data (what a
    // receive decoded or fillXDRStruct allocated); the record is zero after it.
    static void FreeXDRMessage(unsigned long type, jzsDatabuf_v2& data);

    bool isAttached() const { return m_fd >= 0; }
    int getPeerProcessId() const { return m_pid; }   // the started program, 0 when none

private:
    // Closes the channel; a started program is killed (or given graceMs to end) and reaped.
    void closeChannel(bool killPeer, int graceMs);
    // The bound of a wait in milliseconds (-1: none), from timeOut and, for the
    // caller's wait for its program's answer, the fault table.
    int waitBound(int timeOutSeconds, bool forAnswer) const;
    // Ends the channel after a failure and returns the error with the peer's exit added.
    CFzError broken(CFzError error);

    int m_fd = -1;                 // our end of the channel
    int m_pid = 0;                 // program started by Attach_RemoteCommand
    int m_boundSeconds = 0;        // default wait bound; 0: none
    std::string m_program;         // for messages
    std::string m_remoteArguments;
};
