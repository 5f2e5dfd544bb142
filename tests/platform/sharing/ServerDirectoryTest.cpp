// ctest-labels: concurrency
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cliploop/FrameClient.h"
#include "sharing/client/ServerDirectory.h"
#include "support/SharingTestSupport.h"

namespace cliploop {
namespace {

namespace fs = std::filesystem;
using testing::forkChild;
using testing::waitChild;

class ServerDirectoryTest : public testing::SharingTest {
  protected:
    // A child process serving "Video" until `release` is closed (or it is
    // killed); returns once its server is announced.
    pid_t serveInChild(int* release) {
        int ready[2], hold[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(hold), 0);
        const pid_t pid = forkChild([&] {
            close(hold[1]);
            makeContextAndTexture();
            auto server = FrameServer::create("Video", context_);
            if (!server || write(ready[1], "!", 1) != 1) return 1;
            char ignored;
            while (read(hold[0], &ignored, 1) > 0) {
            }
            return 0;
        });
        close(ready[1]);
        close(hold[0]);
        char ok;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        close(ready[0]);
        *release = hold[1];
        return pid;
    }

    size_t filesInDirectory() {
        const auto dir = fs::directory_iterator(runtimeDir_ + "/cliploop");
        return std::distance(begin(dir), end(dir));
    }

    mode_t modeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, geteuid());
        return st.st_mode;
    }
};

TEST_F(ServerDirectoryTest, ServersOfOneNameInTwoProcessesAreListedAndReachableUntilTheyStop) {
    int release = -1;
    const pid_t other = serveInChild(&release);
    makeContextAndTexture();
    server_ = FrameServer::create("Video", context_);
    auto second = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_ && second);
    EXPECT_EQ(modeOf(runtimeDir_ + "/cliploop"), S_IFDIR | 0700);

    auto servers = listFrameServers();
    ASSERT_EQ(servers.size(), 3u);
    int mine = 0;
    for (const auto& s : servers) {
        EXPECT_EQ(s.name, "Video");
        EXPECT_TRUE(fs::is_socket(s.socketPath));
        if (s.pid == getpid()) {
            EXPECT_EQ(s.application, program_invocation_short_name);
            ++mine;
        }
    }
    EXPECT_EQ(mine, 2);
    auto client = FrameClient::connect("Video", other);  // by name and process
    ASSERT_TRUE(client);
    EXPECT_EQ(client->server().pid, other);

    client.reset();
    close(release);
    EXPECT_EQ(waitChild(other), 0);
    EXPECT_EQ(listFrameServers().size(), 2u);
    server_.reset();
    second.reset();
    EXPECT_EQ(filesInDirectory(), 0u);
}

TEST_F(ServerDirectoryTest, EntriesOfAKilledServerAreRecognisedAsStaleAndRemoved) {
    int release = -1;
    const pid_t doomed = serveInChild(&release);
    ASSERT_EQ(listFrameServers().size(), 1u);
    kill(doomed, SIGKILL);
    EXPECT_EQ(waitChild(doomed), 128 + SIGKILL);
    close(release);
    EXPECT_EQ(filesInDirectory(), 2u);  // its socket and entry are left behind
    // A socket whose server died before announcing itself goes too.
    std::ofstream(runtimeDir_ + "/cliploop/Video." + std::to_string(doomed) + ".9.sock");

    std::string error;
    EXPECT_FALSE(FrameClient::connect("Video", &error));
    EXPECT_NE(error.find("no frame server"), std::string::npos);
    EXPECT_EQ(filesInDirectory(), 0u);
}

TEST_F(ServerDirectoryTest, NamesAreCheckedAndAnyValidNameFitsASocketAddress) {
    makeContextAndTexture();
    for (const std::string& bad :
         {std::string(), std::string("bad\nname"), std::string(256, 'x')}) {
        EXPECT_FALSE(FrameServer::create(bad, context_));
    }
    EXPECT_FALSE(FrameServer::create("Video", nullptr));
    const std::string odd = "../Vidéo / \"out\" " + std::string(230, 'z');
    auto server = FrameServer::create(odd, context_);
    ASSERT_TRUE(server);
    auto servers = listFrameServers();
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].name, odd);
    EXPECT_EQ(fs::path(servers[0].socketPath).parent_path(), runtimeDir_ + "/cliploop");
    EXPECT_TRUE(FrameClient::connect(odd));
}

TEST_F(ServerDirectoryTest, AnUnsafeDirectoryIsTightenedRefusedOrReplacedByAPrivateOneInTmp) {
    const std::string dir = runtimeDir_ + "/cliploop";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    std::string error;
    ASSERT_EQ(directory::userDirectory(true, &error), dir) << error;
    EXPECT_EQ(modeOf(dir), S_IFDIR | 0700);

    // A symlink planted in its place is never followed.
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    ASSERT_EQ(mkdir((runtimeDir_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((runtimeDir_ + "/elsewhere").c_str(), dir.c_str()), 0);
    EXPECT_FALSE(directory::userDirectory(true, &error));
    makeContextAndTexture();
    EXPECT_FALSE(FrameServer::create("Video", context_));

    // A runtime directory that is not private, missing or relative is not used.
    const std::string fallback = "/tmp/cliploop-" + std::to_string(geteuid());
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0755), 0);
    EXPECT_EQ(directory::userDirectory(true), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(directory::userDirectory(true), fallback);
    setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(directory::userDirectory(true), fallback);
    EXPECT_EQ(modeOf(fallback), S_IFDIR | 0700);
}

}  // namespace
}  // namespace cliploop
