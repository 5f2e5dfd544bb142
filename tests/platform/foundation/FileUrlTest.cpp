#include "foundation/FileUrl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace cliploop {
namespace {

TEST(FileUrl, AbsoluteStringEncodesEverythingButUnreservedAndSlash) {
    const auto url = FileUrl::fromPath("/clips/My Loop #2?%/a-b_c.d~e+f;g\xC3\xA9\xFF");
    EXPECT_EQ(url.absoluteString(),
              "file:///clips/My%20Loop%20%232%3F%25/a-b_c.d~e%2Bf%3Bg%C3%A9%FF");
    EXPECT_EQ(url.path(), "/clips/My Loop #2?%/a-b_c.d~e+f;g\xC3\xA9\xFF");
}

TEST(FileUrl, EveryByteSurvivesTheTextualRoundTrip) {
    std::string name = "/";
    for (int byte = 1; byte < 256; ++byte) {
        if (byte != '/') name += static_cast<char>(byte);
    }
    for (const std::string& path :
         {name, std::string("/a b/%41%/#frag?query"), std::string("/\x80\xFE/not utf-8\xC3"),
          std::string("/trailing/")}) {
        const auto url = FileUrl::fromPath(path);
        const auto back = FileUrl::fromString(url.absoluteString());
        EXPECT_EQ(back, url) << url.absoluteString();
        EXPECT_EQ(back.path(), path);
    }
}

TEST(FileUrl, TheFileNamedByTheRoundTripOpens) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("fileurl-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = folder.string() + "/clip \xFF%20#1?.mov";
    std::ofstream(path) << "frames";

    const auto url = FileUrl::fromString(FileUrl::fromPath(path).absoluteString());
    std::ifstream in(url.path());
    std::string content;
    in >> content;
    EXPECT_EQ(content, "frames");
    std::filesystem::remove_all(folder);
}

TEST(FileUrl, FromStringDecodesAndAcceptsOnlyLocalFileUrls) {
    EXPECT_EQ(FileUrl::fromString("file:///a%2fb%C3%a9").path(), "/a/b\xC3\xA9");
    EXPECT_EQ(FileUrl::fromString("FILE://localhost/x%20y").path(), "/x y");
    EXPECT_EQ(FileUrl::fromString("file:///").path(), "/");
    // A query or fragment is not part of the path.
    EXPECT_EQ(FileUrl::fromString("file:///a%3Fb?c=d#e").path(), "/a?b");

    for (const char* bad : {"", "/plain/path", "http:///x", "file:/x", "file:x", "file://",
                            "file://server/x", "file://localhost", "file:///bad%", "file:///bad%4",
                            "file:///bad%G1", "file:///nul%00byte"}) {
        EXPECT_TRUE(FileUrl::fromString(bad).isEmpty()) << bad;
    }
}

TEST(FileUrl, RelativePathIsTakenAgainstTheCurrentFolder) {
    const std::string cwd = std::filesystem::current_path().string();
    const std::string base = cwd == "/" ? "/" : cwd + "/";
    EXPECT_EQ(FileUrl::fromPath("clips/a.mov").path(), base + "clips/a.mov");
    EXPECT_EQ(FileUrl::fromPath("/abs").path(), "/abs");
    EXPECT_TRUE(FileUrl::fromPath("").isEmpty());
    EXPECT_EQ(FileUrl().absoluteString(), "");
}

TEST(FileUrl, LastPathComponentIgnoresATrailingSlash) {
    EXPECT_EQ(FileUrl::fromPath("/clips/loop.mov").lastPathComponent(), "loop.mov");
    EXPECT_EQ(FileUrl::fromPath("/clips/folder/").lastPathComponent(), "folder");
    EXPECT_EQ(FileUrl::fromPath("/clips/folder//").lastPathComponent(), "folder");
    EXPECT_EQ(FileUrl::fromPath("/top").lastPathComponent(), "top");
    EXPECT_EQ(FileUrl::fromPath("/").lastPathComponent(), "");
    EXPECT_EQ(FileUrl::fromPath("/x/\xFF name").lastPathComponent(), "\xFF name");
}

}  // namespace
}  // namespace cliploop
