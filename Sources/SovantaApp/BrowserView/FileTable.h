// The rows as a table of six sortable columns; clicking a column's title makes
// it the first sort key, clicking it again turns its direction.
#pragma once

#include <functional>
#include <vector>

#include <QStyledItemDelegate>
#include <QTreeView>

#include "SovantaApp/BrowserView/FileRowsModel.h"

namespace sovanta::app {

class FileTable : public QTreeView {
    Q_OBJECT
public:
    FileTable(FileRowsModel* rows, QWidget* parent = nullptr);
    // Shows the first key of the order on the column titles.
    void showSortOrder(const SortOrder& order);
    // The order after a click on a column's title.
    static SortOrder clicked(SortOrder order, SortColumn column);
    // The widths of the columns after the name for a table this wide: their
    // ideal widths while the name keeps at least its own minimum; otherwise
    // each gives up, in proportion to what it can give, first down to its
    // floor (one per column after the name, where its text still shows
    // whole), then down to its minimum. A floor below the column's minimum
    // counts as the minimum; one above its ideal width is its ideal too.
    static std::vector<int> otherColumnWidths(int width, std::vector<int> floors = {});
    // What each column after the name needs to show its widest text whole in
    // this font (a date in any month, every status and chance label, a size
    // in any unit), never less than its minimum; the location is shortened
    // at its start by design and keeps its minimum.
    std::vector<int> columnFloors() const;

signals:
    void sortOrderRequested(SortOrder order);
    // A double click or Return on the rows now selected.
    void primaryAction();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitColumns();
    void fitName();
    FileRowsModel* rows_;
    bool fitting_ = false;
    SortOrder shown_;
};

// Draws the name column (icon, name and note mark), the chance column (circle
// and label) and shortens locations at their start.
class FileTableDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit FileTableDelegate(FileRowsModel* rows, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    FileRowsModel* rows_;
};

}  // namespace sovanta::app
