#include "SovantaApp/BrowserView/GalleryView.h"

#include <algorithm>

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStyle>
#include <QTimer>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Preview.h"

namespace sovanta::app {

namespace {

QFont nameFont() { return Style::font(Style::TextStyle::caption); }

QFont sizeFont() {
    QFont font = Style::font(Style::TextStyle::caption);
    font.setPointSizeF(std::max(6.0, font.pointSizeF() - 1));
    return font;
}

constexpr int columnSpacing = 6;

}  // namespace

GalleryView::GalleryView(FileRowsModel* rows, QItemSelectionModel* selection, DiskSourcePtr source,
                         std::function<void(FileNodePtr)> open, QWidget* parent)
    : QListView(parent), rows_(rows), source_(std::move(source)), open_(std::move(open)) {
    setModel(rows_);
    if (selection) setSelectionModel(selection);
    setViewMode(QListView::ListMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setLayoutMode(QListView::SinglePass);
    // Each cell sits in a grid square half a gap inside its edges: a gap
    // between cells, and with the viewport's margins a gap around the grid.
    setUniformItemSizes(false);
    setSpacing(0);
    setViewportMargins(gap / 2, gap / 2, gap / 2, gap / 2);
    setGridSize(QSize(cellWidth_ + gap, cellHeight() + gap));
    setMovement(QListView::Static);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    // The margins around the grid are part of the grid's ground.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setMouseTracking(false);
    setItemDelegate(new ThumbDelegate(this));

    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (FileNodePtr node = rows_->node(index.row()); node && open_) open_(node);
    });
    connect(rows_, &QAbstractItemModel::modelReset, this, [this] {
        for (auto& [id, cell] : cells_)
            if (cell.load) cell.load->expire();
        cells_.clear();
        scheduleRefresh();
    });
}

const GalleryView::Cell* GalleryView::cell(int64_t nodeID) const {
    auto it = cells_.find(nodeID);
    return it == cells_.end() ? nullptr : &it->second;
}

int GalleryView::cellWidth(int viewportWidth) {
    // As many columns as fit at the narrowest, then each as wide as they
    // share, up to the widest; a cell is its column less a gap.
    const int room = std::max(1, viewportWidth);
    const int columns = std::max(1, room / (minimumColumn + gap));
    return std::clamp(room / columns - gap, 40, maximumColumn);
}

int GalleryView::cellHeight() const {
    return boxHeight + columnSpacing + QFontMetrics(nameFont()).height() + columnSpacing +
           QFontMetrics(sizeFont()).height();
}

QItemSelectionModel::SelectionFlags GalleryView::selectionCommand(const QModelIndex& index,
                                                                  const QEvent* event) const {
    // The table beside shares the selection: a cell stands for its whole row.
    auto flags = QListView::selectionCommand(index, event);
    if (flags != QItemSelectionModel::NoUpdate) flags |= QItemSelectionModel::Rows;
    return flags;
}

void GalleryView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        emit primaryAction();
        return;
    }
    QListView::keyPressEvent(event);
}

void GalleryView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    fitCells();
    scheduleRefresh();
}

void GalleryView::fitCells() {
    // The list lays out within the viewport less a scroll bar, shown or not.
    const int room = maximumViewportSize().width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const int width = cellWidth(room);
    if (width == cellWidth_ && gridSize().width() == width + gap) return;
    cellWidth_ = width;
    setGridSize(QSize(cellWidth_ + gap, cellHeight() + gap));
}

void GalleryView::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    scheduleRefresh();
}

void GalleryView::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    fitCells();
    scheduleRefresh();
}

void GalleryView::hideEvent(QHideEvent* event) {
    QListView::hideEvent(event);
    // No cell is on screen any more.
    scheduleRefresh();
}

void GalleryView::scheduleRefresh() {
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshPending_ = false;
        refreshCells();
    });
}

void GalleryView::refreshCells() {
    std::unordered_map<int64_t, Cell> kept;
    const int count = rows_->rowCount();
    if (isVisible() && count > 0) {
        executeDelayedItemsLayout();
        const QRect area = viewport()->rect();
        // Rows flow left to right and then down: find the first one on
        // screen, then take rows until one starts below the bottom.
        int low = 0, high = count;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            QRect r = visualRect(rows_->index(middle, 0));
            if (r.isValid() && r.bottom() < area.top())
                low = middle + 1;
            else
                high = middle;
        }
        for (int row = low; row < count; ++row) {
            QRect r = visualRect(rows_->index(row, 0));
            if (!r.isValid() || r.top() > area.bottom()) break;
            if (!r.intersects(area)) continue;
            const FileNodePtr& node = rows_->node(row);
            // A node's cell stays with it when rows move (a merge inserts
            // rows above it): its image or its decode under way is kept.
            auto it = cells_.find(node->id);
            if (it != cells_.end()) {
                it->second.row = row;
                kept.emplace(node->id, std::move(it->second));
                cells_.erase(it);
                continue;
            }
            Cell fresh;
            fresh.row = row;
            startLoad(fresh, node);
            kept.emplace(node->id, std::move(fresh));
        }
    }
    // Cells that left the screen go; a decode they queued that has not
    // started yet then reads nothing.
    for (auto& [id, gone] : cells_)
        if (gone.load) gone.load->expire();
    cells_ = std::move(kept);
}

void GalleryView::startLoad(Cell& target, const FileNodePtr& node) {
    if (node->isDirectory || node->size == 0) return;
    if (!Preview::hasThumbnailExtension(*node)) return;
    if (auto image = Preview::cached(Preview::cacheKey(node->id, Preview::galleryPixels))) {
        target.image = std::move(image);
        return;
    }
    target.loading = true;
    target.load = std::make_shared<Ticket>();
    const Ticket::Token token = target.load->next();
    ++inFlight_;
    QPointer<GalleryView> view(this);
    Background::onPreviewQueue([view, load = target.load, token, node, source = source_] {
        std::optional<QImage> image;
        if (load->isCurrent(token) && source) image = Preview::thumbnail(*node, *source, Preview::galleryPixels);
        onMain(view, [token, node, image = std::move(image)](GalleryView& gallery) mutable {
            --gallery.inFlight_;
            auto it = gallery.cells_.find(node->id);
            if (it == gallery.cells_.end() || !it->second.load || !it->second.load->isCurrent(token)) return;
            Cell& cell = it->second;
            cell.loading = false;
            cell.broken = image ? false : Preview::isBroken(node->id);
            cell.image = std::move(image);
            gallery.update(gallery.rows_->index(cell.row, 0));
        });
    });
}

ThumbDelegate::ThumbDelegate(GalleryView* gallery) : QStyledItemDelegate(gallery), gallery_(gallery) {}

QSize ThumbDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return gallery_->gridSize();
}

void ThumbDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const FileNodePtr& node = gallery_->rows_->node(index.row());
    if (!node) return;
    const GalleryView::Cell* cell = gallery_->cell(node->id);
    if (!cell || cell->row != index.row()) gallery_->scheduleRefresh();

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect r = option.rect.adjusted(GalleryView::gap / 2, GalleryView::gap / 2, -GalleryView::gap / 2,
                                         -GalleryView::gap / 2);
    const int width = std::min(r.width(), GalleryView::maximumColumn);
    const QRectF box(r.x() + (r.width() - width) / 2.0, r.y(), width, GalleryView::boxHeight);

    QPainterPath boxShape;
    boxShape.addRoundedRect(box, 10, 10);
    painter->fillPath(boxShape, Style::faded(Style::secondaryText(), 0.08));

    if (cell && cell->image && !cell->image->isNull()) {
        const QRectF room = box.adjusted(6, 6, -6, -6);
        QSizeF size = QSizeF(cell->image->size());
        size.scale(room.size(), Qt::KeepAspectRatio);
        const QRectF target(room.center().x() - size.width() / 2, room.center().y() - size.height() / 2,
                            size.width(), size.height());
        QPainterPath clip;
        clip.addRoundedRect(target, 6, 6);
        painter->save();
        painter->setClipPath(clip);
        painter->drawImage(target, *cell->image);
        painter->restore();
    } else {
        const bool broken = cell && cell->broken;
        const int side = 34;
        QPixmap symbolImage = Style::symbolPixmap(broken ? "photo.badge.exclamationmark" : symbol(*node), side,
                                                  broken ? Style::Colors::red : Style::secondaryText());
        painter->drawPixmap(QPointF(box.center().x() - side / 2.0, box.center().y() - side / 2.0), symbolImage);
    }

    if (node->status != EntryStatus::existing) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Style::chanceColour(node->recoverability));
        painter->drawEllipse(QRectF(box.right() - 7 - 9, box.top() + 7, 9, 9));
    }
    if (option.state & QStyle::State_Selected) {
        QPen pen(Style::accent(), 3);
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(box.adjusted(1.5, 1.5, -1.5, -1.5), 10, 10);
    }

    QFont font = nameFont();
    painter->setFont(font);
    painter->setPen(Style::primaryText());
    QFontMetrics nameMetrics(font);
    QRectF nameLine(box.left(), box.bottom() + columnSpacing, box.width(), nameMetrics.height());
    painter->drawText(nameLine, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip,
                      nameMetrics.elidedText(FileRowsModel::cellText(*node, SortColumn::name), Qt::ElideMiddle,
                                             static_cast<int>(box.width())));
    font = sizeFont();
    painter->setFont(font);
    painter->setPen(Style::secondaryText());
    QRectF sizeLine(box.left(), nameLine.bottom() + columnSpacing, box.width(), QFontMetrics(font).height());
    painter->drawText(sizeLine, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip,
                      node->isDirectory ? QStringLiteral("Mappe") : QString::fromStdString(formatBytes(node->size)));
    painter->restore();
}

}  // namespace sovanta::app
