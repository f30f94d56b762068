#include "SovantaApp/Panels.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

namespace sovanta::app::Panels {

std::optional<std::string> systemOpenFile(const OpenFile& request) {
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(request.title));
    // Qt's own dialog, so that the message can stand in it.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
        grid->addWidget(new QLabel(QString::fromStdString(request.message), &dialog), grid->rowCount(), 0, 1,
                        grid->columnCount());
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    auto files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return files.front().toStdString();
}

}  // namespace sovanta::app::Panels
