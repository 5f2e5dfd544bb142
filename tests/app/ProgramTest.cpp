// The cliploop program as started from a shell: without a display one line and status 1; with one,
// ended by a signal as by the Quit action.
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <cstring>
#include <filesystem>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

QProcessEnvironment environment(const std::map<QString, QString>& changes) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : changes)
        value.isNull() ? env.remove(name) : env.insert(name, value);
    return env;
}

TEST(Program, WithoutADisplaySaysSoInOneLine) {
    application();
    for (const char* display : {"", ":987"}) {  // none at all, and one named but not there
        SCOPED_TRACE(display);
        QProcess program;
        program.setProcessEnvironment(environment({{"DISPLAY", *display ? display : QString()},
                                                   {"WAYLAND_DISPLAY", {}},
                                                   {"QT_QPA_PLATFORM", {}}}));
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

// The sanitizer build's LeakSanitizer checks the program at its exit and would fail the status.
TEST(Program, QuitsOnSigintAndSigtermAndWithdrawsItsFrameServer) {
    application();
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        QTemporaryDir runtime;  // 0700, as the server directory's parent must be
        ASSERT_TRUE(runtime.isValid());
        QProcess program;
        program.setProcessEnvironment(environment({{"QT_QPA_PLATFORM", "offscreen"},
                                                   {"XDG_RUNTIME_DIR", runtime.path()},
                                                   {"HOME", runtime.path()}}));
        program.start(QCoreApplication::applicationDirPath() + "/../bin/cliploop", {});
        ASSERT_TRUE(program.waitForStarted());
        const std::filesystem::path servers = runtime.path().toStdString() + "/cliploop";
        const auto announced = [&] {
            std::error_code error;
            for (const auto& file : std::filesystem::directory_iterator(servers, error))
                if (file.path().extension() == ".info") return true;
            return false;
        };
        ASSERT_TRUE(eventually(announced, std::chrono::seconds(60)))
            << "no server announced\n"
            << program.readAllStandardError().toStdString();
        ASSERT_EQ(kill(static_cast<pid_t>(program.processId()), signal), 0);
        ASSERT_TRUE(program.waitForFinished(60000));
        const std::string err = program.readAllStandardError().toStdString();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << err;
        EXPECT_EQ(program.exitCode(), 0) << err;
        EXPECT_TRUE(!std::filesystem::exists(servers) || std::filesystem::is_empty(servers));
    }
}

}  // namespace
}  // namespace cliploop::apptest
