#pragma once
// A table whose user may select a row only when its delegate agrees.
//
// Promises:
// - Before every selection the user makes, with the mouse (click, drag,
//   Space) or the keyboard (arrows, Page Up/Down, Home/End, Select All),
//   shouldSelectRow is asked about the row that would become selected. A
//   refused row is neither selected nor made current. A change that only
//   deselects does not ask. Without a function every row may be selected.
// - Selections made by the program (through the selection model, a model
//   reset, rows inserted or removed) never ask.
// - selectionDidChange is emitted after every change of the selection, by
//   the user or by the program, and after every model reset.
//
// Threads: main thread only.
#include <QTableView>
#include <functional>

namespace cliploop {

class ClipTableView : public QTableView {
    Q_OBJECT
  public:
    using ShouldSelectRow = std::function<bool(QTableView*, int)>;

    explicit ClipTableView(QWidget* parent = nullptr);
    ~ClipTableView() override;

    void setShouldSelectRow(ShouldSelectRow shouldSelectRow);

    void setModel(QAbstractItemModel* model) override;
    void setSelectionModel(QItemSelectionModel* selectionModel) override;

  signals:
    void selectionDidChange();

  protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Whether applying `command` to `index` would select a row that the
    // selection does not already hold alone.
    bool wouldSelect(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) const;
    // Asks the delegate, unless this very row was just approved for the event
    // being handled (a press or key is looked at twice on its way in).
    bool mayUserSelect(int row) const;

    ShouldSelectRow shouldSelectRow_;
    // The row the delegate approved for the event being handled, or -1.
    mutable int approvedRow_ = -1;
    const QEvent* userEvent_ = nullptr;
    QMetaObject::Connection selectionConnection_;
    QMetaObject::Connection resetConnection_;
};

}  // namespace cliploop
