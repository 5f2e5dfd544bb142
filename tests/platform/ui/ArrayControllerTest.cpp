#include <QDateTime>
#include <QTableView>

#include "support/UiFixture.h"
#include "ui/ArrayController.h"

namespace cliploop {
namespace {

QStringList names(const QList<QVariantMap>& records) {
    QStringList result;
    for (const QVariantMap& r : records) result << r.value("name").toString();
    return result;
}

TEST(ArrayController, SortingKeepsTheSelectionAndTheCurrentRowOnTheirRecords) {
    uitest::application();
    ArrayController list{{"name", "creationDate"}};
    QTableView view;
    list.attach(&view);
    const auto record = [](const char* name, qint64 seconds) {
        return QVariantMap{{"name", name},
                           {"creationDate", QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)}};
    };
    list.setContent({record("clip3", 30), record("Clip2", 10), record("clip1", 20)});
    EXPECT_EQ(list.data(list.index(1, 1)).toString(),  // local time, short format
              QLocale().toString(QDateTime::fromSecsSinceEpoch(10), QLocale::ShortFormat));
    list.setSelectionIndexes({2, 0, 7, -1});
    list.selectionModel()->setCurrentIndex(list.index(0, 0), QItemSelectionModel::NoUpdate);

    list.sort(0, Qt::AscendingOrder);  // case aside
    EXPECT_EQ(names(list.arrangedObjects()), (QStringList{"clip1", "Clip2", "clip3"}));
    EXPECT_EQ(names(list.selectedObjects()), (QStringList{"clip1", "clip3"}));  // in row order
    EXPECT_EQ(view.selectionModel()->currentIndex().row(), 2);
    list.sort(1, Qt::DescendingOrder);
    EXPECT_EQ(names(list.arrangedObjects()), (QStringList{"clip3", "clip1", "Clip2"}));
    EXPECT_EQ(names(list.selectedObjects()), (QStringList{"clip3", "clip1"}));
}

}  // namespace
}  // namespace cliploop
