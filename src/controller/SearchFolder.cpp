#include <QFile>
#include <QFileDialog>
#include <QPointer>

#include "controller/StandardOutput.h"
#include "controller/ViewController.h"

namespace cliploop {

void ViewController::selectButton(QObject* sender) {
    (void)sender;
    QWidget* window = searchPathField ? searchPathField->window() : nullptr;
    auto* panel = new QFileDialog(window);
    panel->setObjectName(QStringLiteral("searchFolderPanel"));
    // One existing folder, no files, no new folder.
    panel->setOption(QFileDialog::DontUseNativeDialog, true);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ReadOnly, true);
    panel->setOption(QFileDialog::ShowDirsOnly, true);
    panel->setAttribute(Qt::WA_DeleteOnClose, false);

    QPointer<ViewController> controller(this);
    connect(panel, &QDialog::finished, panel, [controller, panel](int result) {
        panel->deleteLater();
        if (!controller) return;
        if (result == QDialog::Accepted) {
            const QStringList chosen = panel->selectedFiles();
            if (chosen.isEmpty()) return;
            controller->searchPath =
                FileUrl::fromPath(QFile::encodeName(chosen.front()).toStdString());
            if (controller->searchPathField) {
                controller->searchPathField->setText(
                    QFile::decodeName(QByteArray::fromStdString(controller->searchPath.path())));
            }
        } else if (result == QDialog::Rejected) {
            printLine("Canceled");
            controller->showStatus(QStringLiteral("Canceled"));
        }
    });
    // Modeless: the window stays usable while the panel is up.
    panel->setWindowModality(Qt::NonModal);
    panel->show();
}

void ViewController::searchButton(QObject* sender) {
    (void)sender;
    search();
}

void ViewController::enterSearchField(QObject* sender) {
    (void)sender;
    search();
}

}  // namespace cliploop
