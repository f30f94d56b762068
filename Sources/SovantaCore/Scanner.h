// The quick scan, the volume loader, and the deep scan.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Carver.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Partitions.h"

namespace sovanta {

namespace VolumeLoader {
// The one dispatch from a file-system type and an absolute byte offset to its
// reader. boot is the volume's first sector when the caller already has it.
// Every volume it returns has passed through bound.
std::vector<VolumePtr> load(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

// Holds a volume's files to what the volume and the source can hold, with a
// note on each file it changes: a size larger than the volume, or than the
// bytes the source holds from the volume's start, is cut to the smaller of
// the two (rated partial at best); a file placed partly past the source's end
// is rated partial at best, one that starts past it poor. A volume larger
// than the source holds gets a note of its own. Run it once per volume, on a
// volume a reader has just built.
void bound(const DiskSource& source, Volume& volume);
// The same for the files below top, a folder found for the volume later (the
// deep scan's lost folders and old-node finds) before it joins the volume.
void bound(const DiskSource& source, const Volume& volume, FileNode& top);
}  // namespace VolumeLoader

// What the quick scan found: the layout as read, every volume found in entry
// order, and the layout's notes followed by one per recognised entry that
// gave no volume.
struct QuickScanResult {
    PartitionLayout layout;
    std::vector<VolumePtr> volumes;
    std::vector<std::string> notes;
};

namespace QuickScanner {
// Reads the partition layout and runs the matching reader on every entry whose
// file system was recognised; cancellation is noticed before each entry.
QuickScanResult run(DiskSource& source, WorkProgress& progress);
}  // namespace QuickScanner

// MARK: Deep scan

struct DeepScanOptions {
    bool carve = true;
    std::set<FileCategory> categories{allFileCategories().begin(), allFileCategories().end()};
    bool findVolumes = true;
};

struct DeepScanStats {
    uint64_t position = 0;
    uint64_t total = 0;
    int64_t filesFound = 0;
    int64_t bootSectors = 0;
    int64_t mftRecords = 0;
    double rate = 0;
    int64_t badSectors = 0;
    double elapsed = 0;
    std::map<std::string, int64_t> byExtension;

    double fraction() const { return total == 0 ? 0 : static_cast<double>(position) / static_cast<double>(total); }
    std::optional<double> eta() const {
        if (rate > 1 && position < total) return static_cast<double>(total - position) / rate;
        return std::nullopt;
    }
};

struct FoundBoot {
    uint64_t offset = 0;
    FileSystemType type = FileSystemType::unknown;
    Bytes sector;
};

struct DeepScanResult {
    std::vector<CarvedFile> carved;
    std::vector<FoundBoot> boots;
    std::vector<uint64_t> hfsHeaders;
    std::vector<uint64_t> nxsb;
    std::vector<uint64_t> mftRecords;
    std::vector<uint64_t> fatDirSectors;
    std::vector<uint64_t> apfsLeafNodes;
    bool completed = false;
    uint64_t scannedUpTo = 0;
};

// What one deep scan gives, attached to nothing yet: the sweep's finds, the
// new volumes built from them, folders each meant for the root of the volume
// it is paired with, and the volume of carved files when any were carved.
struct DeepScanOutcome {
    DeepScanResult result;
    std::vector<VolumePtr> volumes;
    std::vector<std::pair<VolumePtr, FileNodePtr>> folders;
    std::optional<VolumePtr> carved;
};

// One pass over the whole source for lost structures and carvable files, and
// the steps that turn its finds into volumes and folders.
class DeepScanner {
public:
    // The scanner shares the source with whoever else reads it (an imager, a
    // session's previews), so that it stays open while the sweep runs.
    DeepScanner(DiskSourcePtr src, DeepScanOptions options = {}) : src_(std::move(src)), options_(std::move(options)) {}

    // Sweeps the source; onUpdate (when given) receives the statistics on the
    // calling thread about every 0.3 s and once at the end.
    DeepScanResult run(WorkProgress& reporter, const std::function<void(const DeepScanStats&)>& onUpdate = {});

    // The whole deep scan in one call: the sweep, the volumes from its finds
    // that none of known accounts for, the folders for the known and the new
    // volumes, and the volume of carved files. onSwept (when given) is called
    // once, on the calling thread, between the sweep and the building steps,
    // which report through reporter and, after a cancelled sweep too, build
    // from every find of the swept part.
    // Nothing is attached to the known volumes: the caller adds the folders
    // where it owns the trees.
    DeepScanOutcome scan(const std::vector<VolumePtr>& known, WorkProgress& reporter,
                         const std::function<void(const DeepScanStats&)>& onUpdate = {},
                         const std::function<void(const DeepScanResult&)>& onSwept = {});

    // Volumes at the found boot sectors, HFS+ headers and APFS superblocks that
    // no known volume accounts for, and one rebuilt from orphan MFT records.
    static std::vector<VolumePtr> buildVolumes(DiskSource& src, const DeepScanResult& result,
                                               const std::vector<VolumePtr>& known, WorkProgress& progress);
    // Folders for known volumes: lost FAT directory fragments and deleted APFS
    // entries from old tree nodes. Each folder is meant for its volume's root.
    static std::vector<std::pair<VolumePtr, FileNodePtr>> extraFolders(DiskSource& src,
                                                                      const std::vector<VolumePtr>& volumes,
                                                                      const DeepScanResult& result,
                                                                      WorkProgress& progress);
    // One volume of all carved files, grouped by extension.
    static VolumePtr carvedVolume(const std::vector<CarvedFile>& files);

    // The name a carved file gets: its capture date (when known), "f", its sector and its extension.
    static std::string carvedName(const CarvedFile& file);

private:
    void scanStructures(ByteSpan chunk, size_t position, uint64_t absolute, DeepScanResult& result);

    const DiskSourcePtr src_;
    const DeepScanOptions options_;
};

}  // namespace sovanta
