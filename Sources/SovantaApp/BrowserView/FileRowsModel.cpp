#include "SovantaApp/BrowserView/FileRowsModel.h"

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

FileRowsModel::FileRowsModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileRowsModel::setRows(std::vector<FileNodePtr> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void FileRowsModel::mergeRows(std::vector<FileNodePtr> rows) {
    // Where each present row stands among the new ones.
    std::vector<int> places;
    places.reserve(rows_.size());
    size_t j = 0;
    for (const auto& row : rows_) {
        while (j < rows.size() && rows[j] != row) ++j;
        if (j == rows.size()) return setRows(std::move(rows));
        places.push_back(static_cast<int>(j++));
    }
    if (rows.size() == rows_.size()) return;
    // The new rows in runs; each run moves the rows after it once.
    std::vector<std::pair<int, int>> runs;  // first new row, count
    int expected = 0;
    for (int place : places) {
        if (place > expected) runs.emplace_back(expected, place - expected);
        expected = place + 1;
    }
    if (static_cast<size_t>(expected) < rows.size())
        runs.emplace_back(expected, static_cast<int>(rows.size()) - expected);
    constexpr size_t runsAnnounced = 64;
    if (runs.size() <= runsAnnounced) {
        for (const auto& [first, count] : runs) {
            beginInsertRows({}, first, first + count - 1);
            const auto from = rows.begin() + first;
            rows_.insert(rows_.begin() + first, from, from + count);
            endInsertRows();
        }
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after.push_back(index.isValid() && static_cast<size_t>(index.row()) < places.size()
                            ? createIndex(places[static_cast<size_t>(index.row())], index.column())
                            : QModelIndex());
    rows_ = std::move(rows);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

const FileNodePtr& FileRowsModel::node(int row) const {
    static const FileNodePtr none;
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return none;
    return rows_[static_cast<size_t>(row)];
}

int FileRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileRowsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : sortColumnCount; }

QString FileRowsModel::title(SortColumn column) {
    switch (column) {
        case SortColumn::name: return QStringLiteral("Navn");
        case SortColumn::size: return QStringLiteral("Størrelse");
        case SortColumn::modified: return QStringLiteral("Ændret");
        case SortColumn::status: return QStringLiteral("Status");
        case SortColumn::chance: return QStringLiteral("Chance");
        case SortColumn::location: return QStringLiteral("Placering");
    }
    return {};
}

QString FileRowsModel::cellText(const FileNode& node, SortColumn column) {
    switch (column) {
        case SortColumn::name: return QString::fromStdString(visibleText(node.name));
        case SortColumn::size:
            return QString::fromStdString(node.isDirectory ? std::string(Fmt::missing) : formatBytes(node.size));
        case SortColumn::modified: return QString::fromStdString(Fmt::date(node.modified));
        case SortColumn::status: return QString::fromStdString(statusSort(node));
        case SortColumn::chance:
            return node.isDirectory ? QString() : QString::fromStdString(label(node.recoverability));
        case SortColumn::location: return QString::fromStdString(visibleText(location(node)));
    }
    return {};
}

QColor FileRowsModel::iconColour(const FileNode& node) {
    if (node.isDirectory) return Style::accent();
    if (node.status == EntryStatus::existing) return Style::secondaryText();
    return Style::statusColour(node.status);
}

QVariant FileRowsModel::data(const QModelIndex& index, int role) const {
    const FileNodePtr& row = node(index.row());
    if (!row || index.column() < 0 || index.column() >= sortColumnCount) return {};
    const FileNode& n = *row;
    const auto column = static_cast<SortColumn>(index.column());
    switch (role) {
        case Qt::DisplayRole: return cellText(n, column);
        case Qt::ToolTipRole:
            if (column == SortColumn::name && n.note) return plainToolTip(QString::fromStdString(*n.note));
            if (column == SortColumn::location) return plainToolTip(cellText(n, column));
            return {};
        case Qt::ForegroundRole:
            switch (column) {
                case SortColumn::name: return Style::statusColour(n.status);
                case SortColumn::status:
                    return n.status == EntryStatus::existing ? Style::secondaryText() : Style::statusColour(n.status);
                case SortColumn::chance: return Style::primaryText();
                default: return Style::secondaryText();
            }
        case Qt::DecorationRole:
            if (column == SortColumn::name) return Style::symbolPixmap(symbol(n), 16, iconColour(n));
            return {};
        case Qt::TextAlignmentRole:
            if (column == SortColumn::size) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        default: return {};
    }
}

QVariant FileRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= sortColumnCount) return {};
    if (role == Qt::DisplayRole) return title(static_cast<SortColumn>(section));
    if (role == Qt::TextAlignmentRole && static_cast<SortColumn>(section) == SortColumn::size)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

}  // namespace sovanta::app
