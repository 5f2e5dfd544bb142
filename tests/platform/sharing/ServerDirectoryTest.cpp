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
    // A child process serving `name` until `release` is closed (or it is
    // killed); returns once its server is announced.
    pid_t serveInChild(const std::string& name, int* release) {
        int ready[2], hold[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(hold), 0);
        const pid_t pid = forkChild([&] {
            close(ready[0]);
            close(hold[1]);
            makeContextAndTexture();
            auto server = FrameServer::create(name, context_);
            const char ok = server ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1) return 1;
            char ignored;
            while (read(hold[0], &ignored, 1) > 0) {
            }
            return 0;
        });
        close(ready[1]);
        close(hold[0]);
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 1);
        close(ready[0]);
        *release = hold[1];
        return pid;
    }

    std::vector<std::string> filesInDirectory() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(runtimeDir_ + "/cliploop")) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ServerDirectoryTest, AServerIsListedWithNameApplicationAndProcessUntilItStops) {
    makeContextAndTexture();
    EXPECT_TRUE(listFrameServers().empty());
    server_ = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_);
    EXPECT_EQ(server_->name(), "Video");

    auto servers = listFrameServers();
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].name, "Video");
    EXPECT_EQ(servers[0].application, program_invocation_short_name);
    EXPECT_EQ(servers[0].pid, getpid());
    EXPECT_TRUE(fs::is_socket(servers[0].socketPath));

    struct stat st {};
    ASSERT_EQ(stat((runtimeDir_ + "/cliploop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    server_.reset();
    EXPECT_TRUE(listFrameServers().empty());
    EXPECT_TRUE(filesInDirectory().empty());
}

TEST_F(ServerDirectoryTest, ServersOfTheSameNameInTwoProcessesAndOneProcessCoexist) {
    int release = -1;
    const pid_t other = serveInChild("Video", &release);
    makeContextAndTexture();
    server_ = FrameServer::create("Video", context_);
    auto second = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_ && second);

    auto servers = listFrameServers();
    ASSERT_EQ(servers.size(), 3u);
    int mine = 0, theirs = 0;
    for (const auto& s : servers) {
        EXPECT_EQ(s.name, "Video");
        mine += s.pid == getpid();
        theirs += s.pid == other;
    }
    EXPECT_EQ(mine, 2);
    EXPECT_EQ(theirs, 1);

    // Each can be reached by name and process.
    auto client = FrameClient::connect("Video", other);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->server().pid, other);

    client.reset();
    close(release);
    EXPECT_EQ(waitChild(other), 0);
    EXPECT_EQ(listFrameServers().size(), 2u);
}

TEST_F(ServerDirectoryTest, EntriesOfAKilledServerAreRecognisedAsStaleAndRemoved) {
    int release = -1;
    const pid_t doomed = serveInChild("Video", &release);
    ASSERT_EQ(listFrameServers().size(), 1u);
    kill(doomed, SIGKILL);
    EXPECT_EQ(waitChild(doomed), 128 + SIGKILL);
    close(release);
    EXPECT_EQ(filesInDirectory().size(), 2u);  // its socket and entry are left behind

    // A socket whose server died before announcing itself goes too.
    std::ofstream(runtimeDir_ + "/cliploop/Video." + std::to_string(doomed) + ".9.sock");

    std::string error;
    EXPECT_FALSE(FrameClient::connect("Video", &error));
    EXPECT_NE(error.find("no frame server"), std::string::npos);
    EXPECT_TRUE(filesInDirectory().empty());
}

TEST_F(ServerDirectoryTest, NamesAreCheckedAndAnyValidNameFitsASocketAddress) {
    makeContextAndTexture();
    EXPECT_FALSE(FrameServer::create("", context_));
    EXPECT_FALSE(FrameServer::create("bad\nname", context_));
    EXPECT_FALSE(FrameServer::create(std::string(256, 'x'), context_));
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

TEST_F(ServerDirectoryTest, AnUnsafeDirectoryIsTightenedOrRefused) {
    const std::string dir = runtimeDir_ + "/cliploop";
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    std::string error;
    ASSERT_EQ(directory::userDirectory(true, &error), dir) << error;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A symlink planted in its place is never followed.
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    const std::string elsewhere = runtimeDir_ + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.c_str()), 0);
    EXPECT_FALSE(directory::userDirectory(true, &error));
    makeContextAndTexture();
    EXPECT_FALSE(FrameServer::create("Video", context_));
    EXPECT_TRUE(listFrameServers().empty());
}

TEST_F(ServerDirectoryTest, AnUnusableRuntimeDirectoryFallsBackToAPrivateOneInTmp) {
    const std::string fallback = "/tmp/cliploop-" + std::to_string(geteuid());
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0755), 0);  // not private: not used
    EXPECT_EQ(directory::userDirectory(true), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(directory::userDirectory(true), fallback);
    setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(directory::userDirectory(true), fallback);
    struct stat st {};
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace cliploop
