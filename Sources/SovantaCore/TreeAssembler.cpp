#include "SovantaCore/TreeAssembler.h"

namespace sovanta {

const FileNodePtr& OrphanFolder::folder() {
    if (!folder_) {
        folder_ = FileNode::make(treetext::orphanFolderName, true, 0, EntryStatus::orphaned, Recoverability::unknown,
                                 NoData{});
        folder_->fsID = 0;
    }
    return folder_;
}

void OrphanFolder::adopt(const FileNodePtr& node) {
    if (markOrphaned_ && node->status == EntryStatus::existing) node->status = EntryStatus::orphaned;
    folder()->add(node);
}

void OrphanFolder::attachTo(FileNode& root) const {
    if (folder_) root.add(folder_);
}

void markDeletedBelow(FileNode& root) {
    std::vector<FileNode*> stack = {&root};
    while (!stack.empty()) {
        FileNode* folder = stack.back();
        stack.pop_back();
        for (auto& child : folder->children()) {
            if (folder->status == EntryStatus::deleted && child->status == EntryStatus::existing)
                child->status = EntryStatus::deleted;
            if (child->isDirectory) stack.push_back(child.get());
        }
    }
}

}  // namespace sovanta
