// ctest-labels: concurrency
// The clip search: its words, its printed lines, only the newest search published, its folder.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <QDateTime>
#include <QFileDialog>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include "foundation/Dispatch.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

// Root's capabilities, given up before the global queue's workers exist, so they meet folder modes.
struct PlainPermissions : ::testing::Environment {
    void SetUp() override {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (geteuid() != 0 || syscall(SYS_capget, &header, data) != 0) return;
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        applies = syscall(SYS_capset, &header, data) == 0;
    }
    static inline bool applies = geteuid() != 0;
};
const auto* const kPlainPermissions = ::testing::AddGlobalTestEnvironment(new PlainPermissions);

class SearchTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        controller_->searchPath = FileUrl::fromPath(root);
        QObject::connect(window_->statusBar(), &QStatusBar::messageChanged,
                         [this](const QString& line) {
                             if (!line.isEmpty()) statusLines << line;
                         });
    }
    void TearDown() override {
        for (const char* folder : {"locked", "listed"}) chmod(at(folder).c_str(), 0755);
        InterfaceTest::TearDown();
    }

    std::string at(const std::string& relative) const { return root + "/" + relative; }
    // A trailing slash makes a folder.
    void make(std::initializer_list<std::string> paths) const {
        for (const std::string& p : paths)
            if (p.back() == '/' ? mkdir(at(p).c_str(), 0755) != 0
                                : !(std::ofstream(at(p)) << "not a clip"))
                ADD_FAILURE() << p;
    }
    bool idle() {
        return eventually([&] { return controller_->circularIndicator->isHidden(); });
    }
    QList<ClipRecord> search(const QString& text) {
        controller_->searchField->setText(text);
        QTest::keyClick(controller_->searchField, Qt::Key_Return);
        EXPECT_TRUE(idle());
        return controller_->arrayController->arrangedObjects();
    }
    // The list in its order; sorted, after a new search, when `text` is given.
    QStringList listed(std::optional<QString> text = {}, const char* key = "name") {
        QStringList result;
        for (const ClipRecord& record :
             text ? search(*text) : controller_->arrayController->arrangedObjects())
            result << ArrayController::displayText(record.value(key));
        if (text) result.sort();
        return result;
    }

    QTemporaryDir folder;
    const std::string root = folder.path().toStdString();
    QStringList statusLines;
};

// Each listed clip has its picture in the first column, a file that cannot play the plain icon.
TEST_F(SearchTest, ListsEveryVisibleFileWhoseNameHoldsEveryWordWithItsPicture) {
    ASSERT_TRUE(std::filesystem::copy_file(makeClip(160, 90, 2.0).path(), at("rain clip.mp4")));
    make({"my_clip.mov", "clip.avi", "clip notes.txt", "concert/", "concert/a.mov", "clip folder/",
          "clip folder/Clip Two.MOV", ".hidden.mov", "Ünïcode Loop.mov", "gig \xE9\xFF.mov"});
    const QString odd = QString::fromUtf8("gig \xEF\xBF\xBD\xEF\xBF\xBD.mov");
    controller_->arrayController->setContent({{{"name", "old"}}});
    controller_->flag = true;
    controller_->search();  // at once: the list emptied, the flag lowered, the indicator spinning
    EXPECT_TRUE(!controller_->flag && controller_->arrayController->rowCount() == 0 &&
                !controller_->circularIndicator->isHidden());
    ASSERT_TRUE(idle());
    const std::pair<QString, QStringList> cases[] = {
        {" \t  ",
         {"my_clip.mov", "clip.avi", "clip notes.txt", "a.mov", "Clip Two.MOV", "Ünïcode Loop.mov",
          odd, "rain clip.mp4"}},
        {"Clip\u3000 MOV", {"Clip Two.MOV", "my_clip.mov"}},
        {"concert", {}},
        {"ünï loop", {"Ünïcode Loop.mov"}},
        {"GIG", {odd}},
    };
    for (auto [text, names] : cases) {
        names.sort();
        EXPECT_EQ(listed(text), names) << text.toStdString();
        EXPECT_EQ(window_->statusBar()->currentMessage(),
                  names.size() == 1 ? "1 clip" : QString("%1 clips").arg(names.size()));
    }
    ArrayController& list = *controller_->arrayController;
    ASSERT_EQ(listed("n clip"), (QStringList{"clip notes.txt", "rain clip.mp4"}));
    auto pictureOf = [&](int row) { return list.data(list.index(row, 0), Qt::DecorationRole); };
    ASSERT_TRUE(eventually([&] { return pictureOf(0).isValid() && pictureOf(1).isValid(); }));
    EXPECT_EQ(pictureOf(0).metaType(), QMetaType::fromType<QIcon>());  // the notes
    const QImage picture = pictureOf(1).value<QImage>();
    const QColor middle = picture.pixelColor(48, 27);  // the clip is green
    EXPECT_TRUE(picture.size() == QSize(96, 54) && middle.green() > 200 && middle.red() < 60);
    controller_->searchPath = FileUrl::fromPath("/proc/self/fdinfo");  // files without birth time
    const QDateTime before = QDateTime::currentDateTime();
    for (const ClipRecord& record : search(""))
        EXPECT_GE(record.value("creationDate").toDateTime(), before);
}

TEST_F(SearchTest, UnreadableFoldersAndEntriesPrintALineEachAndTheWalkGoesOn) {
    if (!PlainPermissions::applies) GTEST_SKIP() << "folder modes do not apply to this process";
    make({"locked/", "locked/clip.mov", "listed/", "listed/clip.mov", "open/", "open/clip.mov",
          "clip.mov"});
    ASSERT_EQ(chmod(at("locked").c_str(), 0), 0);
    ASSERT_EQ(chmod(at("listed").c_str(), 0444), 0);  // listed, its entries unreadable
    testing::internal::CaptureStdout();
    EXPECT_EQ(listed("clip", "path"), (QStringList{QString::fromStdString(at("clip.mov")),
                                                   QString::fromStdString(at("open/clip.mov"))}));
    const std::string printed = "\n" + testing::internal::GetCapturedStdout();
    const std::string locked = FileUrl::fromPath(at("locked")).absoluteString();
    EXPECT_TRUE(std::ranges::count(printed, '\n') == 3 &&  // two lines
                printed.find("\ndirectoryEnumerator error at " + locked + ":  ") != printed.npos &&
                printed.find(at("listed/clip.mov")) != printed.npos)
        << printed;
    EXPECT_TRUE(statusLines.value(statusLines.size() - 2).endsWith("Permission denied"));
    EXPECT_EQ(statusLines.last(), "2 clips; 2 entries could not be read");
}

TEST_F(SearchTest, OnlyTheNewestSearchPublishesAndTheIndicatorWaitsForIt) {
    for (int folder = 0; folder < 20; ++folder)
        for (int i = -1; i < 40; ++i)  // the folder, then its files
            make({"f" + std::to_string(folder) + "/" +
                  (i < 0 ? "" : (i % 2 ? "alpha" : "beta") + std::to_string(i / 2) + ".mov")});
    int insertions = 0;
    QObject::connect(controller_->arrayController.get(), &QAbstractItemModel::rowsInserted,
                     [&] { insertions += controller_->circularIndicator->isHidden() ? 100 : 1; });
    for (const char* text : {"alpha", "alpha 1", "BETA 1"}) {
        controller_->searchField->setText(text);
        controller_->search();
    }
    controller_->searchPath = FileUrl::fromPath(at("gone"));  // the walk keeps its folder
    ASSERT_TRUE(idle());
    ASSERT_TRUE(dispatch::waitUntilGlobalIdle(std::chrono::seconds(20)));  // a late one shows now
    dispatch::drainMainQueue();
    EXPECT_EQ(insertions, 1);
    QStringList names = listed();
    names.removeDuplicates();  // beta1 and beta10..beta19 in each folder, once each
    EXPECT_TRUE(names.filter("beta1").size() == 11 && listed().size() == 20 * 11);
    EXPECT_TRUE(search("").isEmpty());  // a missing folder lists nothing
}

// By name (numbers by value, case aside) until the user sorts, even while the walk runs.
TEST_F(SearchTest, RowsArriveInTheOrderTheListShows) {
    make({"b/", "a/", "c/", "b/clip 10.mov", "a/Clip 2.mov", "c/clip 1.mov", "a/B clip.mov",
          "c/clip 2 take.mov", "b/loop.mov"});
    search("clip");
    EXPECT_EQ(listed(), (QStringList{"B clip.mov", "clip 1.mov", "clip 2 take.mov", "Clip 2.mov",
                                     "clip 10.mov"}));
    QHeaderView* header = window_->findChild<QTableView*>("clipTable")->horizontalHeader();
    // As a click on its title does; the pictures' title sorts nothing.
    header->setSortIndicator(controller_->arrayController->columnOf("path"), Qt::DescendingOrder);
    header->setSortIndicator(0, Qt::AscendingOrder);
    search("o");
    EXPECT_EQ(listed({}, "path").replaceInStrings(QString::fromStdString(root + "/"), ""),
              (QStringList{"c/clip 2 take.mov", "c/clip 1.mov", "b/loop.mov", "b/clip 10.mov",
                           "a/Clip 2.mov", "a/B clip.mov"}));

    controller_->searchField->setText("clip");
    controller_->search();
    header->setSortIndicator(controller_->arrayController->columnOf("name"), Qt::DescendingOrder);
    ASSERT_TRUE(idle());
    EXPECT_EQ(listed(), (QStringList{"clip 10.mov", "Clip 2.mov", "clip 2 take.mov", "clip 1.mov",
                                     "B clip.mov"}));
}

// The search folder panel, modeless: "Canceled" or the chosen folder in place of the home.
TEST_F(SearchTest, TheConfirmedFolderBecomesTheSearchFolderAndNothingElse) {
    QTemporaryDir chosen;
    const std::string home = controller_->searchPath.path();
    const QString label = "Search from directory: " + QDir::homePath();
    controller_->arrayController->setContent({{{"name", "kept"}}});
    for (const bool confirm : {false, true}) {
        QTest::mouseClick(window_->findChild<QPushButton*>("folderButton"), Qt::LeftButton);
        auto* shown = window_->findChild<QFileDialog*>("searchFolderPanel");
        ASSERT_TRUE(shown && shown->isVisible() && !QApplication::activeModalWidget());
        shown->setDirectory(chosen.path());
        confirm ? static_cast<QDialog*>(shown)->accept() : shown->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(controller_->searchPath.path(), confirm ? chosen.path().toStdString() : home);
        EXPECT_EQ(controller_->searchPathField->text(), confirm ? chosen.path() : label);
    }
    EXPECT_TRUE(statusLines == QStringList{"Canceled"} &&
                controller_->arrayController->rowCount() == 1);  // no search started
}

}  // namespace
}  // namespace cliploop::apptest
