// Archive files are shared by every process of the state root.
#include "archive/archive_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `body` in a child process; returns its exit status.
template <class Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int rc = body();
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(ArchiveTest, AnotherProcessSeesTheRowsAndCanCloseThem) {
    CreateRet_t mine = Create(100, 5, 1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int rc = InChild([&] {
        close(fds[0]);
        JZArchive archive(nullptr, true, nullptr);
        archive.SetJobID(100);
        CreateArgs_t args;
        args.appId = 5;
        args.archFileType = 1;
        CreateRet_t ret;
        if (archive.CreateArchiveForSnapBackup(&args, &ret) != 0) return 1;
        if (write(fds[1], &ret, sizeof ret) != sizeof ret) return 2;
        // The parent's file is visible here and can be closed from here.
        CloseAfileArgs_t close;
        close.brannoxId = mine.brannoxId;
        close.archGroupId = mine.archGroupId;
        close.archFileId = mine.archFileId;
        CloseAfileRet_t closed;
        return archive.closeAfile(&close, &closed) == 0 ? 0 : 3;
    });
    close(fds[1]);
    ASSERT_EQ(rc, 0);
    CreateRet_t theirs;
    ASSERT_EQ(read(fds[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    close(fds[0]);

    auto rows = List(100, {1});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].archFileId, theirs.archFileId);
    EXPECT_EQ(rows[1].archFileId, mine.archFileId);
    EXPECT_EQ(rows[1].isClosed, 1);
    EXPECT_EQ(theirs.archGroupId, mine.archGroupId);

    JZArchive archive(nullptr, true, nullptr);
    CloseAfileArgs_t again;
    again.brannoxId = mine.brannoxId;
    again.archGroupId = mine.archGroupId;
    again.archFileId = mine.archFileId;
    CloseAfileRet_t ret;
    EXPECT_EQ(archive.closeAfile(&again, &ret), nuvarchive::kArchiveAlreadyClosed);
}

TEST_F(ArchiveTest, RacingClosesFromTwoProcessesSucceedOnce) {
    CreateRet_t f = Create(100, 5, 1);
    constexpr int kRacers = 4;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < kRacers; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            if (read(go[0], &c, 1) != 0) _exit(10);  // wait until the parent closes the pipe
            JZArchive archive(nullptr, true, nullptr);
            CloseAfileArgs_t args;
            args.brannoxId = f.brannoxId;
            args.archGroupId = f.archGroupId;
            args.archFileId = f.archFileId;
            CloseAfileRet_t ret;
            int rc = archive.closeAfile(&args, &ret);
            _exit(rc == 0 ? 0 : rc == nuvarchive::kArchiveAlreadyClosed ? 1 : 20);
        }
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);  // all children start now
    int winners = 0, losers = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        ASSERT_TRUE(code == 0 || code == 1) << "child exit " << code;
        (code == 0 ? winners : losers)++;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(losers, kRacers - 1);
}

}  // namespace
