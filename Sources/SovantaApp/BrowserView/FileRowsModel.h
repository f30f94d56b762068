// The browser's rows as an item model, shared by the file table and the
// gallery: one row per node, six columns, texts and colours made only for the
// rows a view draws.
#pragma once

#include <vector>

#include <QAbstractTableModel>
#include <QColor>

#include "SovantaApp/BrowserView/Listing.h"
#include "SovantaCore/Model.h"

namespace sovanta::app {

class FileRowsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit FileRowsModel(QObject* parent = nullptr);

    // Replaces every row at once.
    void setRows(std::vector<FileNodePtr> rows);
    // The rows after a merge added to the listed folder: when the present rows
    // stand among them in the same order, the new ones are announced as
    // inserted rows (in few runs) or as a change of layout that keeps every
    // present row's index; else the rows are replaced.
    void mergeRows(std::vector<FileNodePtr> rows);
    const std::vector<FileNodePtr>& rows() const { return rows_; }
    // The node of a row; null outside the rows.
    const FileNodePtr& node(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The column titles, left to right.
    static QString title(SortColumn column);
    // The texts of a cell as the table shows them.
    static QString cellText(const FileNode& node, SortColumn column);
    // Colour of a node's icon: the accent for a folder, else its status's.
    static QColor iconColour(const FileNode& node);

private:
    std::vector<FileNodePtr> rows_;
};

}  // namespace sovanta::app
