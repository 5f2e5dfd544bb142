// e2e-drag-source FILE X Y: a small window at (X, Y) that drags FILE as a file
// manager does: press the mouse on it and move, and a drag of the file's URL
// starts, offering copy, move and link. It prints how the drag ended.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <cstdio>

namespace {

class DragSource : public QLabel {
  public:
    explicit DragSource(QString path) : path_(std::move(path)) {
        setText("drag me");
        setAlignment(Qt::AlignCenter);
        setStyleSheet("background: #804000; color: white;");
    }

  protected:
    void mousePressEvent(QMouseEvent* event) override { pressedAt_ = event->position().toPoint(); }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (!(event->buttons() & Qt::LeftButton) || dragging_) return;
        if ((event->position().toPoint() - pressedAt_).manhattanLength() <
            QApplication::startDragDistance())
            return;
        dragging_ = true;
        auto* drag = new QDrag(this);
        auto* data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(path_)});
        drag->setMimeData(data);
        const Qt::DropAction result =
            drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("drag finished: %d\n", static_cast<int>(result));
        std::fflush(stdout);
        dragging_ = false;
    }

  private:
    QString path_;
    QPoint pressedAt_;
    bool dragging_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fputs("usage: e2e-drag-source FILE X Y\n", stderr);
        return 2;
    }
    DragSource source(QString::fromLocal8Bit(argv[1]));
    source.setGeometry(std::atoi(argv[2]), std::atoi(argv[3]), 200, 120);
    source.show();
    return app.exec();
}
