#pragma once
// A list of records (string-keyed maps) shown as a table, one record per row
// and one column per key, with a selection of its own.
//
// Promises:
// - setContent() replaces every record at once (a model reset); the selection
//   is then empty. addObjects() appends records in one insertion.
// - sort() reorders the records themselves, so a view needs no proxy model;
//   selected records stay selected and the current record stays current.
//   A long list is ordered on a worker thread and rearranged in one step on
//   the main thread when that is done (the main queue must run); a short one
//   at once.
//   It also becomes the order the list is kept in (sortDescriptor()), which
//   whoever fills the list applies to new records with arrange(). Before any
//   sort that order is by the first column, ascending.
// - Order: text in natural order, case aside ("clip 2" before "clip 10"),
//   under the user's locale; dates by time.
// - With pictures (setPictures), a first column shows a small picture of
//   each record's file, asked for as the view paints it; the record columns
//   follow. Replacing the content drops the requests of the old records.
// - Display text: a QDateTime as local time in the locale's short format, a FileUrl as its
//   path (bytes that are not UTF-8 shown as U+FFFD), anything else as QVariant
//   converts it to text.
//
// Threads: main thread only. The controller owns its records; views only
// borrow it.
#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <vector>

#include "ui/FileUrlMetaType.h"
#include "ui/ThumbnailProvider.h"

class QAbstractItemView;

namespace cliploop {

class ArrayController : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit ArrayController(const QStringList& columnKeys, QObject* parent = nullptr);
    ~ArrayController() override;

    // Shows this list in `view`, with this controller's selection.
    void attach(QAbstractItemView* view);

    // Replaces the records; an empty list means no content.
    void setContent(const QList<QVariantMap>& content);
    // Appends the records, in order, in one insertion.
    void addObjects(const QList<QVariantMap>& objects);
    const QList<QVariantMap>& arrangedObjects() const { return content_; }

    // Selects exactly these rows (out-of-range rows are ignored). True when
    // the selection changed.
    bool setSelectionIndexes(const QList<int>& rows);
    // The selected rows, ascending.
    QList<int> selectionIndexes() const;
    // The selected records, in row order.
    QList<QVariantMap> selectedObjects() const;
    QItemSelectionModel* selectionModel() { return selection_; }

    const QStringList& columnKeys() const { return keys_; }
    // The column that shows `key`, or -1.
    int columnOf(const QString& key) const;

    // Shows, in a first column, the picture `pictures` makes of the file whose
    // path (exact bytes) each record holds under `pathKey`. Not owned.
    void setPictures(ThumbnailProvider* pictures, const QString& pathKey);
    // The picture column, or -1.
    int pictureColumn() const { return hasPictures_ ? 0 : -1; }

    // An order of records: by the values under `key`.
    struct SortDescriptor {
        QString key;
        Qt::SortOrder order = Qt::AscendingOrder;
        bool operator==(const SortDescriptor&) const = default;
    };
    // The order the list is kept in: the last sort(), else the first column.
    SortDescriptor sortDescriptor() const { return sortDescriptor_; }
    // Puts `records` in the order `by`, keeping equal ones as they were.
    // Any thread: it touches nothing but `records`.
    static void arrange(QList<QVariantMap>& records, const SortDescriptor& by);

    // The text shown for `value` (see above).
    static QString displayText(const QVariant& value);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    // Whether a sort is still being worked out off the main thread.
    bool isSorting() const { return sortsInFlight_ > 0; }

  private:
    // The record key a column shows; empty for the picture column.
    QString keyOf(int column) const;
    void schedulePictureUpdate();
    // Moves the record at row permutation[i] to row i.
    void rearrange(const std::vector<int>& permutation);

    QStringList keys_;
    QPointer<ThumbnailProvider> pictures_;
    bool hasPictures_ = false;  // the column, whether or not its provider lives
    QString pathKey_;
    bool pictureUpdateQueued_ = false;
    QList<QVariantMap> content_;
    QItemSelectionModel* selection_;
    SortDescriptor sortDescriptor_;
    int sortedColumn_ = -1;  // the column of the last sort, as the arrow shows it
    // Raised by every change of the records: a sort worked out for older
    // records is worked out again.
    uint64_t contentVersion_ = 0;
    int sortsInFlight_ = 0;
};

}  // namespace cliploop
