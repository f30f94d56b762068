// The file browser's inspector: a prompt for no selection, a count and one
// recovery button for several nodes, and for one node a preview of its
// contents with its name, path, notice, details and actions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QImage>
#include <QPointer>
#include <QScrollArea>
#include <QWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/Session.h"
#include "SovantaApp/Threads.h"
#include "SovantaCore/Model.h"

class QLabel;
class QPushButton;
class QStackedLayout;
class QVBoxLayout;

namespace sovanta::app {

class Callout;
class QuickLookView;
class SingleFilePreview;

using RecoverRequest = std::function<void(std::vector<FileNodePtr>)>;

class PreviewPane : public QWidget {
    Q_OBJECT
public:
    PreviewPane(SessionPtr session, RecoverRequest onRecover, QWidget* parent = nullptr);

    // The browser's selection, in row order. One node keeps its preview while
    // the same node stays selected.
    void setNodes(std::vector<FileNodePtr> nodes);
    const std::vector<FileNodePtr>& nodes() const { return nodes_; }

    // What the pane shows now; the single preview is null unless one node is selected.
    SingleFilePreview* single() const { return single_; }
    QWidget* emptyState() const { return empty_; }
    QWidget* severalView() const { return several_; }
    QLabel* severalCount() const { return severalCount_; }
    QLabel* severalBytes() const { return severalBytes_; }
    QPushButton* severalRecover() const { return severalRecover_; }

    // Opens a file in the desktop's default application for its type; tests replace it.
    static std::function<void(const std::string& path)>& openFileHook();

private:
    void showSeveral();
    void dropSingle();

    SessionPtr session_;
    RecoverRequest onRecover_;
    std::vector<FileNodePtr> nodes_;
    QStackedLayout* stack_;
    QWidget* empty_;
    QWidget* several_;
    QLabel* severalCount_;
    QLabel* severalBytes_;
    QPushButton* severalRecover_;
    SingleFilePreview* single_ = nullptr;
};

// The preview of one node. Made afresh for each node: its state starts empty
// and its load starts when it is made.
class SingleFilePreview : public QScrollArea {
    Q_OBJECT
public:
    static constexpr int previewPixels = 900;
    static constexpr uint64_t automaticLimit = 41943040;  // 40 MiB

    SingleFilePreview(SessionPtr session, FileNodePtr node, RecoverRequest onRecover, QWidget* parent = nullptr);

    const FileNodePtr& node() const { return node_; }
    const std::optional<QImage>& image() const { return image_; }
    const std::optional<std::string>& quickLookURL() const { return quickLookURL_; }
    bool loading() const { return loading_; }
    bool broken() const { return broken_; }
    // Why the temporary copy could not be made (its folder unfit or full); empty otherwise.
    const std::string& copyProblem() const { return copyProblem_; }

    // Reads the node's preview on the preview queue: its thumbnail for a
    // picture, else (up to 40 MiB unless forced) a temporary copy.
    void load(bool force);

    // The preview area's current content, and the regions below it.
    QWidget* previewContent() const;
    QuickLookView* quickLookView() const { return quickLook_; }
    QWidget* imageView() const { return imageView_; }
    QPushButton* manualLoadButton() const { return manualLoad_; }
    QLabel* tooLargeCaption() const { return tooLarge_; }
    QLabel* nameLabel() const { return name_; }
    QLabel* pathLabel() const { return path_; }
    Callout* notice() const { return notice_; }
    // The details grid's rows, label and value, in order.
    std::vector<std::pair<std::string, std::string>> details() const;
    QPushButton* recoverButton() const { return recover_; }
    QPushButton* sectorsButton() const { return sectors_; }
    QPushButton* openButton() const { return open_; }

    // The sector-aligned offset that "Sektorer" jumps to, when the node has one.
    static std::optional<uint64_t> sectorJumpOffset(const FileNode& node, int64_t sectorSize);

signals:
    // The load's state changed (image, copy, loading or broken).
    void stateChanged();

private:
    struct Outcome;
    void apply(Ticket::Token load, const std::function<void()>& change);
    void refresh();
    void buildPreviewArea(QVBoxLayout* column);
    void buildDetails(QVBoxLayout* column);
    void buildActions(QVBoxLayout* column);
    void refreshNotice();
    void refreshFolderSummary();
    void jumpToSectors();

    SessionPtr session_;
    FileNodePtr node_;
    RecoverRequest onRecover_;

    std::optional<QImage> image_;
    std::optional<std::string> quickLookURL_;
    bool loading_ = false;
    bool broken_ = false;
    std::string copyProblem_;
    // Only the newest load of the shown node changes the state.
    Ticket loads_;

    QStackedLayout* area_ = nullptr;
    FittedImage* imageView_ = nullptr;
    QuickLookView* quickLook_ = nullptr;
    QWidget* loadingView_ = nullptr;
    QWidget* placeholder_ = nullptr;
    QWidget* folderSummary_ = nullptr;
    QLabel* folderCounts_ = nullptr;
    QLabel* folderBytes_ = nullptr;
    QPushButton* manualLoad_ = nullptr;
    QLabel* tooLarge_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* path_ = nullptr;
    QVBoxLayout* noticeSlot_ = nullptr;
    Callout* notice_ = nullptr;
    std::vector<std::pair<QLabel*, QWidget*>> rows_;
    QPushButton* recover_ = nullptr;
    QPushButton* sectors_ = nullptr;
    QPushButton* open_ = nullptr;
};

}  // namespace sovanta::app
