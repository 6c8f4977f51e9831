// The network layer's channel to a program of the base home directory: the
// start, the argument text over the channel, typed frames, and every road on
// which the peer fails (exit, wrong frames, silence, missing program), each
// leaving no process behind.
#include "nuvdbsnap/platform/network/network.h"

#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "nuvwire/snap_wire.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned long kSnapRequest = 0x200003d2;
constexpr unsigned long kSnapReply = 0x200003d3;

class ChannelTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        // The peer is this test program, started under the link's name.
        nuvtest::LinkSelfIntoBaseHome("netpeer");
    }

    static CNSession::jzsExecuteRemoteCommandType Request(char const* program, std::string const& args) {
        CNSession::jzsExecuteRemoteCommandType request;
        request.setint64(1, 1, 0, 0x9000111, 0x747fe5);
        request.setstring(2, 2, program, 0x9000111, 0x790fdb);
        request.setstring(3, 6, args, 0x9000111, 0xea35c);
        request.setint64(4, 10, 1, 0x9000111, 0x1fe53b);
        request.setint64(5, 11, 0, 0x9000111, 0x96188b);
        return request;
    }

    static CFzError Attach(CJzNetwork& channel, std::string const& args, char const* program = "netpeer") {
        auto request = Request(program, args);
        bool retry = true;
        CFzError e = channel.Attach_RemoteCommand("localhost", &request, nullptr, "me", 300, retry);
        EXPECT_FALSE(retry);
        return e;
    }

    // Sends a snap request for a record of job `jobId` with one volume.
    static CFzError SendSnap(CJzNetwork& channel, int engineType, int jobId) {
        NuvSnapUtilRequest request;
        memset(&request, 0, sizeof request);
        request.engineType = engineType;
        request.record.jobId = jobId;
        request.record.errorString = strdup("");
        request.record.volumes.volumes_len = 1;
        request.record.volumes.volumes_val = static_cast<MM_SMVolumeInfo*>(calloc(1, sizeof(MM_SMVolumeInfo)));
        MM_SMVolumeInfo& v = request.record.volumes.volumes_val[0];
        for (char** text : {&v.sourcePath, &v.originalSourcePath, &v.sourceDevice, &v.mountOptions, &v.mountPath,
                            &v.repBasePath, &v.repRelativePath, &v.sourceGUID})
            *text = strdup("");
        free(v.sourcePath);
        v.sourcePath = strdup("/data/one");
        jzsDatabuf_v2 data;
        data.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request);
        bool retry = true;
        CFzError e = channel.SendXDRMessage(kSnapRequest, data, 0, -1, retry);
        EXPECT_FALSE(retry);
        CJzNetwork::FreeXDRMessage(kSnapRequest, data);
        return e;
    }

    static bool Alive(int pid) { return pid > 0 && kill(pid, 0) == 0; }
};

TEST_F(ChannelTest, ArgumentTextTravelsOverTheChannelAndFramesRoundTrip) {
    CJzNetwork channel;
    std::string const args = " -j 7 -jt SECRET-TOKEN -cn client -vm Instance001 echo";
    ASSERT_FALSE(Attach(channel, args).IsError());
    int const pid = channel.getPeerProcessId();
    ASSERT_TRUE(Alive(pid));

    // The program's command line is its path only; the token is nowhere in the journal.
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string line((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    EXPECT_EQ(line, nuvsuite::StatePath("basehome") + "/netpeer" + std::string(1, '\0'));
    for (auto const& entry : nuvsuite::ReadJournal())
        EXPECT_EQ(entry.args.find("SECRET"), std::string::npos) << entry.service << " " << entry.call;

    for (int round : {1, 2}) {
        ASSERT_FALSE(SendSnap(channel, 40 + round, 100 + round).IsError());
        NuvSnapUtilReply reply;
        jzsDatabuf_v2 data;
        data.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
        unsigned long type = 0;
        jzsHostProtocolHeader header;
        bool retry = true;
        ASSERT_FALSE(channel.ReceiveXDRMessage(&type, data, &header, 0, 0, retry).IsError());
        EXPECT_FALSE(retry);
        EXPECT_EQ(type, kSnapReply);
        EXPECT_EQ(header.messageType, static_cast<int64_t>(kSnapReply));
        EXPECT_EQ(reply.result, 40 + round);
        EXPECT_STREQ(reply.errorText, args.c_str());
        EXPECT_EQ(reply.record.jobId, 100 + round);
        ASSERT_EQ(reply.record.volumes.volumes_len, 1u);
        EXPECT_STREQ(reply.record.volumes.volumes_val[0].sourcePath, "/data/one");
        CJzNetwork::FreeXDRMessage(type, data);
        EXPECT_EQ(reply.errorText, nullptr);
    }
    std::vector<nuvsuite::JournalEntry> journal;
    for (auto const& entry : nuvsuite::ReadJournal("network"))
        if (entry.pid == getpid()) journal.push_back(entry);
    ASSERT_GE(journal.size(), 3u);
    EXPECT_EQ(journal[0].call, "Attach_RemoteCommand");
    EXPECT_EQ(journal[0].args, "host=localhost program=netpeer from=me");
    EXPECT_EQ(journal[1].call, "SendXDRMessage");
    EXPECT_EQ(journal[1].args, "type=0x200003d2");
}

TEST_F(ChannelTest, DestroyingTheChannelEndsAndReapsThePeer) {
    int pid = 0;
    {
        CJzNetwork channel;
        ASSERT_FALSE(Attach(channel, "wait-eof").IsError());
        pid = channel.getPeerProcessId();
        ASSERT_TRUE(Alive(pid));
    }
    EXPECT_FALSE(Alive(pid));
}

// A peer that fails: the receive (or the attach) is an error, never a retry,
// and the peer is gone afterwards.
struct PeerFailure {
    char const* name;
    char const* mode;
    bool timeoutFault;   // bound the wait through the fault table
    int expectedErrno;
};

class PeerFailureTest : public ChannelTest, public ::testing::WithParamInterface<PeerFailure> {};

TEST_P(PeerFailureTest, ReceiveFailsAndNoProcessIsLeft) {
    PeerFailure const& c = GetParam();
    CJzNetwork channel;
    ASSERT_FALSE(Attach(channel, c.mode).IsError());
    int const pid = channel.getPeerProcessId();
    if (c.timeoutFault) nuvsuite::AddFault("network", "timeout", 1, "", 1);
    ASSERT_FALSE(SendSnap(channel, 1, 1).IsError());

    NuvSnapUtilReply reply;
    jzsDatabuf_v2 data;
    data.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
    unsigned long type = 0;
    bool retry = true;
    auto const start = std::chrono::steady_clock::now();
    CFzError e = channel.ReceiveXDRMessage(&type, data, nullptr, 0, 0, retry);
    auto const seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(e.IsError());
    EXPECT_FALSE(retry);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, c.expectedErrno)) << e.AsString();
    EXPECT_LT(seconds, 30);
    EXPECT_FALSE(Alive(pid));
    EXPECT_FALSE(channel.isAttached());
    // A broken channel stays broken.
    EXPECT_TRUE(SendSnap(channel, 1, 1).IsError());
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerFailureTest,
                         ::testing::Values(PeerFailure{"ExitsMidExchange", "exit", false, ECONNRESET},
                                           PeerFailure{"NeverAnswers", "silent", true, ETIMEDOUT}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(ChannelTest, AttachRefusesWhatItCannotStart) {
    struct Case {
        char const* program;
        char const* fault;
    };
    for (Case c : {Case{"NoSuchProgram", nullptr}, Case{"../netpeer", nullptr}, Case{"", nullptr},
                   Case{"netpeer", "Attach_RemoteCommand"}, Case{"netpeer", "AttachBackToCaller"}}) {
        SCOPED_TRACE(std::string(c.program) + " " + (c.fault ? c.fault : ""));
        nuvsuite::ClearFaults();
        if (c.fault) nuvsuite::AddFault("network", c.fault, -1, "refused", -1);
        CJzNetwork channel;
        EXPECT_TRUE(Attach(channel, "echo", c.program).IsError());
        EXPECT_FALSE(channel.isAttached());
        EXPECT_EQ(channel.getPeerProcessId(), 0);
    }
}

TEST_F(ChannelTest, ProgramWithoutTheChannelCannotAttachBack) {
    CJzNetwork channel;
    bool retry = true;
    // This process was not started by the network layer: descriptor 3 is no channel.
    close(3);
    CFzError e = channel.AttachBackToCaller(0, nullptr, retry);
    EXPECT_TRUE(e.IsError());
    EXPECT_FALSE(retry);
}

// --- ExecRemoteCmdAndWait -----------------------------------------------------

class RemoteCommandTest : public nuvtest::SuiteTest {
protected:
    std::string WriteScript(char const* name, std::string const& body) {
        std::string const path = nuvsuite::StatePath("basehome") + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        return path;
    }
    static CFzError Run(char const* program, char const* args, unsigned timeOut, jzsRemoteExecuteResponseType* out) {
        CNSession::jzsRemoteExecuteAsUserRequestType request;
        CNMessageBase* record = request.getObjectAccessor(1, 1, true, 9, 1);
        record->setint64(1, 1, 2);
        record->setstring(2, 2, program);
        record->setstring(3, 6, args);
        CJzNetwork network;
        bool retry = true;
        CFzError e = network.ExecRemoteCmdAndWait("sarnel", &request, "me", out, timeOut, retry);
        EXPECT_FALSE(retry);
        return e;
    }
};

TEST_F(RemoteCommandTest, RunsByArgumentVectorAndReturnsTheExitStatus) {
    std::string const out = m_root.base() + "/args.txt";
    WriteScript("archiveIndex", "for a in \"$@\"; do echo \"[$a]\"; done > '" + out + "'\nexit 3\n");
    jzsRemoteExecuteResponseType response;
    ASSERT_FALSE(Run("archiveIndex", "-j 7 -a 2:5 ';' 'rm -rf /' $HOME", 300, &response).IsError());
    EXPECT_EQ(response.returnCode, 3);
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[-j]\n[7]\n[-a]\n[2:5]\n[;]\n[rm -rf /]\n[$HOME]\n");
    auto const journal = nuvsuite::ReadJournal("network", "ExecRemoteCmdAndWait");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].args, "host=sarnel program=archiveIndex from=me");
}

TEST_F(RemoteCommandTest, FailuresAreErrors) {
    WriteScript("slow", "sleep 20\n");
    jzsRemoteExecuteResponseType response;
    auto const start = std::chrono::steady_clock::now();
    CFzError e = Run("slow", "", 1, &response);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ETIMEDOUT)) << e.AsString();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    EXPECT_TRUE(FXErrorUtil::IsErrNo(Run("indexRestore", "", 300, &response), ENOENT));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(Run("/bin/true", "", 300, &response), EINVAL));
    WriteScript("fine", "exit 0\n");
    nuvsuite::AddFault("network", "ExecRemoteCmdAndWait", -1, "down", 1);
    EXPECT_TRUE(Run("fine", "", 300, &response).IsError());
    EXPECT_FALSE(Run("fine", "", 300, &response).IsError());
    EXPECT_EQ(response.returnCode, 0);
}

}  // namespace
