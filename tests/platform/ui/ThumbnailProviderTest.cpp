// ctest-labels: concurrency
// Pictures made in the background: asked once, bounded, cancelled, and a busy provider may go.
#include "platform/media/support/MediaTestSupport.h"
#include "support/UiFixture.h"
#include "ui/ArrayController.h"
#include "ui/ThumbnailProvider.h"

namespace cliploop {
namespace {

TEST(ThumbnailProvider, AsksAreServedOnceBoundedAndCancelledAndABusyOneMayGo) {
    uitest::application();
    const std::string clip = testing::clip("thumbnails.mp4", {320, 180, 60});  // a moment to open
    QList<QByteArray> clips{QByteArray::fromStdString(clip)};
    for (int i = 0; i < 20; ++i) {
        clips << QByteArray::fromStdString(testing::testPath("copy" + std::to_string(i) + ".mp4"));
        std::filesystem::copy_file(clip, clips.back().toStdString());
    }
    ThumbnailProvider provider(QSize(96, 54), 1);
    QList<QByteArray> ready;
    QObject::connect(&provider, &ThumbnailProvider::pictureReady,
                     [&](const QByteArray& path) { ready << path; });
    EXPECT_FALSE(provider.picture(clips[0]).isValid() || provider.picture(clips[0]).isValid());
    ASSERT_TRUE(uitest::eventually([&] { return provider.picture(clips[0]).isValid(); }));
    EXPECT_EQ(ready, QList<QByteArray>{clips[0]});  // once, though asked twice
    ready.clear();                                  // many asks at once: only the newest are kept
    for (int i = 0; i < 1000; ++i) provider.picture("/nowhere/gone" + QByteArray::number(i));
    provider.picture("/nowhere/newest");
    EXPECT_LE(provider.pendingCount(), 256 + 1);  // the kept ones and one under way
    ASSERT_TRUE(uitest::eventually([&] { return provider.pendingCount() == 0; }));
    EXPECT_TRUE(ready.contains("/nowhere/newest"));
    ready.clear();  // a new list drops what the old one asked (bar one under way)
    for (const QByteArray& copy : clips.mid(1)) provider.picture(copy);
    provider.cancelPending();
    EXPECT_TRUE(uitest::eventually([&] { return provider.pendingCount() == 0; }));
    EXPECT_LE(ready.size(), 1);
    EXPECT_FALSE(provider.picture(clips[5]).isValid());  // asked again, as a view would
    EXPECT_TRUE(uitest::eventually([&] { return provider.picture(clips[5]).isValid(); }));
    // The list's picture column stays, empty, when its provider goes with the window, even busy.
    ArrayController list({"name", "path"});
    const auto picture = [&] { return list.data(list.index(0, 0), Qt::DecorationRole); };
    for (int round = 0; round < 5; ++round) {
        auto* busy = new ThumbnailProvider(QSize(96, 54), 2);
        list.setPictures(busy, "path");
        list.setContent({{{"name", "a.mov"}, {"path", QByteArray("/nowhere/a.mov")}}});
        EXPECT_TRUE(uitest::eventually([&] { return picture().isValid(); }));
        for (const QByteArray& copy : clips.mid(10)) busy->picture(copy);
        delete busy;
        EXPECT_TRUE(list.columnCount() == 3 && !picture().isValid() &&
                    list.data(list.index(0, 1)).toString() == "a.mov");
    }
    QCoreApplication::processEvents();  // deliveries to a provider gone are dropped
}

}  // namespace
}  // namespace cliploop
