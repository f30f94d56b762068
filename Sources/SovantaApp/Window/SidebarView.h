// The sidebar of the application's window, beside the page of its selection.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <QStringList>
#include <QWidget>

#include "SovantaApp/Models/AppModel.h"

class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;

namespace sovanta::app {

// The sidebar: the start item, the disks, the sessions and the imaging jobs,
// with the open button pinned below. Its selection is the model's.
class SidebarView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(AppModel& model, QWidget* parent = nullptr);
    QListWidget* list() const { return list_; }
    QPushButton* openButton() const { return openButton_; }
    // The row of a sidebar item; null when the list has none.
    QListWidgetItem* itemFor(const SidebarItem& item) const;
    QWidget* rowWidget(const SidebarItem& item) const;
    // The section headers and status texts, in list order.
    QStringList texts() const;
    // The context menu of a row, as it would open (caller owns it); null for rows without one.
    QMenu* contextMenuFor(const SidebarItem& item);

protected:
    // The list's own handling of the right button and of Up/Down, replaced.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuild();
    void showSelection();
    // Selects the nearest row that can be selected from the current one on,
    // one step at a time in direction (+1 or -1); headers and status texts
    // are passed over.
    void step(int direction);
    void addHeader(const QString& title);
    void addText(const QString& text);
    void addFixed(QLabel* label);
    void addRow(const SidebarItem& item, QWidget* row);
    std::optional<SidebarItem> sidebarItemOf(const QListWidgetItem* item) const;

    AppModel& model_;
    // The selectable rows and what they select, in list order.
    std::vector<std::pair<QListWidgetItem*, SidebarItem>> rows_;
    QListWidget* list_;
    QPushButton* openButton_;
    bool updatingSelection_ = false;
};

}  // namespace sovanta::app
