#include <gtest/gtest.h>
#include <QDateTime>
#include <QTableView>

#include "support/UiFixture.h"
#include "ui/ArrayController.h"

namespace cliploop {
namespace {

QVariantMap record(const QString& name, qint64 seconds) {
    return {{"name", name},
            {"url", QVariant::fromValue(FileUrl::fromPath("/clips/" + name.toStdString()))},
            {"creationDate", QDateTime::fromSecsSinceEpoch(seconds)}};
}

QStringList names(const QList<QVariantMap>& records) {
    QStringList result;
    for (const QVariantMap& r : records) result << r.value("name").toString();
    return result;
}

class ArrayControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { uitest::application(); }
    ArrayController list{{"name", "creationDate", "url"}};
};

TEST_F(ArrayControllerTest, AddObjectsAppendsInOneInsertionAfterTheContent) {
    list.setContent({record("a", 1)});
    int insertions = 0;
    QObject::connect(&list, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) {
                         ++insertions;
                         EXPECT_EQ(first, 1);
                         EXPECT_EQ(last, 3);
                     });
    list.addObjects({record("b", 2), record("c", 3), record("d", 4)});
    EXPECT_EQ(insertions, 1);
    EXPECT_EQ(names(list.arrangedObjects()), (QStringList{"a", "b", "c", "d"}));
    list.addObjects({});
    EXPECT_EQ(insertions, 1);

    list.setContent({});
    EXPECT_EQ(list.rowCount(), 0);
}

TEST_F(ArrayControllerTest, SelectedObjectsComeInRowOrder) {
    list.setContent({record("a", 1), record("b", 2), record("c", 3), record("d", 4)});
    EXPECT_TRUE(list.setSelectionIndexes({3, 1, 7, -1}));
    EXPECT_EQ(list.selectionIndexes(), (QList<int>{1, 3}));
    EXPECT_EQ(names(list.selectedObjects()), (QStringList{"b", "d"}));
    EXPECT_FALSE(list.setSelectionIndexes({1, 3}));
    EXPECT_TRUE(list.setSelectionIndexes({}));
    EXPECT_TRUE(list.selectedObjects().isEmpty());

    // New content starts with nothing selected.
    list.setSelectionIndexes({0});
    list.setContent({record("e", 5), record("f", 6)});
    EXPECT_TRUE(list.selectedObjects().isEmpty());
}

TEST_F(ArrayControllerTest, DisplaysValuesReadably) {
    list.setContent({record("clip \xEF\xBF\xBD.mov", 0)});
    QVariantMap odd = record("odd", 0);
    odd["url"] = QVariant::fromValue(FileUrl::fromPath("/clips/\xFF.mov"));
    list.addObjects({odd});
    EXPECT_EQ(list.data(list.index(0, 0)).toString(), QString::fromUtf8("clip \xEF\xBF\xBD.mov"));
    EXPECT_EQ(list.data(list.index(0, 1)).toString(),
              QLocale().toString(QDateTime::fromSecsSinceEpoch(0), QLocale::ShortFormat));
    EXPECT_EQ(list.data(list.index(1, 2)).toString(), QString::fromUtf8("/clips/\xEF\xBF\xBD.mov"));
    // The edit role hands out the value itself.
    EXPECT_EQ(list.data(list.index(1, 2), Qt::EditRole).value<FileUrl>().path(), "/clips/\xFF.mov");
    EXPECT_EQ(list.headerData(1, Qt::Horizontal).toString(), "creationDate");
}

TEST_F(ArrayControllerTest, SortingKeepsTheSelectionOnItsRecords) {
    QTableView view;
    list.attach(&view);
    ASSERT_EQ(view.model(), &list);
    ASSERT_EQ(view.selectionModel(), list.selectionModel());

    list.setContent({record("clip3", 30), record("Clip2", 10), record("clip1", 20)});
    list.setSelectionIndexes({0, 2});
    list.selectionModel()->setCurrentIndex(list.index(0, 0), QItemSelectionModel::NoUpdate);

    list.sort(0, Qt::AscendingOrder);  // case aside
    EXPECT_EQ(names(list.arrangedObjects()), (QStringList{"clip1", "Clip2", "clip3"}));
    EXPECT_EQ(names(list.selectedObjects()), (QStringList{"clip1", "clip3"}));
    EXPECT_EQ(list.selectionModel()->currentIndex().row(), 2);

    list.sort(1, Qt::DescendingOrder);
    EXPECT_EQ(names(list.arrangedObjects()), (QStringList{"clip3", "clip1", "Clip2"}));
    EXPECT_EQ(names(list.selectedObjects()), (QStringList{"clip3", "clip1"}));
    EXPECT_EQ(list.selectionModel()->currentIndex().row(), 0);
}

}  // namespace
}  // namespace cliploop
