// The session's volumes and their folders as a sidebar outline: a section per
// volume, the volume's row standing for its root, its folders below, loaded as
// they are unfolded. Files never appear.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QAbstractItemModel>
#include <QTreeView>

#include "SovantaApp/Models/Session.h"

namespace sovanta::app {

class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit FolderTreeModel(QObject* parent = nullptr);
    ~FolderTreeModel() override;

    // The outline of the volumes: sections of volumes that stay keep their
    // rows and what is unfolded, with rows announced for the folders a merge
    // added below loaded ones; new volumes come in folded. Built anew only
    // when the volumes that stay changed their order.
    void setVolumes(const std::vector<VolumePtr>& volumes);
    // The node a row stands for; null for a section header.
    FileNodePtr node(const QModelIndex& index) const;
    // The row of a folder, unfolding the way to it; invalid when the folder
    // lies in none of the volumes.
    QModelIndex indexOf(const FileNodePtr& folder);
    bool isHeader(const QModelIndex& index) const;

    // "Signaturfund", or the file system's text, " · " and the size.
    static QString sectionTitle(const Volume& volume);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Item;
    Item* item(const QModelIndex& index) const;
    void load(Item& item) const;
    static std::unique_ptr<Item> section(const VolumePtr& volume, int row);
    void syncFolders(Item& item, const QModelIndex& parentIndex);
    std::vector<std::unique_ptr<Item>> sections_;
    std::vector<VolumePtr> volumes_;
};

class FolderTree : public QTreeView {
    Q_OBJECT
public:
    FolderTree(SessionPtr session, std::function<void(FileNodePtr)> choose, QWidget* parent = nullptr);
    // Follows the session's volumes: what is unfolded and the chosen row stay.
    void rebuild();
    // Shows the folder as the chosen row (no row when it is in no volume).
    void showFolder(const FileNodePtr& folder);
    FolderTreeModel* folderModel() const { return model_; }

private:
    SessionPtr session_;
    std::function<void(FileNodePtr)> choose_;
    FolderTreeModel* model_;
    FileNodePtr shown_;
    bool updating_ = false;
};

}  // namespace sovanta::app
