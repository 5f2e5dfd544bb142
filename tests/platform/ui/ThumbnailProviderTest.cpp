// ctest-labels: concurrency
// Pictures made in the background: asked once, only so many requests kept, cancelled with their
// list, and a provider that goes away while busy waits for nothing long.
#include <QTemporaryDir>

#include <fstream>

#include "support/UiFixture.h"
#include "ui/ArrayController.h"
#include "ui/ThumbnailProvider.h"

namespace cliploop {
namespace {

// A clip that takes its moment to open and decode, and `copies` copies of it.
QList<QByteArray> makeClips(const QTemporaryDir& dir, int copies) {
    const QString path = dir.filePath("clip.mp4");
    const QString command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=s=320x180:"
        "r=30:d=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p '" +
        path + "'";
    EXPECT_EQ(std::system(command.toLocal8Bit().constData()), 0);
    QList<QByteArray> clips{QFile::encodeName(path)};
    for (int i = 0; i < copies; ++i) {
        QFile::copy(path, dir.filePath(QString("copy%1.mp4").arg(i)));
        clips << QFile::encodeName(dir.filePath(QString("copy%1.mp4").arg(i)));
    }
    return clips;
}

TEST(ThumbnailProvider, AsksAreServedOnceBoundedAndCancelledWithTheirList) {
    uitest::application();
    QTemporaryDir dir;
    const QList<QByteArray> clips = makeClips(dir, 20);
    std::ofstream(dir.filePath("notes.txt").toStdString()) << "not a clip";
    const QByteArray notes = QFile::encodeName(dir.filePath("notes.txt"));

    ThumbnailProvider provider(QSize(96, 54), 1);
    QList<QByteArray> ready;
    QObject::connect(&provider, &ThumbnailProvider::pictureReady,
                     [&](const QByteArray& path) { ready << path; });
    EXPECT_FALSE(provider.picture(clips[0]).isValid());  // asked; not there yet
    EXPECT_FALSE(provider.picture(clips[0]).isValid());  // asked once only
    ASSERT_TRUE(uitest::eventually([&] { return provider.picture(clips[0]).isValid(); }));
    EXPECT_EQ(provider.picture(clips[0]).value<QImage>().size(), QSize(96, 54));
    EXPECT_EQ(ready, QList<QByteArray>{clips[0]});

    // Many asks at once: only the newest are kept, and the newest is among them.
    ready.clear();
    for (int i = 0; i < 1000; ++i)
        provider.picture(QFile::encodeName(dir.filePath(QString("gone%1.mp4").arg(i))));
    provider.picture(notes);
    EXPECT_LE(provider.pendingCount(), 256 + 1);  // the kept ones and one under way
    ASSERT_TRUE(uitest::eventually([&] { return provider.pendingCount() == 0; }));
    EXPECT_TRUE(ready.contains(notes));
    EXPECT_EQ(provider.picture(notes).metaType(), QMetaType::fromType<QIcon>());

    // A new list: what was asked for the old one is dropped, delivered to nobody (one may have
    // been made before the cancellation came).
    ready.clear();
    for (const QByteArray& copy : clips.mid(1)) provider.picture(copy);
    provider.cancelPending();
    EXPECT_TRUE(uitest::eventually([&] { return provider.pendingCount() == 0; }));
    EXPECT_LE(ready.size(), 1);
    EXPECT_FALSE(provider.picture(clips[5]).isValid());  // asked again, as a view would
    EXPECT_TRUE(uitest::eventually([&] { return provider.picture(clips[5]).isValid(); }));
}

// The list's picture column comes first and stays, empty, when its provider goes with the window,
// even while the provider is busy.
TEST(ThumbnailProvider, ThePictureColumnOutlivesItsBusyProvider) {
    uitest::application();
    QTemporaryDir dir;
    const QList<QByteArray> clips = makeClips(dir, 4);
    ArrayController list({"name", "path"});
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto* provider = new ThumbnailProvider(QSize(96, 54), 2);
        list.setPictures(provider, "path");
        list.setContent({{{"name", "a.mov"}, {"path", QByteArray("/nowhere/a.mov")}}});
        EXPECT_EQ(list.columnCount(), 3);
        EXPECT_EQ(list.columnOf("name"), 1);
        EXPECT_EQ(list.headerData(0, Qt::Horizontal).toString(), "");
        EXPECT_TRUE(uitest::eventually(
            [&] { return list.data(list.index(0, 0), Qt::DecorationRole).isValid(); }));
        for (const QByteArray& clip : clips) provider->picture(clip);
        delete provider;
        EXPECT_EQ(list.columnCount(), 3);
        EXPECT_FALSE(list.data(list.index(0, 0), Qt::DecorationRole).isValid());
        EXPECT_EQ(list.data(list.index(0, 1)).toString(), "a.mov");
    }
    QCoreApplication::processEvents();  // deliveries to a provider gone are dropped
}

}  // namespace
}  // namespace cliploop
