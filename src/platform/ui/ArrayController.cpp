#include "ui/ArrayController.h"

#include <QAbstractItemView>
#include <QCollator>
#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QSignalBlocker>
#include <QTableView>
#include <algorithm>
#include <numeric>
#include <optional>

#include "foundation/Dispatch.h"
#include "ui/ThumbnailProvider.h"

namespace cliploop {

ArrayController::ArrayController(const QStringList& columnKeys, QObject* parent)
    : QAbstractTableModel(parent),
      keys_(columnKeys),
      selection_(new QItemSelectionModel(this, this)),
      sortDescriptor_{columnKeys.value(0), Qt::AscendingOrder} {}

ArrayController::~ArrayController() = default;

void ArrayController::attach(QAbstractItemView* view) {
    view->setModel(this);
    // setModel made a selection model of the view's own; ours replaces it so
    // that the controller's selection is the one the user sees and changes.
    QItemSelectionModel* made = view->selectionModel();
    view->setSelectionModel(selection_);
    if (made && made != selection_) made->deleteLater();
    // A click on the pictures' title leaves the order, and the arrow that
    // tells it, as they were.
    if (auto* table = qobject_cast<QTableView*>(view)) {
        QHeaderView* header = table->horizontalHeader();
        connect(header, &QHeaderView::sortIndicatorChanged, this, [this, header](int section) {
            if (section < 0 || section != pictureColumn()) return;
            const QSignalBlocker quiet(header);
            header->setSortIndicator(sortedColumn_, sortDescriptor_.order);
        });
    }
}

void ArrayController::setPictures(ThumbnailProvider* pictures, const QString& pathKey) {
    beginResetModel();
    pictures_ = pictures;
    hasPictures_ = pictures != nullptr;
    pathKey_ = pathKey;
    if (pictures) {
        connect(pictures, &ThumbnailProvider::pictureReady, this,
                &ArrayController::schedulePictureUpdate, Qt::UniqueConnection);
    }
    endResetModel();
}

void ArrayController::schedulePictureUpdate() {
    // Pictures come a few at a time: one repaint of the column for a batch.
    if (pictureUpdateQueued_) return;
    pictureUpdateQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            pictureUpdateQueued_ = false;
            if (hasPictures_ && rowCount() > 0)
                emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
        },
        Qt::QueuedConnection);
}

QString ArrayController::keyOf(int column) const {
    const int offset = hasPictures_ ? 1 : 0;
    return column >= offset ? keys_.value(column - offset) : QString();
}

int ArrayController::columnOf(const QString& key) const {
    const qsizetype at = keys_.indexOf(key);
    return at < 0 ? -1 : static_cast<int>(at) + (hasPictures_ ? 1 : 0);
}

void ArrayController::setContent(const QList<QVariantMap>& content) {
    // The old records' pictures are no longer wanted.
    if (pictures_) pictures_->cancelPending();
    ++contentVersion_;
    beginResetModel();
    content_ = content;
    endResetModel();
}

void ArrayController::addObjects(const QList<QVariantMap>& objects) {
    if (objects.isEmpty()) return;
    const int first = static_cast<int>(content_.size());
    ++contentVersion_;
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(objects.size()) - 1);
    content_.append(objects);
    endInsertRows();
}

bool ArrayController::setSelectionIndexes(const QList<int>& rows) {
    QItemSelection selection;
    const int last = columnCount() - 1;
    for (int row : rows) {
        if (row < 0 || row >= rowCount() || last < 0) continue;
        selection.select(index(row, 0), index(row, last));
    }
    const QList<int> before = selectionIndexes();
    selection_->select(selection, QItemSelectionModel::ClearAndSelect);
    return selectionIndexes() != before;
}

QList<int> ArrayController::selectionIndexes() const {
    QList<int> rows;
    for (const QItemSelectionRange& range : selection_->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) rows.append(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QList<QVariantMap> ArrayController::selectedObjects() const {
    QList<QVariantMap> objects;
    for (int row : selectionIndexes()) objects.append(content_.at(row));
    return objects;
}

QString ArrayController::displayText(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDateTime>()) {
        return QLocale().toString(value.toDateTime().toLocalTime(), QLocale::ShortFormat);
    }
    if (value.metaType() == QMetaType::fromType<FileUrl>()) {
        return QString::fromUtf8(value.value<FileUrl>().path());
    }
    return value.toString();
}

int ArrayController::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(content_.size());
}

int ArrayController::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(keys_.size()) + (hasPictures_ ? 1 : 0);
}

QVariant ArrayController::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    if (index.column() == pictureColumn()) {
        // The view asks only for the rows it paints: those in view. The
        // column stays when its provider has gone (the window closing).
        if (role != Qt::DecorationRole || !pictures_) return {};
        const QVariant path = content_.at(index.row()).value(pathKey_);
        if (path.metaType() == QMetaType::fromType<FileUrl>())
            return pictures_->picture(QByteArray::fromStdString(path.value<FileUrl>().path()));
        return pictures_->picture(path.toByteArray());
    }
    const QVariant value = content_.at(index.row()).value(keyOf(index.column()));
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return displayText(value);
        case Qt::EditRole:
            return value;
        default:
            return {};
    }
}

QVariant ArrayController::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section >= 0 &&
        section < columnCount()) {
        return keyOf(section);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

namespace {

// Lists shorter than this are sorted at once, in well under a frame.
constexpr qsizetype kSortAtOnceRows = 2000;

// One record's value reduced to what orders it: dates by time, anything else
// by its collation key, made once per record rather than once per comparison.
struct OrderKey {
    bool isDate = false;
    qint64 time = 0;
    std::optional<QCollatorSortKey> text;
};

// Dates sort before text in a column that mixes them (none of ours does).
bool lessThan(const OrderKey& a, const OrderKey& b) {
    if (a.isDate != b.isDate) return a.isDate;
    if (a.isDate) return a.time < b.time;
    return a.text->compare(*b.text) < 0;
}

// The rows of `records` in the order `by`, as a permutation.
std::vector<int> orderOf(const QList<QVariantMap>& records,
                         const ArrayController::SortDescriptor& by) {
    // Qt's "C" locale compares code points and ignores the options; a user
    // without a locale still gets the natural order, from the root rules.
    const QLocale locale =
        QLocale().language() == QLocale::C ? QLocale(QLocale::English) : QLocale();
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<OrderKey> keys(static_cast<size_t>(records.size()));
    for (size_t row = 0; row < keys.size(); ++row) {
        const QVariant value = records.at(static_cast<qsizetype>(row)).value(by.key);
        OrderKey& key = keys[row];
        if (value.metaType() == QMetaType::fromType<QDateTime>()) {
            key.isDate = true;
            // Milliseconds since the epoch: no time zone is consulted, so
            // any thread may order dates.
            key.time = value.toDateTime().toMSecsSinceEpoch();
        } else {
            key.text = collator.sortKey(ArrayController::displayText(value));
        }
    }
    std::vector<int> permutation(keys.size());
    std::iota(permutation.begin(), permutation.end(), 0);
    std::stable_sort(permutation.begin(), permutation.end(), [&](int x, int y) {
        const OrderKey& a = keys[static_cast<size_t>(x)];
        const OrderKey& b = keys[static_cast<size_t>(y)];
        return by.order == Qt::AscendingOrder ? lessThan(a, b) : lessThan(b, a);
    });
    return permutation;
}

}  // namespace

void ArrayController::arrange(QList<QVariantMap>& records, const SortDescriptor& by) {
    if (records.size() < 2 || by.key.isEmpty()) return;
    const std::vector<int> permutation = orderOf(records, by);
    QList<QVariantMap> sorted;
    sorted.reserve(records.size());
    for (int row : permutation) sorted.append(std::move(records[row]));
    records = std::move(sorted);
}

void ArrayController::sort(int column, Qt::SortOrder order) {
    // Pictures have no order: the list keeps its own.
    if (column >= 0 && column == pictureColumn()) return;
    // No column (a sort indicator cleared): back to the first key's order.
    const bool byColumn = column >= 0 && column < columnCount();
    sortedColumn_ = byColumn ? column : -1;
    sortDescriptor_ = byColumn ? SortDescriptor{keyOf(column), order}
                               : SortDescriptor{keys_.value(0), Qt::AscendingOrder};
    if (content_.size() < 2) return;
    if (content_.size() < kSortAtOnceRows) {
        rearrange(orderOf(content_, sortDescriptor_));
        return;
    }
    // Collation keys for many rows take long enough to drop frames of the
    // views, which the main thread paints too.
    ++sortsInFlight_;
    dispatch::globalAsync([self = QPointer<ArrayController>(this), records = content_,
                           by = sortDescriptor_, version = contentVersion_] {
        std::vector<int> permutation = orderOf(records, by);
        dispatch::mainAsync([self, by, version, permutation = std::move(permutation)] {
            if (!self) return;
            --self->sortsInFlight_;
            // A newer sort, or other records: only the newest order counts.
            if (self->sortDescriptor_ != by) return;
            if (self->contentVersion_ != version) {
                self->sort(self->sortedColumn_, by.order);
                return;
            }
            self->rearrange(permutation);
        });
    });
}

void ArrayController::rearrange(const std::vector<int>& permutation) {
    // Persistent indexes (the selection, the current index) follow their
    // records to the new rows.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> newRowOf(permutation.size());
    QList<QVariantMap> sorted;
    sorted.reserve(content_.size());
    for (size_t row = 0; row < permutation.size(); ++row) {
        newRowOf[static_cast<size_t>(permutation[row])] = static_cast<int>(row);
        sorted.append(content_.at(permutation[row]));
    }
    content_ = std::move(sorted);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        after.append(index(newRowOf[static_cast<size_t>(old.row())], old.column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace cliploop
