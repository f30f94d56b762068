#include "SovantaApp/TileGrid.h"

#include <algorithm>

#include <QEvent>

namespace sovanta::app {

TileGrid::TileGrid(int minimumTileWidth, int spacing, QWidget* parent)
    : QWidget(parent), minimumTileWidth_(std::max(1, minimumTileWidth)), spacing_(spacing) {
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int TileGrid::columnsFor(int width) const {
    return std::max(1, (width + spacing_) / (minimumTileWidth_ + spacing_));
}

void TileGrid::add(QWidget* tile) {
    tile->setParent(this);
    tiles_.push_back(tile);
    if (isVisible()) tile->show();
    arrange();
    updateGeometry();
}

void TileGrid::replace(int index, QWidget* tile) {
    QWidget* old = tiles_.at(static_cast<size_t>(index));
    tile->setParent(this);
    tiles_[static_cast<size_t>(index)] = tile;
    delete old;
    if (isVisible()) tile->show();
    arrange();
    updateGeometry();
}

int TileGrid::rowHeight() const {
    int height = 0;
    for (QWidget* tile : tiles_) height = std::max(height, tile->sizeHint().height());
    return height;
}

int TileGrid::heightForWidth(int width) const {
    int columns = columnsFor(width);
    int rows = (count() + columns - 1) / columns;
    return rows == 0 ? 0 : rows * rowHeight() + (rows - 1) * spacing_;
}

QSize TileGrid::sizeHint() const {
    int width = std::max(minimumTileWidth_, this->width());
    return {width, heightForWidth(width)};
}

QSize TileGrid::minimumSizeHint() const { return {minimumTileWidth_, heightForWidth(minimumTileWidth_)}; }

void TileGrid::arrange() {
    int columns = columnsFor(width());
    double tileWidth = (width() - (columns - 1) * spacing_) / static_cast<double>(columns);
    int height = rowHeight();
    for (int i = 0; i < count(); ++i) {
        int column = i % columns, row = i / columns;
        int left = static_cast<int>(column * (tileWidth + spacing_));
        int right = static_cast<int>(column * (tileWidth + spacing_) + tileWidth);
        tiles_[static_cast<size_t>(i)]->setGeometry(left, row * (height + spacing_), right - left, height);
    }
}

void TileGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

bool TileGrid::event(QEvent* event) {
    // A tile whose text or font changed may need another height.
    if (event->type() == QEvent::LayoutRequest) {
        arrange();
        updateGeometry();
    }
    return QWidget::event(event);
}

}  // namespace sovanta::app
