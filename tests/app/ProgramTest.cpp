// The cliploop program itself, as a user starts it.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

QString program() {
    return QCoreApplication::applicationDirPath() + "/../bin/cliploop";
}

TEST(Program, WithoutADisplayItSaysSoInOneLineAndExitsWithStatusOne) {
    application();
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(env);
    process.start(program(), {});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
    EXPECT_TRUE(err.contains("no display")) << err.toStdString();
}

TEST(Program, StartsServingVideoAtOnce) {
    application();
    QTemporaryDir runtime;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    process.setProcessEnvironment(env);
    process.start(program(), {});
    ASSERT_TRUE(process.waitForStarted());

    QProcess client;
    QProcessEnvironment clientEnv = QProcessEnvironment::systemEnvironment();
    clientEnv.insert("XDG_RUNTIME_DIR", runtime.path());
    client.setProcessEnvironment(clientEnv);
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
}

}  // namespace
}  // namespace cliploop::apptest
