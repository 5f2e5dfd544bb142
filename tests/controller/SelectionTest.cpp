// Row selection (only what the user selects plays) and dropped files.
#include <gtest/gtest.h>
#include <QTest>

#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

// Three copies of one generated clip, under names of their own.
class SelectionTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        const FileUrl clip = makeClip(64, 48, 1.0);
        ASSERT_FALSE(clip.isEmpty());
        QList<ClipRecord> records;
        for (const char* name : {"zero.mp4", "one \xE9.mp4", "two.mp4"}) {
            const std::string path = folder.path().toStdString() + "/" + name;
            std::filesystem::copy_file(clip.path(), path);
            urls.push_back(FileUrl::fromPath(path));
            records.append(
                {{"name", QString::fromUtf8(name)}, {"url", QVariant::fromValue(urls.back())}});
        }
        controller_->arrayController->setContent(records);
        table = window_->findChild<QTableView*>("clipTable");
    }
    bool plays(const FileUrl& url) {
        return eventually([&] { return playing() == url.path(); });
    }
    // Long enough for a clip that was chosen to start: what did not start by then never will.
    static void settle() {
        eventually([] { return false; }, std::chrono::milliseconds(300));
    }

    QTemporaryDir folder;
    std::vector<FileUrl> urls;
    QTableView* table = nullptr;
};

TEST_F(SelectionTest, OnlyAUserSelectionPlaysItsFirstRowAndLowersTheFlag) {
    controller_->arrayController->setSelectionIndexes({2});  // by the program: nothing plays
    table->selectRow(0);
    controller_->tableViewShouldSelectRow(table, 0);        // a user's, then nothing to play:
    controller_->arrayController->setSelectionIndexes({});  // the flag stays
    settle();
    EXPECT_EQ(playing(), "");
    EXPECT_TRUE(controller_->flag);
    for (int row : {1, 2}) {
        const QPoint at = table->visualRect(controller_->arrayController->index(row, 0)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        EXPECT_TRUE(plays(urls[row])) << row;
        EXPECT_FALSE(controller_->flag);
    }
    EXPECT_TRUE(controller_->tableViewShouldSelectRow(table, 0));
    controller_->arrayController->setSelectionIndexes({1, 0});
    EXPECT_TRUE(plays(urls[0]));
}

TEST_F(SelectionTest, ADroppedPathStartsAndAnythingElseIsIgnored) {
    controller_->arrayController->setSelectionIndexes({0});
    auto post = [this](const std::any& object) {
        NotificationCenter::defaultCenter().post("DragAndDropNotification", this, object);
    };
    post(urls[1].path());
    EXPECT_TRUE(plays(urls[1]));
    // The list, its selection and flag are not the drop's business.
    EXPECT_EQ(controller_->arrayController->selectionIndexes(), QList<int>{0});
    EXPECT_FALSE(controller_->flag);
    testing::internal::CaptureStdout();
    for (const std::any& object : {std::any(), std::any(42), std::any(std::string())}) post(object);
    settle();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(playing(), urls[1].path());
}

}  // namespace
}  // namespace cliploop::apptest
