// ctest-labels: concurrency
// The clip table: the delegate asked before each user selection; sorting, also off the main thread.
#include <QTest>

#include <set>

#include "support/UiFixture.h"
#include "ui/Application.h"
#include "ui/ArrayController.h"
#include "ui/ClipTableView.h"

namespace cliploop {
namespace {

using Rows = std::vector<int>;
using State = std::pair<Rows, QList<int>>;  // the rows asked since the last look; the selection

// Six rows; the delegate's function records each question and refuses the rows in `refused`.
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
        table.setShouldSelectRow([this](QTableView*, int row) {
            asked.push_back(row);
            return !refused.contains(row);
        });
        QObject::connect(&table, &ClipTableView::selectionDidChange, [this] { ++changes; });
    }

    QPoint at(int row) { return table.visualRect(list.index(row, 0)).center(); }
    void click(int row, Qt::KeyboardModifiers modifiers = {}) {
        QTest::mouseClick(table.viewport(), Qt::LeftButton, modifiers, at(row));
    }
    State look() { return {std::exchange(asked, {}), list.selectionIndexes()}; }

    ArrayController list{{"name"}};
    ClipTableView table;
    Rows asked;
    std::set<int> refused;
    int changes = 0;
};

TEST_F(ClipTableViewTest, ClicksKeysDragsAndSelectAllAskOnceForEachRowTheyWouldAdd) {
    click(2);
    EXPECT_EQ(look(), (State{{2}, {2}}));
    click(2);  // already the selection
    EXPECT_EQ(look(), (State{{}, {2}}));
    QTest::keyClick(&table, Qt::Key_Down);
    EXPECT_EQ(look(), (State{{3}, {3}}));
    changes = 0;
    refused = {4};
    click(4);
    QTest::keyClick(&table, Qt::Key_Down);
    EXPECT_EQ(look(), (State{{4, 4}, {3}}));
    EXPECT_TRUE(table.currentIndex().row() == 3 && changes == 0);

    refused = {3};
    QTest::mousePress(table.viewport(), Qt::LeftButton, {}, at(1));
    QTest::mouseMove(table.viewport(), at(3));
    EXPECT_TRUE(list.selectionIndexes() == QList<int>{1} && table.currentIndex().row() == 1);
    QTest::mouseMove(table.viewport(), at(4));
    QTest::mouseRelease(table.viewport(), Qt::LeftButton, {}, at(4));
    EXPECT_EQ(look(), (State{{1, 3, 4}, {1, 2, 3, 4}}));
    click(3, Qt::ControlModifier);  // taking a row out asks nothing
    EXPECT_EQ(look(), (State{{}, {1, 2, 4}}));
    click(1);  // one of several becomes the only one
    EXPECT_EQ(look(), (State{{1}, {1}}));
    refused = {2, 4};
    QTest::keyClick(&table, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(look(), (State{{0, 2, 3, 4, 5}, {0, 1, 3, 5}}));
    table.setShouldSelectRow(nullptr);  // then every row may be selected
    click(4);
    EXPECT_EQ(list.selectionIndexes(), QList<int>{4});
}

// Rearranged in one step, selection and current row kept; records added meanwhile sorted too.
TEST_F(ClipTableViewTest, ALongListIsSortedOffTheMainThreadAndArrivesInOnePiece) {
    static const auto mainQueue = application::installMainQueue(&uitest::application());
    QList<QVariantMap> rows;
    for (int i = 0; i < 5000; ++i) rows.append({{"name", QString("clip %1").arg(i)}});
    list.setContent(rows);
    list.setSelectionIndexes({2, 4990, 7000, -1});
    list.selectionModel()->setCurrentIndex(list.index(2, 0), QItemSelectionModel::NoUpdate);
    asked.clear();
    int rearranged = 0;
    QObject::connect(&list, &QAbstractItemModel::layoutChanged, [&] { ++rearranged; });
    list.sort(0, Qt::DescendingOrder);
    ASSERT_TRUE(uitest::eventually([&] { return !list.isSorting(); }));
    const auto name = [&](int row) { return list.arrangedObjects().at(row).value("name"); };
    EXPECT_TRUE(rearranged == 1 && asked.empty() && name(0) == "clip 4999");
    EXPECT_EQ(list.selectionIndexes(), (QList<int>{4999 - 4990, 4999 - 2}));
    EXPECT_EQ(name(table.currentIndex().row()), "clip 2");

    list.sort(0, Qt::AscendingOrder);
    list.addObjects({{{"name", "clip 10000"}}, {{"name", "a clip"}}});  // before the order came
    ASSERT_TRUE(uitest::eventually([&] { return !list.isSorting(); }));
    EXPECT_TRUE(name(0) == "a clip" && name(1) == "clip 0" && name(5001) == "clip 10000");
}

}  // namespace
}  // namespace cliploop
