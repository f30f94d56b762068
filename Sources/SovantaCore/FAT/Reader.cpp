#include "SovantaCore/FAT.h"
#include "SovantaCore/FAT/Context.h"
#include "SovantaCore/FAT/Layout.h"
#include "SovantaCore/FAT/Walker.h"
#include "SovantaCore/Partitions.h"

namespace sovanta::FATParser {

std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin, WorkProgress* progress,
                               const Bytes* boot) {
    Bytes read;
    if (!boot) {
        read = source.read(offset, 512);
        boot = &read;
    }
    auto type = FSProbe::detectBootSector(*boot, 0);
    if (type != FileSystemType::fat12 && type != FileSystemType::fat16 && type != FileSystemType::fat32)
        return std::nullopt;
    auto ctx = FATContext::make(source, offset, *boot, *type);
    if (!ctx) return std::nullopt;

    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown);
    auto volume = Volume::make(*type, ctx->label, offset, ctx->volumeSize, root, origin);
    volume->clusterSize = ctx->clusterSize;

    FATWalker walker(*ctx, progress);
    walker.deferDeletedFolders();
    if (*type == FileSystemType::fat32) {
        walker.readDirectoryChain(ctx->rootCluster, root, false, 0, true);
    } else {
        Bytes bytes = ctx->read({{ctx->rootDirOffset, ctx->rootDirSize}});
        auto folders = walker.parseEntries(bytes, root, false, true);
        Bytes().swap(bytes);
        walker.readFolders(folders, 0);
    }
    walker.readDeferredFolders();
    if (walker.label && !walker.label->empty()) volume->label = *walker.label;

    auto info = std::make_shared<FATDeepInfo>();
    info->geometry = *ctx;
    info->claimed = std::move(walker.claimed);
    volume->deepContext = info;

    if (ctx->fatUnavailable) volume->notes = {fat::fatUnavailableNote};
    if (walker.budgetExceeded) volume->notes.push_back(fat::crossLinkedNote);
    root->sortChildren();
    return volume;
}

}  // namespace sovanta::FATParser
