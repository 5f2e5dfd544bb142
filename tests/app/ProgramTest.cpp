// The cliploop program as started from a shell without a display: one line and status 1, no abort.
// Its quitting is QuitTest's: main() only hands over to the application routine.
#include <QProcess>
#include <QProcessEnvironment>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

TEST(Program, WithoutADisplaySaysSoInOneLine) {
    application();
    for (const char* display : {"", ":987"}) {  // none at all, and one named but not there
        SCOPED_TRACE(display);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        if (*display) env.insert("DISPLAY", display);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + "/../bin/cliploop", {});
        ASSERT_TRUE(program.waitForFinished(60000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_TRUE(err.contains(*display ? "cannot open the display" : "no display"))
            << err.toStdString();
    }
}

}  // namespace
}  // namespace cliploop::apptest
