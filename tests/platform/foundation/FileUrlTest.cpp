#include "foundation/FileUrl.h"

#include <gtest/gtest.h>

namespace cliploop {
namespace {

TEST(FileUrl, EncodesAllButUnreservedAndSlashAndEveryByteRoundTrips) {
    EXPECT_EQ(FileUrl::fromPath("/clips/My Loop #2?%/a-b_c.d~e+f;g\xC3\xA9\xFF").absoluteString(),
              "file:///clips/My%20Loop%20%232%3F%25/a-b_c.d~e%2Bf%3Bg%C3%A9%FF");
    std::string everyByte = "/";
    for (int byte = 1; byte < 256; ++byte)
        if (byte != '/') everyByte += static_cast<char>(byte);
    for (const std::string& path : {everyByte, std::string("/a b/%41%/#frag?query"),
                                    std::string("/\x80\xFE/not utf-8\xC3"), std::string("/t/")})
        EXPECT_EQ(FileUrl::fromString(FileUrl::fromPath(path).absoluteString()).path(), path);
}

TEST(FileUrl, FromStringDecodesAndAcceptsOnlyLocalFileUrls) {
    EXPECT_EQ(FileUrl::fromString("file:///a%2fb%C3%a9").path(), "/a/b\xC3\xA9");
    EXPECT_EQ(FileUrl::fromString("FILE://localhost/x%20y").path(), "/x y");
    EXPECT_EQ(FileUrl::fromString("file:///a%3Fb?c=d#e").path(), "/a?b");  // no query, fragment
    for (const char* bad : {"", "/plain/path", "http:///x", "file:/x", "file:x", "file://",
                            "file://server/x", "file://localhost", "file:///bad%", "file:///bad%4",
                            "file:///bad%G1", "file:///nul%00byte"})
        EXPECT_TRUE(FileUrl::fromString(bad).isEmpty()) << bad;
}

}  // namespace
}  // namespace cliploop
