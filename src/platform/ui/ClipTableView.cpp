#include "ui/ClipTableView.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace cliploop {

ClipTableView::ClipTableView(QWidget* parent) : QTableView(parent) {}

ClipTableView::~ClipTableView() = default;

void ClipTableView::setShouldSelectRow(ShouldSelectRow shouldSelectRow) {
    shouldSelectRow_ = std::move(shouldSelectRow);
}

void ClipTableView::setModel(QAbstractItemModel* newModel) {
    disconnect(resetConnection_);
    QTableView::setModel(newModel);
    if (newModel) {
        // A reset drops the selection without telling the selection model's
        // listeners.
        resetConnection_ = connect(newModel, &QAbstractItemModel::modelReset, this,
                                   &ClipTableView::selectionDidChange);
    }
}

void ClipTableView::setSelectionModel(QItemSelectionModel* newSelectionModel) {
    disconnect(selectionConnection_);
    QTableView::setSelectionModel(newSelectionModel);
    if (newSelectionModel) {
        selectionConnection_ = connect(newSelectionModel, &QItemSelectionModel::selectionChanged,
                                       this, [this] { emit selectionDidChange(); });
    }
}

bool ClipTableView::wouldSelect(const QModelIndex& index,
                                QItemSelectionModel::SelectionFlags command) const {
    if (!index.isValid() || !selectionModel()) return false;
    const bool selected = selectionModel()->isRowSelected(index.row(), index.parent());
    const bool selects = command.testFlag(QItemSelectionModel::Select) ||
                         (command.testFlag(QItemSelectionModel::Toggle) && !selected);
    if (!selects) return false;
    if (!selected) return true;
    // Clicking one of several selected rows narrows the selection to it.
    return command.testFlag(QItemSelectionModel::Clear) &&
           selectionModel()->selectedRows().size() > 1;
}

bool ClipTableView::mayUserSelect(int row) const {
    if (approvedRow_ == row) return true;
    const bool allowed =
        !shouldSelectRow_ || shouldSelectRow_(const_cast<ClipTableView*>(this), row);
    if (allowed) approvedRow_ = row;
    return allowed;
}

QItemSelectionModel::SelectionFlags ClipTableView::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* event) const {
    const auto command = QTableView::selectionCommand(index, event);
    // No event: the program moves the selection itself.
    if (!event || !wouldSelect(index, command)) return command;
    return mayUserSelect(index.row()) ? command : QItemSelectionModel::NoUpdate;
}

QModelIndex ClipTableView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
    const QModelIndex current = currentIndex();
    const QModelIndex next = QTableView::moveCursor(cursorAction, modifiers);
    if (!userEvent_ || !next.isValid() || next.row() == current.row()) return next;
    const auto command = QTableView::selectionCommand(next, userEvent_);
    if (!wouldSelect(next, command) || mayUserSelect(next.row())) return next;
    // Refused: the cursor stays where it is, and so does the selection.
    return current.isValid() ? current : QModelIndex();
}

namespace {

// An approval holds for the one event being handled.
struct ApprovalScope {
    explicit ApprovalScope(int& approvedRow) : approvedRow_(approvedRow) { approvedRow_ = -1; }
    ~ApprovalScope() { approvedRow_ = -1; }
    int& approvedRow_;
};

}  // namespace

void ClipTableView::mousePressEvent(QMouseEvent* event) {
    ApprovalScope scope(approvedRow_);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (wouldSelect(index, QTableView::selectionCommand(index, event)) &&
        !mayUserSelect(index.row())) {
        // Refused: neither selected nor made current.
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void ClipTableView::mouseReleaseEvent(QMouseEvent* event) {
    ApprovalScope scope(approvedRow_);
    QTableView::mouseReleaseEvent(event);
}

void ClipTableView::mouseMoveEvent(QMouseEvent* event) {
    ApprovalScope scope(approvedRow_);
    if ((event->buttons() & Qt::LeftButton) && state() != DraggingState) {
        const QModelIndex index = indexAt(event->position().toPoint());
        if (wouldSelect(index, QTableView::selectionCommand(index, event)) &&
            !mayUserSelect(index.row())) {
            event->accept();
            return;
        }
    }
    QTableView::mouseMoveEvent(event);
}

void ClipTableView::keyPressEvent(QKeyEvent* event) {
    ApprovalScope scope(approvedRow_);
    const bool many = selectionMode() == ExtendedSelection || selectionMode() == MultiSelection;
    if (event == QKeySequence::SelectAll && many && model() && selectionModel()) {
        // Select All selects the rows the delegate lets the user select.
        QItemSelection selection;
        const int lastColumn = model()->columnCount(rootIndex()) - 1;
        for (int row = 0; row < model()->rowCount(rootIndex()); ++row) {
            approvedRow_ = -1;
            if (selectionModel()->isRowSelected(row, rootIndex()) || mayUserSelect(row)) {
                selection.select(model()->index(row, 0, rootIndex()),
                                 model()->index(row, lastColumn, rootIndex()));
            }
        }
        selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        event->accept();
        return;
    }
    userEvent_ = event;
    QTableView::keyPressEvent(event);
    userEvent_ = nullptr;
}

}  // namespace cliploop
