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
            if (panel && panel->objectName() == "searchFolderPanel" && panel->isVisible())
                found << panel;
        }
        return found;
    }
    // Opens the panel on the chosen folder; the answer's printed lines.
    std::string answer(bool confirm) {
        controller->selectButton(nullptr);
        EXPECT_EQ(panels().size(), 1);
        if (panels().size() != 1) return {};
        QFileDialog* panel = panels()[0];
        EXPECT_EQ(panel->windowModality(), Qt::NonModal);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(panel->testOption(QFileDialog::ShowDirsOnly));
        EXPECT_TRUE(panel->testOption(QFileDialog::ReadOnly));  // no new folder
        panel->setDirectory(chosen.path());
        testing::internal::CaptureStdout();
        if (confirm)
            static_cast<QDialog*>(panel)->accept();
        else
            panel->reject();
        return testing::internal::GetCapturedStdout();
    }

    QWidget window;
    QProgressBar indicator{&window};
    QLabel pathField{&window};
    std::shared_ptr<ViewController> controller;
    QTemporaryDir chosen;
};

TEST_F(SearchFolderTest, TheConfirmedFolderBecomesTheSearchFolderAndNothingElse) {
    EXPECT_EQ(answer(false), "Canceled\n");
    EXPECT_EQ(controller->searchPath.path(), "/");
    EXPECT_EQ(pathField.text(), "Search from directory: /");

    EXPECT_EQ(answer(true), "");
    EXPECT_EQ(controller->searchPath.path(), chosen.path().toStdString());
    EXPECT_EQ(pathField.text(), chosen.path());  // the bare path, no label
    EXPECT_EQ(controller->arrayController->rowCount(), 1);
    EXPECT_TRUE(indicator.isHidden());
    EXPECT_TRUE(panels().isEmpty());
}

}  // namespace
}  // namespace cliploop
