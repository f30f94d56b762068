// A grid of statistic tiles whose number of columns follows its width: as many
// columns of at least the minimum width as fit, each taking an equal share.
#pragma once

#include <vector>

#include <QWidget>

namespace sovanta::app {

class TileGrid : public QWidget {
    Q_OBJECT
public:
    TileGrid(int minimumTileWidth, int spacing, QWidget* parent = nullptr);

    // Adds a tile after the others; the grid takes it over.
    void add(QWidget* tile);
    // Puts tile in the place of the one at index, which is deleted.
    void replace(int index, QWidget* tile);
    int count() const { return static_cast<int>(tiles_.size()); }
    QWidget* tile(int index) const { return tiles_.at(static_cast<size_t>(index)); }
    // The number of columns at the current width, and at any width.
    int columnCount() const { return columnsFor(width()); }
    int columnsFor(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    int rowHeight() const;
    void arrange();

    int minimumTileWidth_;
    int spacing_;
    std::vector<QWidget*> tiles_;
};

}  // namespace sovanta::app
