#include <gtest/gtest.h>
#include <QFileDialog>

#include "support/AppFixture.h"

namespace cliploop {
namespace {

class SearchFolderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { apptest::application(); }
    void SetUp() override {
        controller = std::make_shared<ViewController>();
        controller->searchField = &field;
        controller->circularIndicator = &indicator;
        controller->searchPathField = &pathField;
        controller->arrayController = std::make_shared<ArrayController>(QStringList{"name"});
        controller->searchPath = FileUrl::fromPath("/");
        controller->arrayController->setContent({{{"name", "kept"}}});
        pathField.setText("Search from directory: /");
        indicator.setHidden(true);
        window.show();
    }
    void TearDown() override {
        for (QFileDialog* panel : panels()) panel->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static QList<QFileDialog*> panels() {
        QList<QFileDialog*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* panel = qobject_cast<QFileDialog*>(widget);
            if (panel && panel->objectName() == "searchFolderPanel" && panel->isVisible()) {
                found << panel;
            }
        }
        return found;
    }
    QFileDialog* openPanel() {
        const QList<QFileDialog*> before = panels();
        controller->selectButton(nullptr);
        for (QFileDialog* panel : panels()) {
            if (!before.contains(panel)) return panel;
        }
        ADD_FAILURE() << "no panel opened";
        return nullptr;
    }

    QWidget window;
    QLineEdit field{&window};
    QProgressBar indicator{&window};
    QLabel pathField{&window};
    std::shared_ptr<ViewController> controller;
    QTemporaryDir chosen;
};

TEST_F(SearchFolderTest, ThePanelOffersOneExistingFolderWithoutBlockingTheWindow) {
    QFileDialog* panel = openPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(panel->testOption(QFileDialog::ShowDirsOnly));
    EXPECT_TRUE(panel->testOption(QFileDialog::ReadOnly));  // no new folder
    EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
}

TEST_F(SearchFolderTest, AConfirmedFolderBecomesTheSearchFolderAndNothingElse) {
    QFileDialog* panel = openPanel();
    ASSERT_NE(panel, nullptr);
    panel->setDirectory(chosen.path());
    testing::internal::CaptureStdout();
    static_cast<QDialog*>(panel)->accept();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(controller->searchPath.path(), chosen.path().toStdString());
    EXPECT_EQ(pathField.text(), chosen.path());  // the bare path, no label
    EXPECT_EQ(controller->arrayController->rowCount(), 1);
    EXPECT_TRUE(indicator.isHidden());
    apptest::settle(std::chrono::milliseconds(50));
    EXPECT_TRUE(panels().isEmpty());
}

TEST_F(SearchFolderTest, CancellingPrintsCanceledAndChangesNothing) {
    QFileDialog* panel = openPanel();
    ASSERT_NE(panel, nullptr);
    panel->setDirectory(chosen.path());
    testing::internal::CaptureStdout();
    panel->reject();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Canceled\n");
    EXPECT_EQ(controller->searchPath.path(), "/");
    EXPECT_EQ(pathField.text(), "Search from directory: /");
}

TEST_F(SearchFolderTest, EachOfTwoOpenPanelsActsOnItsOwnAndTheLastConfirmationWins) {
    QTemporaryDir other;
    QFileDialog* first = openPanel();
    QFileDialog* second = openPanel();
    ASSERT_TRUE(first && second && first != second);
    second->setDirectory(other.path());
    static_cast<QDialog*>(second)->accept();
    EXPECT_EQ(controller->searchPath.path(), other.path().toStdString());
    first->setDirectory(chosen.path());
    static_cast<QDialog*>(first)->accept();
    EXPECT_EQ(controller->searchPath.path(), chosen.path().toStdString());
    EXPECT_EQ(pathField.text(), chosen.path());
}

TEST_F(SearchFolderTest, BothSearchControlsRunASearch) {
    controller->searchPath = FileUrl::fromPath(chosen.path().toStdString());
    std::ofstream(chosen.path().toStdString() + "/take one.mov") << "x";
    field.setText("take");
    for (auto action : {&ViewController::searchButton, &ViewController::enterSearchField}) {
        controller->flag = true;
        ((*controller).*action)(nullptr);
        EXPECT_FALSE(controller->flag);
        EXPECT_EQ(controller->arrayController->rowCount(), 0);
        ASSERT_TRUE(apptest::eventually([&] { return indicator.isHidden(); }));
        ASSERT_EQ(controller->arrayController->rowCount(), 1);
        EXPECT_EQ(controller->arrayController->arrangedObjects()[0].value("name").toString(),
                  "take one.mov");
    }
}

}  // namespace
}  // namespace cliploop
