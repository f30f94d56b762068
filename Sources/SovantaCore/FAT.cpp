#include "SovantaCore/FAT.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/Partitions.h"

namespace sovanta {

namespace {

// Boot sector fields.
constexpr int64_t bootBytesPerSector = 11;
constexpr int64_t bootSectorsPerCluster = 13;
constexpr int64_t bootReservedSectors = 14;
constexpr int64_t bootFATCount = 16;
constexpr int64_t bootRootEntries = 17;
constexpr int64_t bootTotalSectors16 = 19;
constexpr int64_t bootFATSize16 = 22;
constexpr int64_t bootTotalSectors32 = 32;
constexpr int64_t bootFATSize32 = 36;
constexpr int64_t bootLabel16 = 43;
constexpr int64_t bootRootCluster = 44;
constexpr int64_t bootLabel32 = 71;

// Short directory entry fields.
constexpr size_t entrySize = 32;
constexpr int64_t dirAttributes = 11;
constexpr int64_t dirCaseFlags = 12;
constexpr int64_t dirCreateTenths = 13;
constexpr int64_t dirCreateTime = 14;
constexpr int64_t dirCreateDate = 16;
constexpr int64_t dirClusterHigh = 20;
constexpr int64_t dirModifyTime = 22;
constexpr int64_t dirModifyDate = 24;
constexpr int64_t dirClusterLow = 26;
constexpr int64_t dirFileSize = 28;
constexpr int64_t lfnChecksum = 13;

constexpr uint8_t attrDirectory = 0x10;
constexpr uint8_t deletedMark = 0xE5;

constexpr uint32_t maxClusterCount = 0x0FFFFFF5;
constexpr uint64_t maxFATBytes = 805306368;          // 768 MiB
constexpr uint64_t maxLiveDirectoryBytes = 67108864;  // 64 MiB
constexpr uint64_t maxDeletedDirectoryClusters = 16;
constexpr uint64_t maxTestedClusters = 1048576;
constexpr int maxDepth = 63;
constexpr size_t maxFragmentRun = 64;

constexpr const char* fatUnavailableNote = "FAT-tabellen kunne ikke læses – filer antages at ligge sammenhængende.";
constexpr const char* overwrittenFolderNote = "Mappens indhold er overskrevet";
constexpr const char* crossLinkedNote = "Mapperne deler klynger med hinanden – ikke alle mapper blev læst.";

std::string trimBlanks(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

bool isForbiddenShortNameByte(uint8_t c) {
    switch (c) {
        case 0x22: case 0x2A: case 0x2B: case 0x2C: case 0x2F: case 0x3A: case 0x3B: case 0x3C:
        case 0x3D: case 0x3E: case 0x3F: case 0x5B: case 0x5C: case 0x5D: case 0x7C: return true;
        default: return false;
    }
}

uint8_t shortNameChecksum(const uint8_t* name) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

struct LongNamePiece {
    std::string text;
    uint8_t checksum;
    bool deleted;
    uint8_t ord;
};

struct PendingFolder {
    FileNodePtr node;
    uint32_t cluster;
    bool deleted;
};

// One traversal of a volume's directories.
class FATWalker {
public:
    FATWalker(const FATContext& ctx, WorkProgress* progress) : ctx_(ctx), progress_(progress) {
        // Live directory chains of a sound volume never share clusters, so all
        // of them together hold at most every cluster once.
        liveClusterBudget_ = uint64_t{ctx.clusterCount} + 1;
    }

    std::unordered_set<uint32_t> visited;
    std::unordered_set<uint32_t> claimed;
    std::optional<std::string> label;
    int64_t directoriesRead = 0;
    bool budgetExceeded = false;
    // Reading the fragments of directories whose own entries were lost.
    bool inLostFragments = false;

    void readDirectoryChain(uint32_t start, const FileNodePtr& into, bool deleted, int depth, bool isRoot) {
        if (depth > maxDepth || !ctx_.isValidCluster(start)) return;
        if (progress_ && progress_->isCancelled()) return;
        if (deleted && liveClaimed_.count(start)) {
            into->note = overwrittenFolderNote;
            return;
        }
        if (visited.count(start)) return;
        visited.insert(start);
        ++directoriesRead;
        if (progress_ && directoriesRead % 50 == 0)
            progress_->report(0, "Læser mapper … (" + std::to_string(directoriesRead) + ")");

        Bytes bytes;
        if (!deleted) {
            uint64_t maxClusters = ctx_.clusterSize > maxLiveDirectoryBytes ? 1 : maxLiveDirectoryBytes / ctx_.clusterSize;
            auto chain = ctx_.chain(start, maxClusters);
            if (chain.clusters.size() > liveClusterBudget_) {
                budgetExceeded = true;
                chain.clusters.resize(liveClusterBudget_);
            }
            liveClusterBudget_ -= chain.clusters.size();
            if (chain.clusters.empty()) return;
            for (uint32_t c : chain.clusters) claimed.insert(c);
            bytes = ctx_.read(ctx_.extents(chain.clusters, chain.clusters.size() * ctx_.clusterSize));
        } else {
            for (uint64_t i = 0; i < maxDeletedDirectoryClusters; ++i) {
                uint64_t cluster = uint64_t{start} + i;
                if (i > 0 && (!ctx_.isValidCluster(cluster) || (!ctx_.fatUnavailable &&
                                                                 ctx_.entry(static_cast<uint32_t>(cluster)) != 0)))
                    break;
                Bytes piece = ctx_.readCluster(static_cast<uint32_t>(cluster));
                if (i == 0 && !(matches(piece, ".          ", 0) && (u8(piece, dirAttributes) & attrDirectory))) {
                    into->note = overwrittenFolderNote;
                    return;
                }
                claimed.insert(static_cast<uint32_t>(cluster));
                bytes.insert(bytes.end(), piece.begin(), piece.end());
                bool ended = false;
                for (size_t e = 0; e + entrySize <= piece.size() && !ended; e += entrySize) ended = piece[e] == 0;
                if (ended) break;
            }
        }
        auto folders = parseEntries(bytes, into, deleted, isRoot);
        Bytes().swap(bytes);  // not held while the subfolders are read
        readFolders(folders, depth);
    }

    // The entries of one directory's bytes become children of into; the
    // folders among them are returned for reading after the last entry.
    std::vector<PendingFolder> parseEntries(ByteSpan bytes, const FileNodePtr& into, bool deleted, bool isRoot) {
        std::vector<PendingFolder> folders;
        std::vector<LongNamePiece> pieces;
        for (size_t off = 0; off + entrySize <= bytes.size(); off += entrySize) {
            ByteSpan e = bytes.subspan(off, entrySize);
            uint8_t first = e[0];
            if (first == 0) break;
            uint8_t attributes = e[dirAttributes];
            if ((attributes & 0x3F) == 0x0F) {
                pieces.push_back({lfnText(e), e[lfnChecksum], first == deletedMark, first});
                continue;
            }
            if ((attributes & 0x18) == 0x08) {
                if (isRoot && first != deletedMark && !label) label = trimBlanks(ascii(e, 0, 11));
                pieces.clear();
                continue;
            }
            uint8_t name[11];
            std::copy(e.begin(), e.begin() + 11, name);
            if (name[0] == 0x05) name[0] = deletedMark;
            bool entryDeleted = first == deletedMark;
            std::string shortName = formatShortName(name, e[dirCaseFlags], entryDeleted);
            auto longName = assembleLongName(pieces, e.data(), name, entryDeleted);
            pieces.clear();
            if (shortName == "." || shortName == ".." || !isPlausible(name, entryDeleted)) continue;

            uint32_t cluster = u16le(e, dirClusterLow);
            if (ctx_.type == FileSystemType::fat32) cluster |= uint32_t{u16le(e, dirClusterHigh)} << 16;
            bool isDirectory = attributes & attrDirectory;
            uint64_t size = isDirectory ? 0 : u32le(e, dirFileSize);
            bool isDeleted = entryDeleted || deleted;
            auto node = FileNode::make(longName ? *longName : shortName, isDirectory, size,
                                       isDeleted ? EntryStatus::deleted : EntryStatus::existing,
                                       isDirectory ? Recoverability::unknown : Recoverability::good);
            node->modified = dosTime(u16le(e, dirModifyDate), u16le(e, dirModifyTime));
            node->created = dosTime(u16le(e, dirCreateDate), u16le(e, dirCreateTime));
            node->fsID = cluster;
            if (isDirectory) {
                into->add(node);
                if (cluster != 0) folders.push_back({node, cluster, isDeleted});
            } else {
                fillFileData(*node, cluster, size, isDeleted, entryDeleted);
                into->add(node);
            }
        }
        return folders;
    }

    void readFolders(const std::vector<PendingFolder>& folders, int depth) {
        for (auto& f : folders) {
            if (f.deleted && deferDeleted_)
                deferred_.push_back({f, depth + 1});
            else
                readDirectoryChain(f.cluster, f.node, f.deleted, depth + 1, false);
        }
    }

    // A deleted folder's first cluster may since have been given to a live
    // folder (a moved folder leaves such an entry behind). Were the deleted
    // one read first, it would take the live folder's entries as its own and
    // leave the live folder empty; so live folders are all read first, and a
    // deleted folder is read only once the live tree is complete.
    void deferDeletedFolders() { deferDeleted_ = true; }

    // Reads the deleted folders held back during the live walk. A deleted
    // folder that starts in a live directory's cluster is shown empty.
    void readDeferredFolders() {
        deferDeleted_ = false;
        liveClaimed_ = claimed;
        for (auto& [f, depth] : deferred_) readDirectoryChain(f.cluster, f.node, true, depth, false);
        deferred_.clear();
    }

private:
    // TimeConversion::fromDOS asks the C library for the local zone on every
    // call, which costs more than the rest of a directory entry. A zone's
    // offset is the same through an hour of a day, so the start of each hour
    // is converted once and the minutes and seconds are added to it.
    std::optional<Date> dosTime(uint16_t date, uint16_t time) {
        uint16_t minute = (time >> 5) & 0x3F;
        if (date == 0 || minute > 59) return std::nullopt;
        uint32_t key = (uint32_t{date} << 5) | (time >> 11);
        auto it = hourStarts_.find(key);
        if (it == hourStarts_.end())
            it = hourStarts_.emplace(key, TimeConversion::fromDOS(date, static_cast<uint16_t>(time & 0xF800))).first;
        if (!it->second) return std::nullopt;
        return *it->second + std::chrono::seconds(minute * 60 + (time & 0x1F) * 2);
    }

    void fillFileData(FileNode& node, uint32_t cluster, uint64_t size, bool deleted, bool entryDeleted) {
        if (size == 0) {
            node.recoverability = Recoverability::good;
            node.data = std::vector<Extent>{};
            return;
        }
        if (!ctx_.isValidCluster(cluster)) {
            node.recoverability = Recoverability::poor;
            node.note = "Ugyldig startklynge";
            return;
        }
        uint64_t needed = (size + ctx_.clusterSize - 1) / ctx_.clusterSize;
        if (!deleted) {
            auto chain = ctx_.chain(cluster, needed);
            node.data = ctx_.extents(chain.clusters, size);
            if (chain.clusters.size() >= needed) {
                node.recoverability = Recoverability::good;
            } else {
                node.recoverability = Recoverability::partial;
                node.note = "Klyngekæden er afbrudt";
            }
            return;
        }
        if (inLostFragments && !entryDeleted && ownsChain(cluster, needed, node)) return;
        // The FAT no longer describes a deleted file: take it as contiguous.
        uint64_t available = std::min(uint64_t{ctx_.clusterCount} + 2 - cluster, needed);
        node.data = std::vector<Extent>{{ctx_.clusterOffset(cluster), std::min(available * ctx_.clusterSize, size)}};
        uint64_t inUse = ctx_.clustersInUse(cluster, std::min(available, maxTestedClusters));
        if (available == needed && inUse == 0) {
            node.recoverability = Recoverability::good;
        } else if (!ctx_.fatUnavailable && ctx_.entry(cluster) != 0) {
            node.recoverability = Recoverability::poor;
            node.note = "Startklyngen er genbrugt af en anden fil";
        } else {
            node.recoverability = Recoverability::partial;
            node.note = "Dele af filen kan være overskrevet";
        }
    }

    // A file whose entry was never deleted but whose folder was lost (its
    // name lived in a destroyed directory) usually still owns its chain: one
    // of exactly the clusters it needs, closed by an end-of-chain mark. Such a
    // file is read by that chain, which also places its fragments right;
    // rating it by the contiguous test would call its own clusters reused.
    bool ownsChain(uint32_t cluster, uint64_t needed, FileNode& node) const {
        if (ctx_.fatUnavailable) return false;
        auto chain = ctx_.chain(cluster, needed);
        if (chain.clusters.size() != needed || ctx_.entry(chain.clusters.back()) < ctx_.endOfChain()) return false;
        node.data = ctx_.extents(chain.clusters, node.size);
        node.recoverability = Recoverability::good;
        return true;
    }

    static std::string formatShortName(const uint8_t* name, uint8_t flags, bool deleted) {
        auto part = [&](int from, int to, bool lower) {
            std::string s;
            for (int i = from; i < to; ++i) {
                uint8_t c = name[i];
                if (c == 0x20) continue;
                char ch = (c < 0x20 || c > 0x7E) ? '_' : static_cast<char>(c);
                if (lower && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
                s += ch;
            }
            return s;
        };
        std::string base = part(0, 8, flags & 0x08);
        std::string extension = part(8, 11, flags & 0x10);
        if (deleted && !base.empty()) base[0] = '_';
        return extension.empty() ? base : base + "." + extension;
    }

    static std::string lfnText(ByteSpan e) {
        static const int slots[3][2] = {{1, 5}, {14, 6}, {28, 2}};
        Bytes units;
        for (auto& slot : slots) {
            for (int i = 0; i < slot[1]; ++i) {
                int64_t o = slot[0] + 2 * i;
                uint16_t u = u16le(e, o);
                if (u == 0x0000 || u == 0xFFFF || o + 2 > static_cast<int64_t>(e.size())) return decode(units);
                units.push_back(e[static_cast<size_t>(o)]);
                units.push_back(e[static_cast<size_t>(o) + 1]);
            }
        }
        return decode(units);
    }

    static std::string decode(const Bytes& units) {
        return utf16le(units, 0, static_cast<int64_t>(units.size() / 2));
    }

    static std::optional<std::string> assembleLongName(const std::vector<LongNamePiece>& pieces, const uint8_t* onDisk,
                                                       const uint8_t* name, bool deleted) {
        if (pieces.empty()) return std::nullopt;
        uint8_t checksum = pieces.front().checksum;
        for (auto& p : pieces)
            if (p.deleted != deleted || p.checksum != checksum) return std::nullopt;
        if (!deleted) {
            if (shortNameChecksum(onDisk) != checksum || !(pieces.front().ord & 0x40)) return std::nullopt;
            for (size_t i = 0; i < pieces.size(); ++i)
                if ((pieces[i].ord & 0x1F) != pieces.size() - i) return std::nullopt;
        } else {
            // The first name byte is lost; any printable one that fits the checksum will do.
            uint8_t copy[11];
            std::copy(name, name + 11, copy);
            bool found = false;
            for (int c = 0x20; c <= 0x7E && !found; ++c) {
                copy[0] = static_cast<uint8_t>(c);
                found = shortNameChecksum(copy) == checksum;
            }
            if (!found) return std::nullopt;
        }
        std::string text;
        for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) text += it->text;
        if (text.empty()) return std::nullopt;
        return text;
    }

    static bool isPlausible(const uint8_t* name, bool deleted) {
        bool allBlank = true;
        for (int i = 0; i < 11; ++i) {
            uint8_t c = name[i];
            if (c != 0x20) allBlank = false;
            if (i == 0 && deleted) continue;
            if (c != 0x05 && (c < 0x20 || isForbiddenShortNameByte(c))) return false;
        }
        return !allBlank;
    }

    const FATContext& ctx_;
    WorkProgress* progress_;
    uint64_t liveClusterBudget_ = 0;
    bool deferDeleted_ = false;
    std::vector<std::pair<PendingFolder, int>> deferred_;
    std::unordered_set<uint32_t> liveClaimed_;
    std::unordered_map<uint32_t, std::optional<Date>> hourStarts_;
};

}  // namespace

// MARK: FATContext

FATContext::FATContext(DiskSource& source, uint64_t base_, FileSystemType type_)
    : src(source), base(base_), type(type_) {}

std::shared_ptr<FATContext> FATContext::make(DiskSource& source, uint64_t base, ByteSpan boot, FileSystemType type) {
    auto ctx = std::make_shared<FATContext>(source, base, type);
    ctx->keepAlive_ = source.weak_from_this().lock();

    uint64_t bps = u16le(boot, bootBytesPerSector);
    uint64_t spc = u8(boot, bootSectorsPerCluster);
    uint64_t reserved = u16le(boot, bootReservedSectors);
    uint64_t fats = u8(boot, bootFATCount);
    uint64_t rootEntries = u16le(boot, bootRootEntries);
    uint64_t total = u16le(boot, bootTotalSectors16);
    if (total == 0) total = u32le(boot, bootTotalSectors32);
    uint64_t fatSize = u16le(boot, bootFATSize16);
    if (fatSize == 0) fatSize = u32le(boot, bootFATSize32);
    if (spc == 0 || bps == 0) return nullptr;

    // Every term is a 16- or 32-bit field: these 64-bit sums and products cannot wrap.
    uint64_t rootDirBytes = rootEntries * 32;
    uint64_t rootDirSectors = (rootDirBytes + bps - 1) / bps;
    uint64_t firstDataSector = reserved + fatSize * fats + rootDirSectors;
    if (total <= firstDataSector) return nullptr;
    if (base > std::numeric_limits<uint64_t>::max() - total * bps) return nullptr;

    ctx->bps = bps;
    ctx->clusterSize = bps * spc;
    ctx->fatOffset = base + reserved * bps;
    ctx->rootDirOffset = base + (reserved + fatSize * fats) * bps;
    ctx->rootDirSize = rootDirBytes;
    ctx->dataOffset = base + firstDataSector * bps;
    ctx->clusterCount = static_cast<uint32_t>(std::min<uint64_t>((total - firstDataSector) / spc, maxClusterCount));
    ctx->volumeSize = bps * total;
    if (type == FileSystemType::fat32 && boot.size() >= 48) ctx->rootCluster = u32le(boot, bootRootCluster) & 0x0FFFFFFF;

    std::string label = trimBlanks(ascii(boot, type == FileSystemType::fat32 ? bootLabel32 : bootLabel16, 11));
    ctx->label = label == "NO NAME" ? "" : label;

    switch (type) {
        case FileSystemType::fat12: ctx->endOfChain_ = 0xFF8; break;
        case FileSystemType::fat16: ctx->endOfChain_ = 0xFFF8; break;
        default: ctx->endOfChain_ = 0x0FFFFFF8; break;
    }

    uint64_t fatBytes = fatSize * bps;
    if (fatBytes == 0 || fatBytes > maxFATBytes) {
        ctx->fatUnavailable = true;
        return ctx;
    }
    // Entries past the last cluster are never consulted; nor is what lies
    // past the volume or the source (it would read as free).
    uint64_t entries = uint64_t{ctx->clusterCount} + 2;
    uint64_t wanted = type == FileSystemType::fat12 ? entries * 3 / 2 + 2
                      : type == FileSystemType::fat16 ? entries * 2 : entries * 4;
    wanted = std::min(wanted, fatBytes);
    auto first = FileReader::readRegion(source, {{ctx->fatOffset, wanted}}, wanted, ctx->volumeRange());
    if (first.badBytes > 0 && fats >= 2) {
        // Sectors that could not be read came back as zeros; the second copy
        // may still hold them.
        Bytes second = ctx->read({{ctx->fatOffset + fatBytes, first.bytes.size()}});
        ByteSpan a(first.bytes), b(second);
        for (uint64_t step = 0; step < b.size(); step += bps) {
            int64_t o = static_cast<int64_t>(step), n = static_cast<int64_t>(std::min<uint64_t>(bps, b.size() - step));
            if (isAllZero(a, o, n) && !isAllZero(b, o, n))
                std::copy(second.begin() + o, second.begin() + o + n, first.bytes.begin() + o);
        }
    }
    ctx->fat = std::move(first.bytes);
    switch (type) {
        case FileSystemType::fat12: ctx->tableEntries_ = ctx->fat.size() * 2 / 3; break;
        case FileSystemType::fat16: ctx->tableEntries_ = ctx->fat.size() / 2; break;
        default: ctx->tableEntries_ = ctx->fat.size() / 4; break;
    }
    return ctx;
}

ByteRange FATContext::volumeRange() const { return {base, base + volumeSize}; }

Bytes FATContext::read(const std::vector<Extent>& extents) const {
    uint64_t total = 0;
    for (auto& extent : extents) total += extent.length;
    return FileReader::readRegion(src, extents, total, volumeRange()).bytes;
}

Bytes FATContext::readCluster(uint32_t cluster) const { return read({{clusterOffset(cluster), clusterSize}}); }

uint32_t FATContext::entry(uint32_t n) const {
    uint64_t c = n;
    switch (type) {
        case FileSystemType::fat12: {
            uint64_t o = c + c / 2;
            if (o + 2 > fat.size()) return 0;
            uint16_t v = u16le(fat, static_cast<int64_t>(o));
            return (c & 1) ? v >> 4 : v & 0xFFF;
        }
        case FileSystemType::fat16: return u16le(fat, static_cast<int64_t>(2 * c));
        default: return u32le(fat, static_cast<int64_t>(4 * c)) & 0x0FFFFFFF;
    }
}

FATContext::Chain FATContext::chain(uint32_t start, uint64_t maxClusters) const {
    Chain result;
    if (!isValidCluster(start)) return result;
    if (fatUnavailable) {
        uint64_t count = std::max<uint64_t>(1, std::min<uint64_t>(maxClusters, uint64_t{clusterCount} + 2 - start));
        result.clusters.reserve(count);
        for (uint64_t i = 0; i < count; ++i) result.clusters.push_back(static_cast<uint32_t>(start + i));
        result.complete = true;
        return result;
    }
    // Only clusters the table describes can lead on; any other ends the chain
    // right after it, so the marks need to cover just those.
    if (marks_.empty()) marks_.assign(std::min<uint64_t>(tableEntries_, uint64_t{clusterCount} + 2) / 64 + 1, 0);
    auto marked = [&](uint32_t c) { return c / 64 < marks_.size() && (marks_[c / 64] >> (c % 64)) & 1; };
    auto mark = [&](uint32_t c) {
        if (c / 64 < marks_.size()) marks_[c / 64] ^= uint64_t{1} << (c % 64);
    };

    const uint64_t limit = std::min<uint64_t>(maxClusters, clusterCount);
    uint32_t current = start;
    while (true) {
        if (!isValidCluster(current) || result.clusters.size() >= limit || marked(current)) {
            result.complete = result.clusters.size() >= limit;
            break;
        }
        result.clusters.push_back(current);
        mark(current);
        uint32_t next = entry(current);
        if (next >= endOfChain_) {
            result.complete = true;
            break;
        }
        if (next > 1 && isValidCluster(next)) {
            current = next;
            continue;
        }
        result.complete = false;
        break;
    }
    for (uint32_t c : result.clusters) mark(c);  // clears them again
    return result;
}

std::vector<Extent> FATContext::extents(const std::vector<uint32_t>& clusters, uint64_t size) const {
    std::vector<Extent> out;
    uint64_t owed = size;
    size_t i = 0;
    while (i < clusters.size() && owed > 0) {
        size_t j = i + 1;
        while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
        uint64_t length = std::min<uint64_t>(owed, (j - i) * clusterSize);
        out.push_back({clusterOffset(clusters[i]), length});
        owed -= length;
        i = j;
    }
    return out;
}

uint64_t FATContext::clustersInUse(uint32_t first, uint64_t count) const {
    if (fatUnavailable || count == 0) return 0;
    // One bit per cluster the table describes (entries beyond it read as free)
    // and a running count per 64 clusters: each question is then two lookups.
    if (usedBits_.empty()) {
        uint64_t n = std::min<uint64_t>(tableEntries_, uint64_t{clusterCount} + 2);
        usedBits_.assign(n / 64 + 1, 0);
        for (uint64_t c = 2; c < n; ++c)
            if (entry(static_cast<uint32_t>(c)) != 0) usedBits_[c / 64] |= uint64_t{1} << (c % 64);
        usedRank_.assign(usedBits_.size() + 1, 0);
        for (size_t w = 0; w < usedBits_.size(); ++w)
            usedRank_[w + 1] = usedRank_[w] + static_cast<uint64_t>(std::popcount(usedBits_[w]));
    }
    auto rank = [&](uint64_t x) {
        uint64_t w = std::min<uint64_t>(x / 64, usedBits_.size());
        if (w == usedBits_.size()) return usedRank_[w];
        uint64_t low = usedBits_[w] & ((uint64_t{1} << (x % 64)) - 1);
        return usedRank_[w] + static_cast<uint64_t>(std::popcount(low));
    };
    return rank(uint64_t{first} + count) - rank(first);
}

// MARK: FATParser

namespace FATParser {

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
    info->ctx = ctx;
    info->claimed = std::move(walker.claimed);
    volume->deepContext = info;

    if (ctx->fatUnavailable) volume->notes = {fatUnavailableNote};
    if (walker.budgetExceeded) volume->notes.push_back(crossLinkedNote);
    root->sortChildren();
    return volume;
}

std::optional<FileNodePtr> lostEntries(Volume& volume, const std::vector<uint64_t>& sectors, WorkProgress* progress) {
    auto* held = std::any_cast<std::shared_ptr<FATDeepInfo>>(&volume.deepContext);
    if (!held || !*held || !(*held)->ctx) return std::nullopt;
    FATDeepInfo& info = **held;
    const FATContext& ctx = *info.ctx;

    const uint64_t dataEnd = ctx.dataOffset + uint64_t{ctx.clusterCount} * ctx.clusterSize;
    std::vector<uint32_t> candidates;
    for (uint64_t s : sectors) {
        if (s < ctx.dataOffset || s >= dataEnd) continue;
        uint32_t cluster = static_cast<uint32_t>((s - ctx.dataOffset) / ctx.clusterSize + 2);
        if (!info.claimed.count(cluster)) candidates.push_back(cluster);
    }
    if (candidates.empty()) return std::nullopt;
    // Several sectors of one cluster name it once.
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    auto folder = FileNode::make(lostFolderName, true, 0, EntryStatus::orphaned, Recoverability::unknown);
    FATWalker walker(ctx, progress);
    walker.visited = info.claimed;
    walker.claimed = info.claimed;
    walker.inLostFragments = true;

    size_t i = 0;
    while (i < candidates.size()) {
        size_t j = i + 1;
        while (j < candidates.size() && candidates[j] == candidates[j - 1] + 1 && j - i < maxFragmentRun) ++j;
        if (progress && progress->isCancelled()) break;
        Bytes bytes;
        for (size_t k = i; k < j; ++k) {
            if (!walker.claimed.insert(candidates[k]).second) continue;
            // A subfolder met later whose cluster was read here as a fragment
            // is not read again: its entries are already in the folder.
            walker.visited.insert(candidates[k]);
            Bytes piece = ctx.readCluster(candidates[k]);
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
        auto folders = walker.parseEntries(bytes, folder, true, false);
        Bytes().swap(bytes);
        walker.readFolders(folders, 1);
        i = j;
    }
    info.claimed = std::move(walker.claimed);

    if (folder->children().empty()) return std::nullopt;
    folder->sortChildren();
    return folder;
}

bool looksLikeDirectorySector(ByteSpan b, size_t offset) {
    const uint8_t* p = b.data() + offset;
    int passed = 0;
    for (int i = 0; i < 16; ++i) {
        const uint8_t* e = p + 32 * i;
        uint8_t first = e[0];
        if (first == 0) {
            // The end of the folder: at least three entries before it, and
            // nothing but zeros after it.
            if (i < 3 || passed < 1) return false;
            for (const uint8_t* q = e; q < p + 512; q += 8) {
                uint64_t word;
                std::memcpy(&word, q, 8);
                if (word != 0) return false;
            }
            return true;
        }
        uint8_t attributes = e[11];
        if (attributes == 0x0F) {
            if (e[12] != 0 || e[26] != 0 || e[27] != 0) return false;
            continue;
        }
        if (attributes > 0x3F) return false;
        // Names may begin with a letter of the OEM code page (Æ is 0x92 in code
        // page 850), so bytes from 0x80 up pass as they do in the names' test.
        if (!(first == 0x05 || first == 0x2E || (first >= 0x21 && first <= 0x7E) || first >= 0x80)) return false;
        for (int k = 1; k <= 10; ++k) {
            uint8_t c = e[k];
            if (c < 0x20) return false;
            switch (c) {
                case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|': return false;
                default: break;
            }
        }
        if (e[dirCreateTenths] > 199) return false;
        ++passed;
    }
    return passed >= 1;
}

}  // namespace FATParser

}  // namespace sovanta
