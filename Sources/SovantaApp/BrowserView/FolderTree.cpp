#include "SovantaApp/BrowserView/FolderTree.h"

#include <algorithm>

#include <QHeaderView>
#include <QIcon>
#include <QPalette>
#include <QStyledItemDelegate>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaCore/VisibleText.h"

namespace sovanta::app {

struct FolderTreeModel::Item {
    enum class Kind { header, volume, folder };
    Kind kind;
    const Volume* volume;  // held by volumes_
    FileNodePtr node;
    Item* parent = nullptr;
    int row = 0;
    bool loaded = false;
    std::vector<std::unique_ptr<Item>> children;
};

FolderTreeModel::FolderTreeModel(QObject* parent) : QAbstractItemModel(parent) {}
FolderTreeModel::~FolderTreeModel() = default;

std::unique_ptr<FolderTreeModel::Item> FolderTreeModel::section(const VolumePtr& volume, int row) {
    auto header = std::make_unique<Item>(Item{Item::Kind::header, volume.get(), nullptr, nullptr, row, true, {}});
    header->children.push_back(
        std::make_unique<Item>(Item{Item::Kind::volume, volume.get(), volume->root, header.get(), 0, false, {}}));
    return header;
}

void FolderTreeModel::setVolumes(const std::vector<VolumePtr>& volumes) {
    std::vector<VolumePtr> wanted;
    for (const auto& volume : volumes)
        if (volume && volume->root) wanted.push_back(volume);
    // The volumes that stay must keep their order; else the outline is built anew.
    std::vector<VolumePtr> staying;
    for (const auto& volume : volumes_)
        if (std::find(wanted.begin(), wanted.end(), volume) != wanted.end()) staying.push_back(volume);
    std::vector<VolumePtr> wantedStaying;
    for (const auto& volume : wanted)
        if (std::find(volumes_.begin(), volumes_.end(), volume) != volumes_.end()) wantedStaying.push_back(volume);
    if (staying != wantedStaying) {
        beginResetModel();
        sections_.clear();
        volumes_ = wanted;
        for (const auto& volume : volumes_) sections_.push_back(section(volume, static_cast<int>(sections_.size())));
        endResetModel();
        return;
    }
    auto renumber = [this] {
        for (size_t i = 0; i < sections_.size(); ++i) sections_[i]->row = static_cast<int>(i);
    };
    // Sections of volumes that left go, from the last.
    for (size_t i = volumes_.size(); i-- > 0;) {
        if (std::find(wanted.begin(), wanted.end(), volumes_[i]) != wanted.end()) continue;
        beginRemoveRows({}, static_cast<int>(i), static_cast<int>(i));
        sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(i));
        volumes_.erase(volumes_.begin() + static_cast<std::ptrdiff_t>(i));
        renumber();
        endRemoveRows();
    }
    // New volumes come in at their places; the sections that stay keep what is
    // loaded below them and gain rows for the folders added to it.
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (i < volumes_.size() && volumes_[i] == wanted[i]) {
            syncFolders(*sections_[i]->children.front(), index(static_cast<int>(i), 0, {}));
            continue;
        }
        beginInsertRows({}, static_cast<int>(i), static_cast<int>(i));
        volumes_.insert(volumes_.begin() + static_cast<std::ptrdiff_t>(i), wanted[i]);
        sections_.insert(sections_.begin() + static_cast<std::ptrdiff_t>(i), section(wanted[i], static_cast<int>(i)));
        renumber();
        endInsertRows();
    }
}

void FolderTreeModel::syncFolders(Item& sectionOrFolder, const QModelIndex& parentIndex) {
    // A section's header stands above its volume row.
    Item& parentItem = sectionOrFolder;
    const QModelIndex at = parentItem.kind == Item::Kind::volume ? index(0, 0, parentIndex) : parentIndex;
    if (!parentItem.loaded || !parentItem.node) return;
    // The folders below the node now; those loaded are among them, in the same
    // order, since a merge only adds. The new ones are announced in runs.
    std::vector<FileNodePtr> folders;
    for (const auto& child : parentItem.node->children())
        if (child->isDirectory) folders.push_back(child);
    auto& items = parentItem.children;
    size_t matched = 0;
    for (size_t j = 0; j < folders.size() && matched < items.size(); ++j)
        if (folders[j] == items[matched]->node) ++matched;
    if (matched != items.size()) return;  // not what a merge leaves: the rows stay as they are
    size_t i = 0;
    for (size_t j = 0; j < folders.size();) {
        if (i < items.size() && items[i]->node == folders[j]) {
            ++i, ++j;
            continue;
        }
        size_t end = j;
        while (end < folders.size() && !(i < items.size() && items[i]->node == folders[end])) ++end;
        beginInsertRows(at, static_cast<int>(j), static_cast<int>(end - 1));
        std::vector<std::unique_ptr<Item>> run;
        for (size_t k = j; k < end; ++k)
            run.push_back(std::make_unique<Item>(
                Item{Item::Kind::folder, parentItem.volume, folders[k], &parentItem, 0, false, {}}));
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(j), std::make_move_iterator(run.begin()),
                     std::make_move_iterator(run.end()));
        for (size_t k = j; k < items.size(); ++k) items[k]->row = static_cast<int>(k);
        endInsertRows();
        i += end - j;
        j = end;
    }
    for (auto& child : items)
        if (child->loaded) syncFolders(*child, createIndex(child->row, 0, child.get()));
}

FolderTreeModel::Item* FolderTreeModel::item(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Item*>(index.internalPointer()) : nullptr;
}

void FolderTreeModel::load(Item& parentItem) const {
    if (parentItem.loaded) return;
    parentItem.loaded = true;
    if (!parentItem.node) return;
    for (const auto& child : parentItem.node->children()) {
        if (!child->isDirectory) continue;
        parentItem.children.push_back(std::make_unique<Item>(Item{Item::Kind::folder, parentItem.volume, child,
                                                                  &parentItem,
                                                                  static_cast<int>(parentItem.children.size()),
                                                                  false, {}}));
    }
}

FileNodePtr FolderTreeModel::node(const QModelIndex& index) const {
    Item* it = item(index);
    return it ? it->node : nullptr;
}

bool FolderTreeModel::isHeader(const QModelIndex& index) const {
    Item* it = item(index);
    return it && it->kind == Item::Kind::header;
}

QModelIndex FolderTreeModel::indexOf(const FileNodePtr& folder) {
    if (!folder) return {};
    std::vector<FileNodePtr> chain;
    for (FileNodePtr node = folder; node; node = node->parent()) {
        chain.push_back(node);
        if (chain.size() > 100000) return {};  // a chain no real tree has
    }
    for (auto& section : sections_) {
        Item* current = section->children.front().get();
        if (current->node != chain.back()) continue;
        for (size_t i = chain.size() - 1; i-- > 0;) {
            load(*current);
            Item* next = nullptr;
            for (auto& child : current->children)
                if (child->node == chain[i]) {
                    next = child.get();
                    break;
                }
            if (!next) return {};
            current = next;
        }
        return createIndex(current->row, 0, current);
    }
    return {};
}

QString FolderTreeModel::sectionTitle(const Volume& volume) {
    if (volume.type == FileSystemType::carved) return QStringLiteral("Signaturfund");
    return QString::fromStdString(rawValue(volume.type) + " · " + formatBytes(volume.size));
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parentIndex) const {
    if (row < 0 || column != 0) return {};
    if (!parentIndex.isValid()) {
        if (static_cast<size_t>(row) >= sections_.size()) return {};
        return createIndex(row, 0, sections_[static_cast<size_t>(row)].get());
    }
    Item* parentItem = item(parentIndex);
    load(*parentItem);
    if (static_cast<size_t>(row) >= parentItem->children.size()) return {};
    return createIndex(row, 0, parentItem->children[static_cast<size_t>(row)].get());
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    Item* it = item(child);
    if (!it || !it->parent) return {};
    return createIndex(it->parent->row, 0, it->parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parentIndex) const {
    if (!parentIndex.isValid()) return static_cast<int>(sections_.size());
    if (parentIndex.column() != 0) return 0;
    Item* it = item(parentIndex);
    load(*it);
    return static_cast<int>(it->children.size());
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool FolderTreeModel::hasChildren(const QModelIndex& parentIndex) const {
    if (!parentIndex.isValid()) return !sections_.empty();
    Item* it = item(parentIndex);
    if (it->loaded) return !it->children.empty();
    if (!it->node) return false;
    const auto& children = it->node->children();
    return std::any_of(children.begin(), children.end(), [](auto& c) { return c->isDirectory; });
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    Item* it = item(index);
    if (!it) return {};
    const Volume& volume = *it->volume;
    switch (it->kind) {
        case Item::Kind::header:
            if (role == Qt::DisplayRole) return sectionTitle(volume);
            if (role == Qt::FontRole) return Style::font(Style::TextStyle::caption, QFont::DemiBold);
            if (role == Qt::ForegroundRole) return Style::secondaryText();
            return {};
        case Item::Kind::volume:
            if (role == Qt::DisplayRole)
                return volume.label.empty() ? QStringLiteral("Uden navn") : QString::fromStdString(volume.label);
            if (role == Qt::DecorationRole)
                return Style::symbolPixmap(volume.type == FileSystemType::carved ? "wand.and.rays"
                                                                                  : "internaldrive.fill",
                                           16, Style::fileSystemColour(volume.type));
            if (role == Qt::ToolTipRole) return plainToolTip(QString::fromStdString(volume.title()));
            return {};
        case Item::Kind::folder: {
            const FileNode& node = *it->node;
            const QColor text = Style::statusColour(node.status);
            const QColor iconColour = node.status == EntryStatus::existing ? Style::accent() : text;
            if (role == Qt::DisplayRole) return QString::fromStdString(visibleText(node.name));
            if (role == Qt::ForegroundRole) return text;
            if (role == Qt::DecorationRole) {
                // On the selection's highlight the icon takes the highlighted text's colour.
                QIcon icon(Style::symbolPixmap(symbol(node), 16, iconColour));
                icon.addPixmap(Style::symbolPixmap(symbol(node), 16, QPalette().color(QPalette::HighlightedText)),
                               QIcon::Selected);
                return icon;
            }
            if (role == Qt::ToolTipRole) return plainToolTip(QString::fromStdString(visibleText(node.name)));
            return {};
        }
    }
    return {};
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    Item* it = item(index);
    if (!it) return Qt::NoItemFlags;
    if (it->kind == Item::Kind::header) return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

namespace {

// Section headers stand a little apart from the section above them.
class SectionDelegate : public QStyledItemDelegate {
public:
    SectionDelegate(FolderTreeModel* model, QObject* parent) : QStyledItemDelegate(parent), model_(model) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (model_->isHeader(index)) size.setHeight(size.height() + 10);
        return size;
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (!model_->isHeader(index)) return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionViewItem opt = option;
        opt.rect.adjust(4, 10, 0, 0);
        opt.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver);
        QStyledItemDelegate::paint(painter, opt, index);
    }

private:
    FolderTreeModel* model_;
};

}  // namespace

FolderTree::FolderTree(SessionPtr session, std::function<void(FileNodePtr)> choose, QWidget* parent)
    : QTreeView(parent), session_(std::move(session)), choose_(std::move(choose)), model_(new FolderTreeModel(this)) {
    setModel(model_);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setUniformRowHeights(false);
    setItemDelegate(new SectionDelegate(model_, this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideRight);
    setFrameShape(QFrame::NoFrame);
    setIconSize(QSize(16, 16));
    // The sections stay open: a header folds nothing.
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (model_->isHeader(index)) expand(index);
    });
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (updating_) return;
        FileNodePtr node = model_->node(current);
        if (!node || node == shown_) return;
        shown_ = node;
        if (choose_) choose_(node);
    });
    rebuild();
}

void FolderTree::rebuild() {
    updating_ = true;
    model_->setVolumes(session_->volumes());
    for (int row = 0; row < model_->rowCount(); ++row) expand(model_->index(row, 0));
    updating_ = false;
    // The chosen row stays where the outline kept it; else it is found again.
    if (shown_ && model_->node(currentIndex()) == shown_) return;
    FileNodePtr folder = shown_;
    shown_ = nullptr;
    showFolder(folder);
}

void FolderTree::showFolder(const FileNodePtr& folder) {
    shown_ = folder;
    updating_ = true;
    QModelIndex index = model_->indexOf(folder);
    if (index.isValid()) {
        for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) expand(up);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        scrollTo(index);
    } else {
        selectionModel()->clearSelection();
        selectionModel()->setCurrentIndex({}, QItemSelectionModel::NoUpdate);
    }
    updating_ = false;
}

}  // namespace sovanta::app
