// The cliploop program as started from a shell: without a display one line, status 1, no abort;
// with one, ended by a signal as by the Quit action.
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <cstring>
#include <filesystem>

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

// Files in the server directory: "<stem>.sock" and "<stem>.info" per server.
std::vector<std::string> serverFiles(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(directory, error))
        names.push_back(file.path().filename().string());
    return names;
}

// SIGINT and SIGTERM quit as the Quit action does: status 0 and the frame server withdrawn. The
// sanitizer build's LeakSanitizer checks the program at its exit and would fail the status.
TEST(Program, QuitsOnSigintAndSigtermAndWithdrawsItsFrameServer) {
    application();
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        QTemporaryDir runtime;  // 0700, as the server directory's parent must be
        ASSERT_TRUE(runtime.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("HOME", runtime.path());
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + "/../bin/cliploop", {});
        ASSERT_TRUE(program.waitForStarted());
        const std::filesystem::path servers = runtime.path().toStdString() + "/cliploop";
        ASSERT_TRUE(eventually(
            [&] {
                const auto files = serverFiles(servers);
                return std::any_of(files.begin(), files.end(),
                                   [](const std::string& name) { return name.ends_with(".info"); });
            },
            std::chrono::seconds(60)))
            << "no server announced\n"
            << program.readAllStandardError().toStdString();
        ASSERT_EQ(kill(static_cast<pid_t>(program.processId()), signal), 0);
        ASSERT_TRUE(program.waitForFinished(60000));
        const std::string err = program.readAllStandardError().toStdString();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << err;
        EXPECT_EQ(program.exitCode(), 0) << err;
        EXPECT_EQ(serverFiles(servers), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace cliploop::apptest
