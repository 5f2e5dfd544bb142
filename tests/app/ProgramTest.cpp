// The cliploop program itself, as a user starts it.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

TEST(Program, ServesVideoAtOnceAndWithoutADisplaySaysSoInOneLine) {
    application();
    const QString program = QCoreApplication::applicationDirPath() + "/../bin/cliploop";
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    QProcess process, client;
    client.setProcessEnvironment(env);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(program, {});
    ASSERT_TRUE(process.waitForStarted());
    client.start(QCoreApplication::applicationDirPath() + "/cliploop-frame-check",
                 {"Video", QString::number(process.processId()), "30"});
    QByteArray output;
    const bool framed = eventually(
        [&] {
            client.waitForReadyRead(10);
            output += client.readAllStandardOutput();
            return output.contains("\nframe ");
        },
        std::chrono::seconds(30));
    client.kill();
    client.waitForFinished();
    process.kill();
    process.waitForFinished();
    ASSERT_TRUE(framed) << output.toStdString() << process.readAllStandardError().toStdString();
    EXPECT_TRUE(output.contains(" 512 512 0,0,0 0,0,0")) << output.toStdString();

    // No display at all, and a display named but not there: one line, status
    // 1, no abort.
    for (const char* display : {"", ":987"}) {
        QProcess bare;
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        if (*display) env.insert("DISPLAY", display);
        bare.setProcessEnvironment(env);
        bare.start(program, {});
        ASSERT_TRUE(bare.waitForFinished(60000));
        EXPECT_EQ(bare.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(bare.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(bare.readAllStandardError());
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_TRUE(err.contains(*display ? "cannot open the display" : "no display"))
            << err.toStdString();
    }
}

}  // namespace
}  // namespace cliploop::apptest
