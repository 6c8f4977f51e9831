// Rows declared with the admin command are what the application manager serves.
#include "appmgr/appmgr_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string const kJzsuite = NUV_OUT_DIR "/bin/jzsuite";

// Runs jzsuite with `args` (no shell); its exit status.
int Jzsuite(std::vector<std::string> args) {
    args.insert(args.begin(), kJzsuite);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(AppMgrTest, DeclaredWithTheAdminCommand) {
    ASSERT_EQ(access(kJzsuite.c_str(), X_OK), 0) << "build the jzsuite target first";
    ASSERT_EQ(Jzsuite({"declare", "client", "id=3", "name=dbhost", "host=dbhost.example.net"}), 0);
    ASSERT_EQ(Jzsuite({"declare", "subclient", "id=11", "name=sc", "blocklevel=1", "snap_engine=20"}), 0);
    ASSERT_EQ(Jzsuite({"declare", "application", "id=5", "client_id=3", "app_type=22", "subclient_id=11"}),
              0);
    EXPECT_NE(Jzsuite({"declare", "subclient", "id=12", "blocklevl=1"}), 0) << "unknown column";

    ApplicationId app(2, 5);
    Subclient* sc = app.getSubclient(nullptr);
    ASSERT_NE(sc, nullptr) << app.getErrorString();
    unsigned long blockLevel = 0, metadata = 9, engine = 0;
    EXPECT_EQ(sc->getUseBlockLevelBackup(blockLevel, nullptr), 0);
    EXPECT_EQ(sc->getEnableMetadataBackup(metadata, nullptr), 0);
    EXPECT_EQ(sc->getSnapEngine(engine, nullptr), 0);
    EXPECT_EQ(blockLevel, 1u);
    EXPECT_EQ(metadata, 0u);
    EXPECT_EQ(engine, 20u);
    std::string host;
    ASSERT_NE(app.getClient(nullptr), nullptr);
    EXPECT_EQ(app.getClient(nullptr)->getNetworkHostname(host, nullptr), 0);
    EXPECT_EQ(host, "dbhost.example.net");
}

}  // namespace
