#include <QVariant>

#include "controller/StandardOutput.h"
#include "controller/ViewController.h"

namespace cliploop {

bool ViewController::tableViewShouldSelectRow(QTableView* tableView, int row) {
    (void)tableView;
    (void)row;
    flag = true;
    return true;
}

void ViewController::tableViewSelectionDidChange(const Notification& notification) {
    (void)notification;
    if (!arrayController) return;
    const QList<QVariantMap> selected = arrayController->selectedObjects();
    if (!flag || selected.isEmpty()) return;
    const QVariant url = selected.front().value(QStringLiteral("url"));
    if (url.metaType() != QMetaType::fromType<FileUrl>()) return;
    selectVideoWithLoop(url.value<FileUrl>());
    flag = false;
}

void ViewController::dragAndDrop(const Notification& notification) {
    // Only a path string is a drop; anything else posted under the name
    // (by another sender) is not.
    const auto* path = std::any_cast<std::string>(&notification.object);
    if (!path || path->empty()) return;
    printLine("-------------update NSNotification: " + *path);
    selectVideoWithLoop(FileUrl::fromPath(*path));
}

}  // namespace cliploop
