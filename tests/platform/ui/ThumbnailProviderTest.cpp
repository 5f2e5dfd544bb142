// Pictures made in the background: asked once, only so many requests kept, cancelled with their
// list, and a provider that goes away while busy waits for nothing long.
// ctest-labels: concurrency
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fstream>

#include "support/UiFixture.h"
#include "ui/ArrayController.h"
#include "ui/ThumbnailProvider.h"

namespace cliploop {
namespace {

// A clip that takes its moment to open and decode.
QByteArray makeClip(const QTemporaryDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    const QString command = QString(
                                "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                "testsrc=s=320x180:r=30:d=2 -c:v libx264 -preset ultrafast "
                                "-pix_fmt yuv420p '%1'")
                                .arg(path);
    EXPECT_EQ(std::system(command.toLocal8Bit().constData()), 0);
    return QFile::encodeName(path);
}

TEST(ThumbnailProvider, AsksAreServedOnceBoundedAndCancelledWithTheirList) {
    uitest::application();
    QTemporaryDir dir;
    const QByteArray clip = makeClip(dir, "clip.mp4");
    std::ofstream(dir.filePath("notes.txt").toStdString()) << "not a clip";
    const QByteArray notes = QFile::encodeName(dir.filePath("notes.txt"));

    ThumbnailProvider provider(QSize(96, 54), 1);
    QList<QByteArray> ready;
    QObject::connect(&provider, &ThumbnailProvider::pictureReady,
                     [&](const QByteArray& path) { ready << path; });
    EXPECT_FALSE(provider.picture(clip).isValid());  // asked; not there yet
    EXPECT_FALSE(provider.picture(clip).isValid());  // asked once only
    ASSERT_TRUE(uitest::eventually([&] { return provider.picture(clip).isValid(); }));
    EXPECT_EQ(provider.picture(clip).value<QImage>().size(), QSize(96, 54));
    EXPECT_EQ(ready, QList<QByteArray>{clip});

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
    QList<QByteArray> copies;
    for (int i = 0; i < 20; ++i) {
        const QString copy = dir.filePath(QString("copy%1.mp4").arg(i));
        QFile::copy(dir.filePath("clip.mp4"), copy);
        copies << QFile::encodeName(copy);
    }
    for (const QByteArray& copy : copies) provider.picture(copy);
    provider.cancelPending();
    EXPECT_TRUE(uitest::eventually([&] { return provider.pendingCount() == 0; }));
    uitest::eventually([] { return false; }, std::chrono::milliseconds(200));  // late ones?
    EXPECT_LE(ready.size(), 1);
    EXPECT_FALSE(provider.picture(copies[5]).isValid());  // asked again, as a view would
    EXPECT_TRUE(uitest::eventually([&] { return provider.picture(copies[5]).isValid(); }));
}

TEST(ThumbnailProvider, GoesAwayWhileBusy) {
    uitest::application();
    QTemporaryDir dir;
    const QByteArray clip = makeClip(dir, "busy.mp4");
    for (int round = 0; round < 5; ++round) {
        ThumbnailProvider provider(QSize(96, 54), 2);
        for (int i = 0; i < 4; ++i) {
            const QString copy = dir.filePath(QString("busy%1-%2.mp4").arg(round).arg(i));
            QFile::copy(QFile::decodeName(clip), copy);
            provider.picture(QFile::encodeName(copy));
        }
    }
    QCoreApplication::processEvents();  // deliveries to a provider gone are dropped
}

// The list's picture column comes first and stays, empty, when its provider goes with the window.
TEST(ThumbnailProvider, ThePictureColumnOutlivesItsProvider) {
    uitest::application();
    ArrayController list({"name", "path"});
    auto* provider = new ThumbnailProvider(QSize(96, 54), 1);
    list.setPictures(provider, "path");
    list.setContent({{{"name", "a.mov"}, {"path", QByteArray("/nowhere/a.mov")}}});
    EXPECT_EQ(list.columnCount(), 3);
    EXPECT_EQ(list.columnOf("name"), 1);
    EXPECT_EQ(list.headerData(0, Qt::Horizontal).toString(), "");
    EXPECT_TRUE(uitest::eventually(
        [&] { return list.data(list.index(0, 0), Qt::DecorationRole).isValid(); }));
    delete provider;
    EXPECT_EQ(list.columnCount(), 3);
    EXPECT_FALSE(list.data(list.index(0, 0), Qt::DecorationRole).isValid());
    EXPECT_EQ(list.data(list.index(0, 1)).toString(), "a.mov");
}

}  // namespace
}  // namespace cliploop
