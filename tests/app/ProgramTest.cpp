// The cliploop program started from a shell without a display: one line and status 1, no abort.
#include <QProcess>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

TEST(Program, WithoutADisplaySaysSoInOneLine) {
    application();
    for (const char* display : {"", ":987"}) {  // none at all, and one named but not there
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        if (*display) env.insert("DISPLAY", display);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + "/../bin/cliploop", {});
        ASSERT_TRUE(program.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        EXPECT_TRUE(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 1 &&
                    err.count('\n') == 1 && err.contains(*display ? "cannot open" : "no display"))
            << display << ": " << err.toStdString();
    }
}

}  // namespace
}  // namespace cliploop::apptest
