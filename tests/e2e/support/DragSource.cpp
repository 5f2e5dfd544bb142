// e2e-drag-source FILE X Y: a window at (X, Y) from which the mouse drags FILE's URL as from a
// file manager with Shift held (copy, move or link offered, move proposed); it prints how the
// drag ended.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <cstdio>

class DragSource : public QLabel {
  public:
    explicit DragSource(QString path) : QLabel("drag me"), path_(std::move(path)) {}

  protected:
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!(event->buttons() & Qt::LeftButton) || dragging_) return;
        dragging_ = true;
        auto* data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(path_)});
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        const auto result =
            drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::MoveAction);
        std::printf("drag finished: %d\n", static_cast<int>(result));
        std::fflush(stdout);
        dragging_ = false;
    }

  private:
    QString path_;
    bool dragging_ = false;
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) return 2;
    DragSource source(QString::fromLocal8Bit(argv[1]));
    source.setGeometry(std::atoi(argv[2]), std::atoi(argv[3]), 200, 120);
    source.show();
    return app.exec();
}
