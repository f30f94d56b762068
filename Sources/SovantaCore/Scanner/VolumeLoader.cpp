#include "SovantaCore/APFS.h"
#include "SovantaCore/ExFAT.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/HFSPlus.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Scanner.h"

namespace sovanta::VolumeLoader {

namespace {
std::vector<VolumePtr> list(std::optional<VolumePtr> volume) {
    if (!volume) return {};
    return {*volume};
}
}  // namespace

std::vector<VolumePtr> load(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress, const Bytes* boot) {
    switch (type) {
        case FileSystemType::fat12:
        case FileSystemType::fat16:
        case FileSystemType::fat32: return list(FATParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::exfat: return list(ExFATParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::ntfs: return list(NTFSParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::hfsplus: return list(HFSPlusParser::parse(source, offset, origin, progress));
        case FileSystemType::apfs: return APFSParser::parse(source, offset, origin, progress);
        case FileSystemType::ext:
        case FileSystemType::carved:
        case FileSystemType::unknown: return {};
    }
    return {};
}

}  // namespace sovanta::VolumeLoader
