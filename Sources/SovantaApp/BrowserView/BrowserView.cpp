#include "SovantaApp/BrowserView/BrowserView.h"

#include <algorithm>
#include <cstdlib>

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "SovantaApp/BrowserView/Breadcrumb.h"
#include "SovantaApp/BrowserView/FileRowsModel.h"
#include "SovantaApp/BrowserView/FileTable.h"
#include "SovantaApp/BrowserView/FolderTree.h"
#include "SovantaApp/BrowserView/GalleryView.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// A menu's text shows "&" as itself, not as a shortcut mark.
QString menuText(const std::string& text) { return qs(text).replace(QLatin1Char('&'), QStringLiteral("&&")); }

}  // namespace

BrowserView::BrowserView(SessionPtr session, QWidget* parent)
    : QWidget(parent), session_(std::move(session)), rows_(new FileRowsModel(this)) {
    selectionModel_ = new QItemSelectionModel(rows_, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* toolbar = new QWidget(this);
    makeToolbar(toolbar);
    layout->addWidget(toolbar);
    layout->addWidget(divider(this));

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setChildrenCollapsible(false);
    layout->addWidget(splitter_, 1);

    splitter_->addWidget(makeFolderTree());
    splitter_->addWidget(makeFileColumn());
    splitter_->addWidget(makeInspector());
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setStretchFactor(2, 0);
    splitter_->setSizes({230, 700, 300});

    connect(selectionModel_, &QItemSelectionModel::selectionChanged, this, [this] { selectionFromViews(); });
    connect(table_, &FileTable::sortOrderRequested, this, [this](SortOrder order) { setSortOrder(std::move(order)); });
    connect(table_, &FileTable::primaryAction, this, [this] { tablePrimaryAction(); });
    connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { tableContextMenu(at); });

    Session* s = session_.get();
    connect(s, &Session::selectedVolumeIDChanged, this, [this] { selectVolume(session_->selectedVolumeID()); });
    connect(s, &Session::volumesChanged, this, [this] { refreshContent(); });
    connect(s, &Session::treeVersionChanged, this, [this] {
        folderTree_->rebuild();
        refreshContent();
        keyChanged();
    });

    refreshFilterControls();
    refreshContent();
    refreshStatus();
    refreshRecoverMenu();
    refreshInspector();
}

BrowserView::~BrowserView() = default;

// MARK: Building

QWidget* BrowserView::makeFolderTree() {
    folderTree_ = new FolderTree(session_, [this](FileNodePtr node) { setFolder(std::move(node)); }, splitter_);
    folderTree_->setMinimumWidth(190);
    folderTree_->setMaximumWidth(420);
    return folderTree_;
}

// The middle column: the folder's path and filters, its files, the counts below.
QWidget* BrowserView::makeFileColumn() {
    auto* column = new QWidget(splitter_);
    column->setMinimumWidth(440);
    auto* columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    columnLayout->addWidget(makeFilterBar());
    columnLayout->addWidget(divider(column));
    columnLayout->addWidget(makeContent(column), 1);
    columnLayout->addWidget(divider(column));
    columnLayout->addWidget(makeStatusBar());
    return column;
}

// The files as a table or a gallery, or the page that says why there are none.
QStackedWidget* BrowserView::makeContent(QWidget* column) {
    content_ = new QStackedWidget(column);
    table_ = new FileTable(rows_, content_);
    table_->setSelectionModel(selectionModel_);
    gallery_ = new GalleryView(rows_, selectionModel_, session_->source,
                               [this](FileNodePtr node) { open(node); }, content_);
    connect(gallery_, &GalleryView::primaryAction, this, [this] { tablePrimaryAction(); });
    content_->addWidget(table_);
    content_->addWidget(gallery_);
    content_->addWidget(makeEmptyPage());
    return content_;
}

QWidget* BrowserView::makeEmptyPage() {
    empty_ = new QWidget(content_);
    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->setSpacing(8);
    emptyLayout->addStretch(1);
    emptySymbol_ = new QLabel(empty_);
    emptySymbol_->setAlignment(Qt::AlignCenter);
    emptyTitle_ = new QLabel(empty_);
    emptyTitle_->setTextFormat(Qt::PlainText);
    emptyTitle_->setAlignment(Qt::AlignCenter);
    emptyTitle_->setFont(Style::font(Style::TextStyle::title3, QFont::DemiBold));
    emptyText_ = new QLabel(empty_);
    emptyText_->setTextFormat(Qt::PlainText);
    emptyText_->setAlignment(Qt::AlignCenter);
    emptyText_->setWordWrap(true);
    setTextColour(emptyText_, Style::secondaryText());
    emptyLayout->addWidget(emptySymbol_);
    emptyLayout->addWidget(emptyTitle_);
    emptyLayout->addWidget(emptyText_);
    emptyLayout->addStretch(1);
    return empty_;
}

QWidget* BrowserView::makeInspector() {
    inspector_ = new QWidget(splitter_);
    inspector_->setMinimumWidth(250);
    inspector_->setMaximumWidth(520);
    auto* inspectorLayout = new QVBoxLayout(inspector_);
    inspectorLayout->setContentsMargins(0, 0, 0, 0);
    preview_ = new PreviewPane(session_, [this](std::vector<FileNodePtr> nodes) { recover(std::move(nodes)); },
                               inspector_);
    inspectorLayout->addWidget(preview_);
    return inspector_;
}

void BrowserView::makeToolbar(QWidget* bar) {
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(8);
    row->addStretch(1);

    auto segment = [&](const char* title, const char* symbolName) {
        auto* button = new QToolButton(bar);
        button->setText(QString::fromUtf8(title));
        button->setIcon(Style::buttonIcon(symbolName));
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setToolTip(QStringLiteral("Skift mellem liste og galleri"));
        button->setAccessibleName(button->text());
        return button;
    };
    auto* picker = new QWidget(bar);
    picker->setAccessibleName(QStringLiteral("Visning"));
    picker->setToolTip(QStringLiteral("Skift mellem liste og galleri"));
    auto* pickerRow = new QHBoxLayout(picker);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(0);
    listButton_ = segment("Liste", "list.bullet");
    galleryButton_ = segment("Galleri", "square.grid.2x2");
    pickerRow->addWidget(listButton_);
    pickerRow->addWidget(galleryButton_);
    connect(listButton_, &QToolButton::clicked, this, [this] { setMode(BrowserMode::list); });
    connect(galleryButton_, &QToolButton::clicked, this, [this] { setMode(BrowserMode::gallery); });
    row->addWidget(picker);

    recoverButton_ = new QToolButton(bar);
    recoverButton_->setText(QStringLiteral("Gendan"));
    recoverButton_->setIcon(Style::buttonIcon("arrow.down.doc.fill"));
    recoverButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    recoverButton_->setPopupMode(QToolButton::MenuButtonPopup);
    recoverButton_->setAutoRaise(true);
    recoverButton_->setToolTip(QStringLiteral("Gendan de markerede filer (eller alle viste, hvis intet er markeret)"));
    auto* menu = new QMenu(recoverButton_);
    recoverSelected_ = menu->addAction(QString());
    recoverShown_ = menu->addAction(QString());
    recoverFolder_ = menu->addAction(QString());
    recoverButton_->setMenu(menu);
    connect(recoverButton_, &QToolButton::clicked, this, [this] {
        recover(selection_.empty() ? rows_->rows() : selectedNodes());
    });
    connect(recoverSelected_, &QAction::triggered, this, [this] { recover(selectedNodes()); });
    connect(recoverShown_, &QAction::triggered, this, [this] { recover(rows_->rows()); });
    connect(recoverFolder_, &QAction::triggered, this, [this] {
        if (folder_) recover({folder_});
    });
    row->addWidget(recoverButton_);

    inspectorButton_ = new QToolButton(bar);
    inspectorButton_->setText(QStringLiteral("Forhåndsvisning"));
    inspectorButton_->setIcon(Style::buttonIcon("sidebar.right"));
    inspectorButton_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    inspectorButton_->setToolTip(QStringLiteral("Forhåndsvisning"));
    inspectorButton_->setCheckable(true);
    inspectorButton_->setAutoRaise(true);
    connect(inspectorButton_, &QToolButton::clicked, this, [this] { setShowInspector(!showInspector_); });
    row->addWidget(inspectorButton_);

    searchField_ = new QLineEdit(bar);
    searchField_->setPlaceholderText(QStringLiteral("Søg efter filnavn"));
    searchField_->setClearButtonEnabled(true);
    searchField_->addAction(Style::buttonIcon("magnifyingglass"), QLineEdit::LeadingPosition);
    searchField_->setFixedWidth(240);
    connect(searchField_, &QLineEdit::textChanged, this, [this](const QString& text) { setSearch(text.toStdString()); });
    row->addWidget(searchField_);
}

QWidget* BrowserView::makeFilterBar() {
    auto* bar = new QWidget(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(10);
    breadcrumb_ = new Breadcrumb([this](FileNodePtr node) { setFolder(std::move(node)); }, bar);
    breadcrumb_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    row->addWidget(breadcrumb_, 1);
    row->addSpacerItem(new QSpacerItem(8, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));

    statusPicker_ = new QComboBox(bar);
    statusPicker_->setAccessibleName(QStringLiteral("Status"));
    for (StatusFilter filter : allStatusFilters()) statusPicker_->addItem(qs(text(filter)), static_cast<int>(filter));
    statusPicker_->setFixedWidth(150);
    connect(statusPicker_, &QComboBox::activated, this, [this](int index) {
        setStatusFilter(static_cast<StatusFilter>(statusPicker_->itemData(index).toInt()));
    });
    row->addWidget(statusPicker_);

    typePicker_ = new QComboBox(bar);
    typePicker_->setAccessibleName(QStringLiteral("Type"));
    typePicker_->addItem(QStringLiteral("Alle typer"), -1);
    typePicker_->insertSeparator(1);
    for (FileCategory category : allFileCategories())
        typePicker_->addItem(Style::buttonIcon(symbol(category)), qs(label(category)), static_cast<int>(category));
    typePicker_->setFixedWidth(125);
    connect(typePicker_, &QComboBox::activated, this, [this](int index) {
        const int value = typePicker_->itemData(index).toInt();
        setCategory(value < 0 ? std::nullopt : std::optional<FileCategory>(static_cast<FileCategory>(value)));
    });
    row->addWidget(typePicker_);

    goodOnlyBox_ = new QCheckBox(QStringLiteral("God chance"), bar);
    goodOnlyBox_->setToolTip(QStringLiteral("Vis kun filer med god chance for fuld gendannelse"));
    connect(goodOnlyBox_, &QCheckBox::toggled, this, [this](bool on) { setGoodOnly(on); });
    row->addWidget(goodOnlyBox_);
    return bar;
}

QWidget* BrowserView::makeStatusBar() {
    auto* bar = new QWidget(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(14);
    const QFont caption = Style::font(Style::TextStyle::caption);
    auto label = [&](const QColor& colour) {
        auto* l = new QLabel(bar);
        l->setFont(caption);
        l->setTextFormat(Qt::PlainText);
        setTextColour(l, colour);
        return l;
    };
    countLabel_ = label(Style::primaryText());
    truncatedLabel_ = label(Style::Colors::orange);
    selectionLabel_ = label(Style::primaryText());
    filterNote_ = label(Style::secondaryText());
    filterNote_->setText(QStringLiteral("Filtreret visning af alle filer under mappen"));
    row->addWidget(countLabel_);
    row->addWidget(truncatedLabel_);
    row->addWidget(selectionLabel_);
    row->addStretch(1);
    row->addWidget(filterNote_);
    return bar;
}

// MARK: State

ReloadKey BrowserView::reloadKey() const {
    ReloadKey key;
    if (folder_) key.folder = folder_->id;
    key.search = search_;
    key.status = statusFilter_;
    key.category = category_;
    key.goodOnly = goodOnly_;
    key.version = session_->treeVersion();
    return key;
}

const std::vector<FileNodePtr>& BrowserView::rows() const { return rows_->rows(); }

void BrowserView::setFolder(FileNodePtr folder) {
    if (folder == folder_) return;
    folder_ = std::move(folder);
    breadcrumb_->setNode(folder_);
    breadcrumb_->setVisible(static_cast<bool>(folder_));
    folderTree_->showFolder(folder_);
    refreshRecoverMenu();
    keyChanged();
}

void BrowserView::setSearch(const std::string& text) {
    if (text == search_) return;
    search_ = text;
    refreshFilterControls();
    keyChanged();
}

void BrowserView::setStatusFilter(StatusFilter filter) {
    if (filter == statusFilter_) return;
    statusFilter_ = filter;
    refreshFilterControls();
    keyChanged();
}

void BrowserView::setCategory(std::optional<FileCategory> category) {
    if (category == category_) return;
    category_ = category;
    refreshFilterControls();
    keyChanged();
}

void BrowserView::setGoodOnly(bool on) {
    if (on == goodOnly_) return;
    goodOnly_ = on;
    refreshFilterControls();
    keyChanged();
}

void BrowserView::setMode(BrowserMode mode) {
    mode_ = mode;
    refreshFilterControls();
    refreshContent();
}

void BrowserView::setShowInspector(bool shown) {
    showInspector_ = shown;
    inspector_->setVisible(shown);
    inspectorButton_->setChecked(shown);
    if (shown) refreshInspector();
}

void BrowserView::setSelection(std::unordered_set<int64_t> ids) {
    selection_ = std::move(ids);
    applySelectionToViews();
}

void BrowserView::setSortOrder(SortOrder order) {
    sortOrder_ = std::move(order);
    table_->showSortOrder(sortOrder_);
    // Only the order changes: the same rows, sorted again, the same selection.
    std::vector<FileNodePtr> rows = rows_->rows();
    sortRows(rows, sortOrder_, !flattened_);
    showRows(std::move(rows));
    applySelectionToViews();
}

void BrowserView::keyChanged() {
    if (!appeared_) return;
    if (lastKey_ && *lastKey_ == reloadKey()) return;
    reload();
}

// MARK: Reload

void BrowserView::reload() {
    const ReloadKey key = reloadKey();
    // Only the trees grew under the same listing (a scan's merge): the rows
    // are merged, so that the selection and the scroll place stay.
    bool grew = false;
    if (lastKey_ && lastKey_->version != key.version) {
        ReloadKey previous = *lastKey_;
        previous.version = key.version;
        grew = previous == key;
    }
    lastKey_ = key;
    if (!folder_) {
        showRows({});
        applySelectionToViews();
        return;
    }
    Listing listing = list(*folder_, Filters{search_, statusFilter_, category_, goodOnly_});
    flattened_ = listing.flattened;
    truncated_ = listing.truncated;
    sortRows(listing.rows, sortOrder_, !flattened_);
    if (grew)
        mergeRows(std::move(listing.rows));
    else
        showRows(std::move(listing.rows));

    std::unordered_set<int64_t> present;
    present.reserve(rows_->rows().size());
    for (const auto& row : rows_->rows()) present.insert(row->id);
    std::erase_if(selection_, [&](int64_t id) { return !present.count(id); });

    if (selection_.empty()) {
        if (auto name = environment("SOVANTA_TEST_SELECT")) {
            for (const auto& row : rows_->rows())
                if (row->name == *name) {
                    selection_.insert(row->id);
                    break;
                }
        }
    }
    applySelectionToViews();
}

void BrowserView::showRows(std::vector<FileNodePtr> rows) {
    syncingSelection_ = true;
    rows_->setRows(std::move(rows));
    syncingSelection_ = false;
    refreshContent();
}

void BrowserView::mergeRows(std::vector<FileNodePtr> rows) {
    // The row at the top of the table stays at the top.
    const FileNodePtr top = rows_->node(table_->indexAt(QPoint(0, 0)).row());
    syncingSelection_ = true;
    rows_->mergeRows(std::move(rows));
    syncingSelection_ = false;
    if (top) {
        const auto& now = rows_->rows();
        const auto at = std::find(now.begin(), now.end(), top);
        if (at != now.end() && table_->indexAt(QPoint(0, 0)).row() != at - now.begin())
            table_->scrollTo(rows_->index(static_cast<int>(at - now.begin()), 0), QAbstractItemView::PositionAtTop);
    }
    refreshContent();
}

std::vector<FileNodePtr> BrowserView::selectedNodes() const {
    std::vector<FileNodePtr> nodes;
    if (selection_.empty()) return nodes;
    for (const auto& row : rows_->rows())
        if (selection_.count(row->id)) nodes.push_back(row);
    return nodes;
}

void BrowserView::applySelectionToViews() {
    syncingSelection_ = true;
    QItemSelection chosen;
    const auto& rows = rows_->rows();
    const int last = sortColumnCount - 1;
    if (!selection_.empty()) {
        int start = -1;
        for (size_t i = 0; i <= rows.size(); ++i) {
            const bool in = i < rows.size() && selection_.count(rows[i]->id);
            const int row = static_cast<int>(i);
            if (in && start < 0) start = row;
            if (!in && start >= 0) {
                chosen.select(rows_->index(start, 0), rows_->index(row - 1, last));
                start = -1;
            }
        }
    }
    selectionModel_->select(chosen, QItemSelectionModel::ClearAndSelect);
    syncingSelection_ = false;
    selectionChanged();
}

void BrowserView::selectionFromViews() {
    if (syncingSelection_) return;
    std::unordered_set<int64_t> ids;
    const auto& rows = rows_->rows();
    for (const QItemSelectionRange& range : selectionModel_->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (row >= 0 && static_cast<size_t>(row) < rows.size()) ids.insert(rows[static_cast<size_t>(row)]->id);
    selection_ = std::move(ids);
    selectionChanged();
}

void BrowserView::selectionChanged() {
    refreshStatus();
    refreshRecoverMenu();
    refreshInspector();
}

// MARK: Actions

void BrowserView::open(const FileNodePtr& node) {
    if (!node) return;
    if (node->isDirectory) {
        if (flattened_) {
            search_.clear();
            statusFilter_ = StatusFilter::all;
            category_.reset();
            goodOnly_ = false;
            refreshFilterControls();
        }
        if (node != folder_)
            setFolder(node);
        else
            keyChanged();
        return;
    }
    setSelection({node->id});
    setShowInspector(true);
}

void BrowserView::selectVolume(const std::optional<Uuid>& volumeID) {
    const auto& volumes = session_->volumes();
    if (volumes.empty()) return;
    VolumePtr chosen = volumes.front();
    if (volumeID)
        for (const auto& volume : volumes)
            if (volume->id == *volumeID) {
                chosen = volume;
                break;
            }
    setFolder(chosen->root);
}

void BrowserView::recover(std::vector<FileNodePtr> nodes) {
    if (nodes.empty()) return;
    RecoverRequest request;
    request.rootName = rootName(nodes, session_->volumes(), session_->title);
    request.nodes = std::move(nodes);
    auto* sheet = new RecoverSheet(session_, request.nodes, request.rootName, this);
    recoverRequest_ = std::move(request);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    // Dismissing this sheet ends its request, unless a newer one took its place.
    connect(sheet, &QDialog::finished, this, [this, id = recoverRequest_->id] {
        if (recoverRequest_ && recoverRequest_->id == id) recoverRequest_.reset();
    });
    sheet->open();
}

void BrowserView::clearRecoverRequest() { recoverRequest_.reset(); }

void BrowserView::jumpToSectors(const FileNodePtr& node) {
    if (!node) return;
    auto offset = firstOffset(*node);
    if (!offset) return;
    const uint64_t start = sectorStart(*offset, session_->source ? session_->source->sectorSize : 512);
    if (session_->sectorOffset() != start) session_->setSectorOffset(start);
    if (session_->tab() != SessionTab::sectors) session_->setTab(SessionTab::sectors);
}

QMenu* BrowserView::makeContextMenu(const std::unordered_set<int64_t>& ids, QWidget* parent) {
    std::vector<FileNodePtr> nodes;
    if (!ids.empty())
        for (const auto& row : rows_->rows())
            if (ids.count(row->id)) nodes.push_back(row);
    auto* menu = new QMenu(parent);
    QAction* recoverAction = menu->addAction(QStringLiteral("Gendan …"));
    recoverAction->setEnabled(!nodes.empty());
    connect(recoverAction, &QAction::triggered, this, [this, nodes] { recover(nodes); });
    if (nodes.size() == 1) {
        const FileNodePtr node = nodes.front();
        if (node->isDirectory)
            connect(menu->addAction(QStringLiteral("Åbn mappe")), &QAction::triggered, this,
                    [this, node] { setFolder(node); });
        if (firstOffset(*node))
            connect(menu->addAction(QStringLiteral("Vis i sektorvisning")), &QAction::triggered, this,
                    [this, node] { jumpToSectors(node); });
        if (flattened_ && node->parent())
            connect(menu->addAction(QStringLiteral("Vis i mappe")), &QAction::triggered, this, [this, node] {
                FileNodePtr folder = node->parent();
                if (!folder) return;
                search_.clear();
                statusFilter_ = StatusFilter::all;
                category_.reset();
                goodOnly_ = false;
                refreshFilterControls();
                if (folder != folder_)
                    setFolder(folder);
                else
                    keyChanged();
            });
    }
    return menu;
}

void BrowserView::tableContextMenu(const QPoint& position) {
    std::unordered_set<int64_t> ids;
    const QModelIndex index = table_->indexAt(position);
    if (const FileNodePtr& node = rows_->node(index.row())) {
        if (selection_.count(node->id))
            ids = selection_;
        else
            ids.insert(node->id);
    }
    QMenu* menu = makeContextMenu(ids, this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(table_->viewport()->mapToGlobal(position));
}

void BrowserView::tablePrimaryAction() {
    const auto nodes = selectedNodes();
    if (nodes.size() == 1) open(nodes.front());
}

// MARK: Showing the state

void BrowserView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    appeared_ = true;
    if (!folder_) {
        const auto& volumes = session_->volumes();
        if (!volumes.empty()) {
            VolumePtr chosen = volumes.front();
            if (const auto& id = session_->selectedVolumeID())
                for (const auto& volume : volumes)
                    if (volume->id == *id) {
                        chosen = volume;
                        break;
                    }
            folder_ = chosen->root;
            breadcrumb_->setNode(folder_);
            folderTree_->showFolder(folder_);
        }
    }
    breadcrumb_->setVisible(static_cast<bool>(folder_));
    if (environment("SOVANTA_TEST_GALLERY")) mode_ = BrowserMode::gallery;
    if (auto text = environment("SOVANTA_TEST_SEARCH")) search_ = *text;
    refreshFilterControls();
    reload();
}

void BrowserView::refreshFilterControls() {
    if (QString::fromStdString(search_) != searchField_->text()) {
        QSignalBlocker blocker(searchField_);
        searchField_->setText(qs(search_));
    }
    {
        QSignalBlocker blocker(statusPicker_);
        statusPicker_->setCurrentIndex(statusPicker_->findData(static_cast<int>(statusFilter_)));
    }
    {
        QSignalBlocker blocker(typePicker_);
        typePicker_->setCurrentIndex(typePicker_->findData(category_ ? static_cast<int>(*category_) : -1));
    }
    {
        QSignalBlocker blocker(goodOnlyBox_);
        goodOnlyBox_->setChecked(goodOnly_);
    }
    listButton_->setChecked(mode_ == BrowserMode::list);
    galleryButton_->setChecked(mode_ == BrowserMode::gallery);
    inspectorButton_->setChecked(showInspector_);
}

QWidget* BrowserView::shownContent() const { return content_->currentWidget(); }

QString BrowserView::emptyTitle() const { return content_->currentWidget() == empty_ ? emptyTitle_->text() : QString(); }

QString BrowserView::emptyText() const { return content_->currentWidget() == empty_ ? emptyText_->text() : QString(); }

void BrowserView::refreshContent() {
    auto showEmpty = [this](const char* symbolName, const char* title, const char* text) {
        emptySymbol_->setPixmap(Style::symbolPixmap(symbolName, 44, Style::secondaryText()));
        emptyTitle_->setText(QString::fromUtf8(title));
        emptyText_->setText(QString::fromUtf8(text));
        content_->setCurrentWidget(empty_);
    };
    if (session_->volumes().empty())
        showEmpty("externaldrive.badge.questionmark", "Ingen filer endnu", "Kør en scanning under Oversigt.");
    else if (!rows_->rows().empty())
        content_->setCurrentWidget(mode_ == BrowserMode::gallery ? static_cast<QWidget*>(gallery_) : table_);
    else if (flattened_)
        showEmpty("doc.text.magnifyingglass", "Ingen filer matcher", "Prøv at ændre søgningen eller filtrene.");
    else
        showEmpty("doc.text.magnifyingglass", "Mappen er tom", "Der er ingen filer i denne mappe.");
}

void BrowserView::refreshStatus() {
    const auto count = static_cast<int64_t>(rows_->rows().size());
    countLabel_->setText(qs(Fmt::number(count) + (flattened_ ? " filer fundet" : " elementer")));
    truncatedLabel_->setVisible(truncated_);
    truncatedLabel_->setText(qs("(viser de første " + Fmt::number(count) + ")"));
    if (selection_.empty()) {
        selectionLabel_->hide();
    } else {
        const auto nodes = selectedNodes();
        uint64_t bytes = 0;
        for (const auto& node : nodes) bytes += node->size;
        selectionLabel_->setText(
            qs(Fmt::number(static_cast<int64_t>(nodes.size())) + " markeret · " + formatBytes(bytes)));
        selectionLabel_->show();
    }
    filterNote_->setVisible(flattened_ && search_.empty());
}

QStringList BrowserView::statusTexts() const {
    QStringList out;
    for (QLabel* label : {countLabel_, truncatedLabel_, selectionLabel_, filterNote_})
        if (!label->isHidden()) out << label->text();
    return out;
}

void BrowserView::refreshRecoverMenu() {
    recoverSelected_->setText(qs("Gendan markerede (" + std::to_string(selection_.size()) + ")"));
    recoverSelected_->setEnabled(!selection_.empty());
    const auto count = static_cast<int64_t>(rows_->rows().size());
    recoverShown_->setText(qs("Gendan alle viste (" + Fmt::number(count) + ")"));
    recoverShown_->setEnabled(count > 0);
    recoverFolder_->setVisible(static_cast<bool>(folder_));
    if (folder_)
        recoverFolder_->setText(QStringLiteral("Gendan hele mappen \"") +
                                menuText(folder_->parent() ? visibleText(folder_->name) : std::string("roden")) +
                                QStringLiteral("\""));
}

void BrowserView::refreshInspector() {
    if (!showInspector_) return;
    preview_->setNodes(selectedNodes());
}

}  // namespace sovanta::app
