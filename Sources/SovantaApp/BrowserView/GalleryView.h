// The browser's rows as a grid of cells: a thumbnail for image files, decoded
// at 320 pixels on the preview queue as cells come into view, an icon for
// everything else, with the selection, the recoverability of lost files and
// images that did not decode marked on each cell.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

#include <QImage>
#include <QListView>
#include <QStyledItemDelegate>

#include "SovantaApp/BrowserView/FileRowsModel.h"
#include "SovantaApp/Threads.h"
#include "SovantaCore/DiskSource.h"

namespace sovanta::app {

class GalleryView : public QListView {
    Q_OBJECT
public:
    // The state of one cell on screen, made when it comes into view.
    struct Cell {
        int row = -1;
        std::optional<QImage> image;
        bool broken = false;
        bool loading = false;
        // The cell's decode, shared with the work; expired when the cell
        // leaves the screen, so that a decode not yet started reads nothing.
        std::shared_ptr<Ticket> load;
    };

    inline static constexpr int minimumColumn = 150;
    inline static constexpr int maximumColumn = 220;
    inline static constexpr int gap = 14;
    inline static constexpr int boxHeight = 130;

    GalleryView(FileRowsModel* rows, QItemSelectionModel* selection, DiskSourcePtr source,
                std::function<void(FileNodePtr)> open, QWidget* parent = nullptr);

    // The cell of a node while it is on screen; null otherwise.
    const Cell* cell(int64_t nodeID) const;
    // The width of a cell at a viewport width: as many columns as fit.
    static int cellWidth(int viewportWidth);
    int cellHeight() const;
    // The decodes queued and not yet delivered.
    int loadsInFlight() const { return inFlight_; }

signals:
    // Return or Enter: the selection is to be opened, as in the list.
    void primaryAction();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    friend class ThumbDelegate;
    void scheduleRefresh();
    // Fits the grid's columns to the viewport's width.
    void fitCells();
    // Makes the cells that came into view and drops those that left it.
    void refreshCells();
    void startLoad(Cell& cell, const FileNodePtr& node);

    FileRowsModel* rows_;
    DiskSourcePtr source_;
    std::function<void(FileNodePtr)> open_;
    std::unordered_map<int64_t, Cell> cells_;
    int cellWidth_ = minimumColumn;
    int inFlight_ = 0;
    bool refreshPending_ = false;
};

// Draws one cell of the gallery.
class ThumbDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ThumbDelegate(GalleryView* gallery);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    GalleryView* gallery_;
};

}  // namespace sovanta::app
