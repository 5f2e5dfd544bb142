// e2e-drag-source FILE X Y: a window at (X, Y) from which the mouse drags FILE's URL as a file
// manager does with Shift held (copy, move or link offered, move proposed); it prints how the
// drag ended.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <cstdio>

struct DragSource : QLabel {
    QString path;
    bool dragging = false;

    void mouseMoveEvent(QMouseEvent* event) override {
        if (!(event->buttons() & Qt::LeftButton) || dragging) return;
        dragging = true;
        auto* data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(path)});
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        const auto result =
            drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::MoveAction);
        std::printf("drag finished: %d\n", static_cast<int>(result));
        std::fflush(stdout);
        dragging = false;
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) return 2;
    DragSource source;
    source.path = QString::fromLocal8Bit(argv[1]);
    source.setGeometry(std::atoi(argv[2]), std::atoi(argv[3]), 200, 120);
    source.show();
    return app.exec();
}
