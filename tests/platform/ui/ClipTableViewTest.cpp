#include <gtest/gtest.h>
#include <QKeyEvent>
#include <QMouseEvent>

#include <set>

#include "support/UiFixture.h"
#include "ui/ArrayController.h"
#include "ui/ClipTableView.h"

namespace cliploop {
namespace {

class ClipTableViewTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { uitest::application(); }
    void SetUp() override {
        QList<QVariantMap> rows;
        for (int i = 0; i < 6; ++i) rows.append({{"name", QString("clip%1").arg(i)}});
        list.setContent(rows);
        list.attach(&table);
        table.setSelectionBehavior(QAbstractItemView::SelectRows);
        table.setSelectionMode(QAbstractItemView::ExtendedSelection);
        table.resize(400, 400);
        table.show();
        table.setShouldSelectRow([this](QTableView* view, int row) {
            EXPECT_EQ(view, &table);
            asked.push_back(row);
            return refused.count(row) == 0;
        });
        QObject::connect(&table, &ClipTableView::selectionDidChange, [this] { ++changes; });
    }

    void mouse(QEvent::Type type, int row, Qt::KeyboardModifiers modifiers) {
        const QPoint at = table.visualRect(list.index(row, 0)).center();
        const Qt::MouseButtons buttons =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
        QMouseEvent event(type, at, table.viewport()->mapToGlobal(at), Qt::LeftButton, buttons,
                          modifiers);
        QCoreApplication::sendEvent(table.viewport(), &event);
    }
    void click(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        mouse(QEvent::MouseButtonPress, row, modifiers);
        mouse(QEvent::MouseButtonRelease, row, modifiers);
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(&table, &event);
    }

    ArrayController list{{"name"}};
    ClipTableView table;
    std::vector<int> asked;
    std::set<int> refused;
    int changes = 0;
};

TEST_F(ClipTableViewTest, AClickAsksOnceAndSelectsWhenAllowed) {
    click(2);
    EXPECT_EQ(asked, std::vector<int>{2});
    EXPECT_EQ(list.selectionIndexes(), QList<int>{2});
    EXPECT_GE(changes, 1);

    // Clicking the row that is already the selection changes nothing.
    asked.clear();
    changes = 0;
    click(2);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(changes, 0);
}

TEST_F(ClipTableViewTest, ARefusedClickSelectsNothingAndLeavesTheCursor) {
    click(1);
    refused = {4};
    asked.clear();
    changes = 0;
    click(4);
    EXPECT_EQ(asked, std::vector<int>{4});
    EXPECT_EQ(list.selectionIndexes(), QList<int>{1});
    EXPECT_EQ(table.currentIndex().row(), 1);
    EXPECT_EQ(changes, 0);
}

TEST_F(ClipTableViewTest, KeyboardMovesAskForTheRowTheyWouldSelect) {
    click(1);
    asked.clear();
    key(Qt::Key_Down);
    EXPECT_EQ(asked, std::vector<int>{2});
    EXPECT_EQ(list.selectionIndexes(), QList<int>{2});

    refused = {3};
    asked.clear();
    key(Qt::Key_Down);
    EXPECT_EQ(asked, std::vector<int>{3});
    EXPECT_EQ(list.selectionIndexes(), QList<int>{2});
    EXPECT_EQ(table.currentIndex().row(), 2);

    asked.clear();
    key(Qt::Key_PageDown);
    EXPECT_EQ(asked, std::vector<int>{5});
    EXPECT_EQ(list.selectionIndexes(), QList<int>{5});
}

TEST_F(ClipTableViewTest, DraggingAsksForTheRowUnderThePointer) {
    refused = {3};
    mouse(QEvent::MouseButtonPress, 1, Qt::NoModifier);
    mouse(QEvent::MouseMove, 3, Qt::NoModifier);
    EXPECT_EQ(list.selectionIndexes(), QList<int>{1});
    EXPECT_EQ(table.currentIndex().row(), 1);
    mouse(QEvent::MouseMove, 4, Qt::NoModifier);
    mouse(QEvent::MouseButtonRelease, 4, Qt::NoModifier);
    EXPECT_EQ(asked, (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(list.selectionIndexes(), (QList<int>{1, 2, 3, 4}));
}

TEST_F(ClipTableViewTest, NarrowingASelectionAsksButDeselectingDoesNot) {
    click(0);
    click(3, Qt::ControlModifier);
    EXPECT_EQ(list.selectionIndexes(), (QList<int>{0, 3}));
    asked.clear();

    click(3, Qt::ControlModifier);  // takes row 3 out
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(list.selectionIndexes(), QList<int>{0});

    click(3, Qt::ControlModifier);
    click(0);  // one of two selected rows becomes the only one
    EXPECT_EQ(asked, (std::vector<int>{3, 0}));
    EXPECT_EQ(list.selectionIndexes(), QList<int>{0});
}

TEST_F(ClipTableViewTest, SelectAllAsksForEachRowAndLeavesRefusedOnesOut) {
    click(0);
    asked.clear();
    refused = {2, 4};
    key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(asked, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(list.selectionIndexes(), (QList<int>{0, 1, 3, 5}));
}

TEST_F(ClipTableViewTest, TheProgramsOwnChangesNeverAskButAreAnnounced) {
    list.setSelectionIndexes({1, 2});
    EXPECT_EQ(changes, 1);
    table.setCurrentIndex(list.index(4, 0));
    table.selectRow(5);
    list.selectionModel()->clearSelection();
    const int before = changes;
    list.setContent({{{"name", "only"}}});  // a reset drops the selection quietly
    EXPECT_EQ(changes, before + 1);
    list.addObjects({{{"name", "more"}}});
    list.setSelectionIndexes({});
    EXPECT_TRUE(asked.empty());
    EXPECT_GE(changes, 4);
}

TEST_F(ClipTableViewTest, WithoutAFunctionEveryRowMayBeSelected) {
    table.setShouldSelectRow(nullptr);
    click(3);
    EXPECT_EQ(list.selectionIndexes(), QList<int>{3});
}

}  // namespace
}  // namespace cliploop
