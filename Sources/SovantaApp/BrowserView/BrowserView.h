// The "Filer" tab of a session: the folder tree, the current folder's contents
// as a sortable table or a thumbnail gallery under a filter bar and over a
// status line, the preview of the selection beside them, and the toolbar row
// with the search field, the view mode, the recover button and the preview
// toggle. Everything runs on the GUI thread; only thumbnails and previews are
// read elsewhere, by the parts that show them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <QWidget>

#include "SovantaApp/BrowserView/Listing.h"
#include "SovantaApp/Models/Session.h"

class QAction;
class QCheckBox;
class QComboBox;
class QItemSelectionModel;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QStackedWidget;
class QToolButton;

namespace sovanta::app {

class Breadcrumb;
class FileRowsModel;
class FileTable;
class FolderTree;
class GalleryView;
class PreviewPane;

class BrowserView : public QWidget {
    Q_OBJECT
public:
    // What a recovery is asked for: the nodes and the name of the folder it
    // makes. (Inside the browser: the preview pane's header uses the name for
    // its recover callback.)
    struct RecoverRequest {
        Uuid id = Uuid::random();
        std::vector<FileNodePtr> nodes;
        std::string rootName;
    };

    explicit BrowserView(SessionPtr session, QWidget* parent = nullptr);
    ~BrowserView() override;

    // Rebuilds the rows from the current folder, the search and the filters.
    void reload();
    ReloadKey reloadKey() const;
    // The selected rows, in row order.
    std::vector<FileNodePtr> selectedNodes() const;
    // A folder becomes the current folder, a file the one selected row.
    void open(const FileNodePtr& node);
    // The root of the volume with the id (else of the first volume) becomes
    // the current folder; without volumes nothing changes.
    void selectVolume(const std::optional<Uuid>& volumeID);

    // The view-local state.
    const FileNodePtr& folder() const { return folder_; }
    void setFolder(FileNodePtr folder);
    const std::unordered_set<int64_t>& selection() const { return selection_; }
    void setSelection(std::unordered_set<int64_t> ids);
    const SortOrder& sortOrder() const { return sortOrder_; }
    void setSortOrder(SortOrder order);
    const std::string& search() const { return search_; }
    void setSearch(const std::string& text);
    StatusFilter statusFilter() const { return statusFilter_; }
    void setStatusFilter(StatusFilter filter);
    const std::optional<FileCategory>& category() const { return category_; }
    void setCategory(std::optional<FileCategory> category);
    bool goodOnly() const { return goodOnly_; }
    void setGoodOnly(bool on);
    BrowserMode mode() const { return mode_; }
    void setMode(BrowserMode mode);
    bool showInspector() const { return showInspector_; }
    void setShowInspector(bool shown);
    const std::vector<FileNodePtr>& rows() const;
    bool flattened() const { return flattened_; }
    bool truncated() const { return truncated_; }
    const std::optional<RecoverRequest>& recoverRequest() const { return recoverRequest_; }
    // Dismissing the recovery sheet clears the request.
    void clearRecoverRequest();

    // Asks for a recovery of the nodes; an empty list does nothing.
    void recover(std::vector<FileNodePtr> nodes);
    // Shows the sector view at the sector where the node's contents begin.
    void jumpToSectors(const FileNodePtr& node);
    // The table's context menu for the rows with these ids.
    QMenu* makeContextMenu(const std::unordered_set<int64_t>& ids, QWidget* parent);

    // The parts, for the session page and for tests.
    QLineEdit* searchField() const { return searchField_; }
    QToolButton* listButton() const { return listButton_; }
    QToolButton* galleryButton() const { return galleryButton_; }
    QToolButton* recoverButton() const { return recoverButton_; }
    QToolButton* inspectorButton() const { return inspectorButton_; }
    // The recover menu's entries: selected, all shown, the whole folder.
    QAction* recoverSelectedAction() const { return recoverSelected_; }
    QAction* recoverShownAction() const { return recoverShown_; }
    QAction* recoverFolderAction() const { return recoverFolder_; }
    QComboBox* statusPicker() const { return statusPicker_; }
    QComboBox* typePicker() const { return typePicker_; }
    QCheckBox* goodOnlyBox() const { return goodOnlyBox_; }
    FolderTree* folderTree() const { return folderTree_; }
    Breadcrumb* breadcrumb() const { return breadcrumb_; }
    FileTable* table() const { return table_; }
    GalleryView* gallery() const { return gallery_; }
    QWidget* inspector() const { return inspector_; }
    PreviewPane* previewPane() const { return preview_; }
    // What the content area shows: the table, the gallery or an empty state.
    QWidget* shownContent() const;
    // The empty state's title and text ("" when rows are shown).
    QString emptyTitle() const;
    QString emptyText() const;
    // The status line's texts, left to right, of the parts shown.
    QStringList statusTexts() const;
    QLabel* truncatedLabel() const { return truncatedLabel_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void makeToolbar(QWidget* bar);
    QWidget* makeFilterBar();
    QWidget* makeStatusBar();
    QWidget* makeFolderTree();
    QWidget* makeFileColumn();
    QStackedWidget* makeContent(QWidget* column);
    QWidget* makeEmptyPage();
    QWidget* makeInspector();
    // Reloads when the reload key differs from the last reload's.
    void keyChanged();
    // Sorts the rows and shows them, keeping the selection.
    void showRows(std::vector<FileNodePtr> rows);
    // The rows after a merge, announced as new rows where they came in.
    void mergeRows(std::vector<FileNodePtr> rows);
    void applySelectionToViews();
    void selectionFromViews();
    void selectionChanged();
    void refreshContent();
    void refreshStatus();
    void refreshRecoverMenu();
    void refreshInspector();
    void refreshFilterControls();
    void tableContextMenu(const QPoint& position);
    void tablePrimaryAction();

    SessionPtr session_;

    FileNodePtr folder_;
    std::unordered_set<int64_t> selection_;
    SortOrder sortOrder_ = {SortKey{}};
    std::string search_;
    StatusFilter statusFilter_ = StatusFilter::all;
    std::optional<FileCategory> category_;
    bool goodOnly_ = false;
    BrowserMode mode_ = BrowserMode::list;
    bool showInspector_ = true;
    bool flattened_ = false;
    bool truncated_ = false;
    std::optional<RecoverRequest> recoverRequest_;

    bool appeared_ = false;
    std::optional<ReloadKey> lastKey_;
    bool syncingSelection_ = false;

    FileRowsModel* rows_;
    QItemSelectionModel* selectionModel_;
    QLineEdit* searchField_ = nullptr;
    QToolButton* listButton_ = nullptr;
    QToolButton* galleryButton_ = nullptr;
    QToolButton* recoverButton_ = nullptr;
    QAction* recoverSelected_ = nullptr;
    QAction* recoverShown_ = nullptr;
    QAction* recoverFolder_ = nullptr;
    QToolButton* inspectorButton_ = nullptr;
    QSplitter* splitter_ = nullptr;
    FolderTree* folderTree_ = nullptr;
    Breadcrumb* breadcrumb_ = nullptr;
    QComboBox* statusPicker_ = nullptr;
    QComboBox* typePicker_ = nullptr;
    QCheckBox* goodOnlyBox_ = nullptr;
    QStackedWidget* content_ = nullptr;
    FileTable* table_ = nullptr;
    GalleryView* gallery_ = nullptr;
    QWidget* empty_ = nullptr;
    QLabel* emptySymbol_ = nullptr;
    QLabel* emptyTitle_ = nullptr;
    QLabel* emptyText_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QLabel* truncatedLabel_ = nullptr;
    QLabel* selectionLabel_ = nullptr;
    QLabel* filterNote_ = nullptr;
    QWidget* inspector_ = nullptr;
    PreviewPane* preview_ = nullptr;
};

}  // namespace sovanta::app
