#include "SovantaApp/BrowserView/FileTable.h"

#include <algorithm>
#include <chrono>

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"

namespace sovanta::app {

namespace {

struct ColumnWidth {
    int minimum, ideal;
};
constexpr ColumnWidth widths[sortColumnCount] = {{180, 320}, {64, 86}, {100, 140}, {70, 100}, {60, 80}, {80, 180}};

}  // namespace

std::vector<int> FileTable::otherColumnWidths(int width, std::vector<int> floors) {
    // Below its ideal width a column first gives way down to what its text
    // needs (its floor), then, when even that does not fit, down to its
    // minimum; a column whose text needs more than its ideal width is ideally
    // that wide.
    struct Range {
        int minimum, floor, ideal;
    };
    std::vector<Range> own;
    floors.resize(sortColumnCount - 1, 0);
    int ideal = 0, floor = 0, minimum = 0;
    for (int column = 1; column < sortColumnCount; ++column) {
        const int needed = std::max(floors[static_cast<size_t>(column - 1)], widths[column].minimum);
        own.push_back({widths[column].minimum, needed, std::max(needed, widths[column].ideal)});
        ideal += own.back().ideal;
        floor += own.back().floor;
        minimum += own.back().minimum;
    }
    const int room = width - widths[0].minimum;
    // Each column gives up the same share of what it can give between two widths.
    auto between = [](int wide, int narrow, double share) {
        return wide - static_cast<int>(share * (wide - narrow) + 0.999);
    };
    std::vector<int> result;
    for (const Range& column : own) {
        if (room >= ideal)
            result.push_back(column.ideal);
        else if (room >= floor)
            result.push_back(between(column.ideal, column.floor, static_cast<double>(ideal - room) / (ideal - floor)));
        else if (room > minimum)
            result.push_back(
                between(column.floor, column.minimum, static_cast<double>(floor - room) / (floor - minimum)));
        else
            result.push_back(column.minimum);
    }
    return result;
}

std::vector<int> FileTable::columnFloors() const {
    const QFontMetrics metrics(font());
    // The delegate keeps a margin on either side of a cell's text.
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 2;
    auto widest = [&](const std::vector<std::string>& texts) {
        int most = 0;
        for (const auto& text : texts) most = std::max(most, metrics.horizontalAdvance(QString::fromStdString(text)));
        return most;
    };
    std::vector<std::string> sizes, dates, statuses, chances;
    for (uint64_t bytes : {999ull, 999'000ull, 999'900'000ull, 999'990'000'000ull}) sizes.push_back(formatBytes(bytes));
    // Late in the day late in each month, so that every month's name is tried.
    for (int month = 1; month <= 12; ++month) {
        const QDateTime when(QDate(2024, month, 28), QTime(23, 59));
        dates.push_back(Fmt::date(Date(std::chrono::milliseconds(when.toMSecsSinceEpoch()))));
    }
    for (EntryStatus status : {EntryStatus::existing, EntryStatus::deleted, EntryStatus::orphaned, EntryStatus::carved})
        statuses.push_back(label(status));
    for (Recoverability value :
         {Recoverability::unknown, Recoverability::poor, Recoverability::partial, Recoverability::good})
        chances.push_back(label(value));
    // The chance cell is drawn here: 4 points in from each edge, the circle and its gap before the label.
    return {widest(sizes) + margin, widest(dates) + margin, widest(statuses) + margin, widest(chances) + 8 + 7 + 5,
            widths[static_cast<int>(SortColumn::location)].minimum};
}

void FileTable::fitColumns() {
    fitting_ = true;
    std::vector<int> others = otherColumnWidths(viewport()->width(), columnFloors());
    for (int column = 1; column < sortColumnCount; ++column)
        header()->resizeSection(column, others[static_cast<size_t>(column - 1)]);
    fitting_ = false;
    fitName();
}

void FileTable::fitName() {
    // The name takes what the other columns leave, never less than its
    // minimum: a table narrower than that scrolls sideways.
    int others = 0;
    for (int column = 1; column < sortColumnCount; ++column) others += header()->sectionSize(column);
    fitting_ = true;
    header()->resizeSection(static_cast<int>(SortColumn::name), std::max(widths[0].minimum, viewport()->width() - others));
    fitting_ = false;
}

void FileTable::resizeEvent(QResizeEvent* event) {
    QTreeView::resizeEvent(event);
    fitColumns();
}

FileTable::FileTable(FileRowsModel* rows, QWidget* parent) : QTreeView(parent), rows_(rows) {
    setModel(rows_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setAlternatingRowColors(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShape(QFrame::NoFrame);
    setIconSize(QSize(16, 16));
    setContextMenuPolicy(Qt::CustomContextMenu);
    setItemDelegate(new FileTableDelegate(rows_, this));

    QHeaderView* head = header();
    head->setSectionsClickable(true);
    head->setSortIndicatorShown(true);
    head->setSectionsMovable(false);
    head->setStretchLastSection(false);
    head->setMinimumSectionSize(40);
    for (int column = 0; column < sortColumnCount; ++column) {
        head->setSectionResizeMode(column, QHeaderView::Interactive);
        head->resizeSection(column, widths[column].ideal);
    }
    fitColumns();
    connect(head, &QHeaderView::sectionResized, this, [this, head](int column, int, int size) {
        if (fitting_ || column < 0 || column >= sortColumnCount) return;
        if (size < widths[column].minimum) head->resizeSection(column, widths[column].minimum);
        // A column the user widened or narrowed takes its room from the name.
        if (column != static_cast<int>(SortColumn::name)) fitName();
    });
    connect(head, &QHeaderView::sectionClicked, this, [this](int column) {
        if (column < 0 || column >= sortColumnCount) return;
        emit sortOrderRequested(clicked(shown_, static_cast<SortColumn>(column)));
        showSortOrder(shown_);
    });
    connect(this, &QAbstractItemView::doubleClicked, this, [this] { emit primaryAction(); });
    showSortOrder({SortKey{}});
}

SortOrder FileTable::clicked(SortOrder order, SortColumn column) {
    if (!order.empty() && order.front().column == column) {
        order.front().ascending = !order.front().ascending;
        return order;
    }
    std::erase_if(order, [&](const SortKey& key) { return key.column == column; });
    order.insert(order.begin(), SortKey{column, true});
    return order;
}

void FileTable::showSortOrder(const SortOrder& order) {
    shown_ = order;
    QSignalBlocker blocker(header());
    if (order.empty())
        header()->setSortIndicator(-1, Qt::AscendingOrder);
    else
        header()->setSortIndicator(static_cast<int>(order.front().column),
                                   order.front().ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void FileTable::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        emit primaryAction();
        return;
    }
    QTreeView::keyPressEvent(event);
}

FileTableDelegate::FileTableDelegate(FileRowsModel* rows, QObject* parent) : QStyledItemDelegate(parent), rows_(rows) {}

void FileTableDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (static_cast<SortColumn>(index.column()) == SortColumn::location) option->textElideMode = Qt::ElideLeft;
}

void FileTableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto column = static_cast<SortColumn>(index.column());
    const FileNodePtr& node = rows_->node(index.row());
    if (!node || (column != SortColumn::name && column != SortColumn::chance)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The background, selection and focus as for any cell, then our content.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRect area = option.rect.adjusted(4, 0, -4, 0);
    const bool selected = option.state & QStyle::State_Selected;
    // On the selection's highlight every name and icon takes the highlighted
    // text's colour: a status colour or the folder's accent would be lost on it.
    const QColor highlighted = option.palette.color(QPalette::HighlightedText);
    const QColor textColour = selected ? highlighted : index.data(Qt::ForegroundRole).value<QColor>();
    const QFontMetrics metrics(option.font);
    painter->setFont(option.font);
    int x = area.left();
    if (column == SortColumn::name) {
        const QPixmap icon = Style::symbolPixmap(symbol(*node), 16, selected ? highlighted : FileRowsModel::iconColour(*node));
        painter->drawPixmap(QPoint(x, area.center().y() - 8), icon);
        x += 16 + 6;
        const int mark = node->note ? 14 + 6 : 0;
        const int room = std::max(0, area.right() - x - mark);
        const QString shown = metrics.elidedText(text, Qt::ElideRight, room);
        painter->setPen(textColour);
        painter->drawText(QRect(x, area.top(), room, area.height()), Qt::AlignLeft | Qt::AlignVCenter, shown);
        if (node->note) {
            x += metrics.horizontalAdvance(shown) + 6;
            painter->drawPixmap(QPoint(x, area.center().y() - 7), Style::symbolPixmap("info.circle", 14, Style::secondaryText()));
        }
    } else if (!node->isDirectory) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Style::chanceColour(node->recoverability));
        painter->drawEllipse(QRectF(x, area.center().y() - 3.5, 7, 7));
        x += 7 + 5;
        painter->setPen(selected ? highlighted : Style::primaryText());
        painter->drawText(QRect(x, area.top(), std::max(0, area.right() - x), area.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(text, Qt::ElideRight, area.right() - x));
    }
    painter->restore();
}

}  // namespace sovanta::app
