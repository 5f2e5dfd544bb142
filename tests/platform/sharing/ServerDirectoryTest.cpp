// ctest-labels: concurrency
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "cliploop/FrameClient.h"
#include "sharing/client/ServerDirectory.h"
#include "support/SharingTestSupport.h"

namespace cliploop::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using ServerDirectoryTest = SharingTest;

// The mode of a directory of ours; 0 for anything else.
mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && st.st_uid == geteuid() ? st.st_mode : 0;
}

TEST_F(ServerDirectoryTest, ServersOfOneNameAreAllListedAndADeadOneIsNoticedAndRemoved) {
    const auto filesInDirectory = [&] {
        const auto dir = fs::directory_iterator(runtimeDir_ + "/cliploop");
        return std::distance(begin(dir), end(dir));
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = forkChild([&] {  // serves "Video" until killed
        bindNewSurface(64, 32, 0x5a);
        server_ = FrameServer::create("Video", context_);
        if (!server_ || write(ready[1], "!", 1) != 1) return 1;
        for (;;) {
            publish(64, 32);
            usleep(2000);
        }
    });
    char ok;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]), close(ready[1]);
    server_ = FrameServer::create("Video", context_);
    auto second = FrameServer::create("Video", context_);
    ASSERT_TRUE(server_ && second);
    EXPECT_EQ(modeOf(runtimeDir_ + "/cliploop"), S_IFDIR | 0700);
    int mine = 0;
    ASSERT_EQ(listFrameServers().size(), 3u);
    for (const auto& s : listFrameServers()) {
        EXPECT_EQ(s.name, "Video");
        EXPECT_TRUE(fs::is_socket(s.socketPath));
        mine += s.pid == getpid() && s.application == program_invocation_short_name;
    }
    EXPECT_EQ(mine, 2);
    auto client = FrameClient::connect("Video", other);  // by name and process
    std::optional<Frame> kept;
    ASSERT_TRUE(client &&
                eventually([&] { return (kept = client->receiveFrame(10ms)).has_value(); }));

    kill(other, SIGKILL);
    EXPECT_EQ(waitChild(other), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return !client->receiveFrame(10ms) && client->ended(); }));
    EXPECT_EQ(kept->row(31)[63 * 4], 0x5a);  // what it holds stays readable
    // A socket whose server died before announcing itself goes too.
    std::ofstream(runtimeDir_ + "/cliploop/Video." + std::to_string(other) + ".9.sock");
    EXPECT_EQ(listFrameServers().size(), 2u);
    EXPECT_EQ(filesInDirectory(), 4);
    server_.reset();
    second.reset();
    EXPECT_EQ(filesInDirectory(), 0);  // a stopped server leaves no entry
    std::string error;
    EXPECT_FALSE(FrameClient::connect("Video", &error));
    EXPECT_NE(error.find("no frame server"), std::string::npos);
}

TEST_F(ServerDirectoryTest, NamesAreCheckedAndAnyValidNameFitsASocketAddress) {
    EXPECT_FALSE(FrameServer::create(std::string(256, 'x'), context_));
    const std::string odd = "../Vidéo / \"out\" " + std::string(230, 'z');
    server_ = FrameServer::create(odd, context_);
    ASSERT_TRUE(server_ && listFrameServers().size() == 1);
    EXPECT_EQ(listFrameServers()[0].name, odd);
    EXPECT_EQ(fs::path(listFrameServers()[0].socketPath).parent_path(), runtimeDir_ + "/cliploop");
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
    EXPECT_FALSE(FrameServer::create("Video", context_));

    // A runtime directory that is not private, missing or relative is not used.
    const std::string fallback = "/tmp/cliploop-" + std::to_string(geteuid());
    ASSERT_EQ(chmod(runtimeDir_.c_str(), 0755), 0);
    for (const char* runtime : {runtimeDir_.c_str(), "", "relative/path"}) {
        runtime[0] ? setenv("XDG_RUNTIME_DIR", runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(directory::userDirectory(true), fallback) << runtime;
    }
    EXPECT_EQ(modeOf(fallback), S_IFDIR | 0700);
}

}  // namespace
}  // namespace cliploop::testing
