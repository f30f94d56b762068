#include "SovantaCore/Model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <unordered_map>
#include <utility>

#include <unicode/coll.h>
#include <unicode/decimfmt.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/unistr.h>

namespace sovanta {

// MARK: Enumerations

const std::vector<FileSystemType>& allFileSystemTypes() {
    static const std::vector<FileSystemType> all = {
        FileSystemType::fat12,   FileSystemType::fat16, FileSystemType::fat32, FileSystemType::exfat,
        FileSystemType::ntfs,    FileSystemType::hfsplus, FileSystemType::apfs, FileSystemType::ext,
        FileSystemType::carved,  FileSystemType::unknown};
    return all;
}

std::string rawValue(FileSystemType type) {
    switch (type) {
        case FileSystemType::fat12: return "FAT12";
        case FileSystemType::fat16: return "FAT16";
        case FileSystemType::fat32: return "FAT32";
        case FileSystemType::exfat: return "exFAT";
        case FileSystemType::ntfs: return "NTFS";
        case FileSystemType::hfsplus: return "HFS+";
        case FileSystemType::apfs: return "APFS";
        case FileSystemType::ext: return "ext2/3/4";
        case FileSystemType::carved: return "Signaturer";
        case FileSystemType::unknown: return "Ukendt";
    }
    return "Ukendt";
}

std::optional<FileSystemType> fileSystemTypeFromRaw(const std::string& raw) {
    for (auto type : allFileSystemTypes())
        if (rawValue(type) == raw) return type;
    return std::nullopt;
}

std::string rawValue(EntryStatus status) {
    switch (status) {
        case EntryStatus::existing: return "existing";
        case EntryStatus::deleted: return "deleted";
        case EntryStatus::orphaned: return "orphaned";
        case EntryStatus::carved: return "carved";
    }
    return "existing";
}

std::string label(EntryStatus status) {
    switch (status) {
        case EntryStatus::existing: return "Eksisterende";
        case EntryStatus::deleted: return "Slettet";
        case EntryStatus::orphaned: return "Forældreløs";
        case EntryStatus::carved: return "Signaturfund";
    }
    return "Eksisterende";
}

std::optional<EntryStatus> entryStatusFromRaw(const std::string& raw) {
    for (auto status : {EntryStatus::existing, EntryStatus::deleted, EntryStatus::orphaned, EntryStatus::carved})
        if (rawValue(status) == raw) return status;
    return std::nullopt;
}

std::string label(Recoverability value) {
    switch (value) {
        case Recoverability::unknown: return "Ukendt";
        case Recoverability::poor: return "Ringe";
        case Recoverability::partial: return "Delvis";
        case Recoverability::good: return "God";
    }
    return "Ukendt";
}

std::optional<Recoverability> recoverabilityFromRaw(int raw) {
    if (raw < 0 || raw > 3) return std::nullopt;
    return static_cast<Recoverability>(raw);
}

// MARK: Categories

const std::vector<FileCategory>& allFileCategories() {
    static const std::vector<FileCategory> all = {FileCategory::image,    FileCategory::video,
                                                  FileCategory::audio,    FileCategory::document,
                                                  FileCategory::archive,  FileCategory::other};
    return all;
}

std::string rawValue(FileCategory category) {
    switch (category) {
        case FileCategory::image: return "image";
        case FileCategory::video: return "video";
        case FileCategory::audio: return "audio";
        case FileCategory::document: return "document";
        case FileCategory::archive: return "archive";
        case FileCategory::other: return "other";
    }
    return "other";
}

std::string label(FileCategory category) {
    switch (category) {
        case FileCategory::image: return "Billeder";
        case FileCategory::video: return "Video";
        case FileCategory::audio: return "Lyd";
        case FileCategory::document: return "Dokumenter";
        case FileCategory::archive: return "Arkiver";
        case FileCategory::other: return "Andet";
    }
    return "Andet";
}

std::string symbol(FileCategory category) {
    switch (category) {
        case FileCategory::image: return "photo";
        case FileCategory::video: return "film";
        case FileCategory::audio: return "waveform";
        case FileCategory::document: return "doc.text";
        case FileCategory::archive: return "archivebox";
        case FileCategory::other: return "doc";
    }
    return "doc";
}

static const std::unordered_map<std::string, FileCategory>& categoryMap() {
    static const std::unordered_map<std::string, FileCategory> map = [] {
        std::unordered_map<std::string, FileCategory> m;
        auto put = [&](FileCategory c, std::initializer_list<const char*> exts) {
            for (auto e : exts) m.emplace(e, c);
        };
        put(FileCategory::image, {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "heic", "heif",
                                  "webp", "avif", "cr2", "cr3", "nef", "arw", "dng", "orf", "raf",
                                  "rw2", "pef", "psd", "svg", "ico", "icns", "jxl", "srw"});
        put(FileCategory::video, {"mp4", "mov", "m4v", "avi", "mkv", "webm", "3gp", "mts", "m2ts",
                                  "wmv", "flv", "mpg", "mpeg", "ogv"});
        put(FileCategory::audio, {"mp3", "wav", "m4a", "aac", "flac", "ogg", "opus", "aiff", "aif",
                                  "wma", "caf"});
        put(FileCategory::document, {"pdf", "doc", "docx", "xls", "xlsx", "ppt", "pptx", "odt", "ods",
                                     "odp", "rtf", "txt", "pages", "numbers", "key", "epub", "csv",
                                     "md", "html", "htm", "xml", "json", "msg", "eml", "sqlite", "db"});
        put(FileCategory::archive, {"zip", "rar", "7z", "gz", "tgz", "bz2", "xz", "tar", "dmg", "iso", "jar"});
        return m;
    }();
    return map;
}

std::string pathExtension(const std::string& name) {
    // The last path component, ignoring trailing slashes, as path functions do.
    std::string component = name;
    while (component.size() > 1 && component.back() == '/') component.pop_back();
    auto slash = component.rfind('/');
    if (slash != std::string::npos) component = component.substr(slash + 1);
    auto dot = component.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == component.size()) return "";
    return component.substr(dot + 1);
}

static std::string lowercased(const std::string& text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

FileCategory categoryOf(const std::string& fileName) {
    std::string ext = lowercased(pathExtension(fileName));
    if (ext.empty()) return FileCategory::other;
    auto it = categoryMap().find(ext);
    return it == categoryMap().end() ? FileCategory::other : it->second;
}

// MARK: Localized order

namespace {
struct NameCollator {
    std::unique_ptr<icu::Collator> collator;
    NameCollator() {
        UErrorCode status = U_ZERO_ERROR;
        // The C locale (en_US_POSIX to ICU) orders by code point; file managers
        // never do, so it falls back to the root order.
        icu::Locale locale = icu::Locale::getDefault();
        if (std::string(locale.getName()) == "en_US_POSIX" || std::string(locale.getLanguage()).empty())
            locale = icu::Locale::getRoot();
        collator.reset(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status) || !collator) {
            status = U_ZERO_ERROR;
            collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        if (collator) {
            // Case ignored, accents kept, digit runs compared by value.
            collator->setStrength(icu::Collator::SECONDARY);
            collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        }
    }
};
NameCollator& nameCollator() {
    thread_local NameCollator instance;
    return instance;
}
}  // namespace

std::string nameSortKey(const std::string& name) {
    auto& c = nameCollator();
    if (!c.collator) return name;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(name);
    // One pass for the usual name; a second only for a key longer than the buffer.
    std::array<uint8_t, 512> buffer;
    int32_t needed = c.collator->getSortKey(u, buffer.data(), static_cast<int32_t>(buffer.size()));
    std::string key;
    if (needed <= 0) return key;
    if (static_cast<size_t>(needed) <= buffer.size()) {
        key.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(needed));
    } else {
        key.assign(static_cast<size_t>(needed), '\0');
        c.collator->getSortKey(u, reinterpret_cast<uint8_t*>(key.data()), needed);
    }
    // The key ends in a zero byte that would only lengthen every comparison.
    if (!key.empty() && key.back() == '\0') key.pop_back();
    return key;
}

int compareNamesLocalized(const std::string& a, const std::string& b) {
    auto& c = nameCollator();
    if (!c.collator) return a.compare(b);
    UErrorCode status = U_ZERO_ERROR;
    auto r = c.collator->compareUTF8(a, b, status);
    return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

// MARK: FileNode

namespace {
std::mutex& counterLock() {
    static std::mutex lock;
    return lock;
}
int64_t counter = 0;
int64_t nextNodeID() {
    std::lock_guard guard(counterLock());
    return ++counter;
}
}  // namespace

FileNode::FileNode(std::string name_, bool isDirectory_, uint64_t size_, EntryStatus status_,
                   Recoverability recoverability_, FileData data_)
    : id(nextNodeID()),
      name(std::move(name_)),
      size(size_),
      data(std::move(data_)),
      isDirectory(isDirectory_),
      status(status_),
      recoverability(recoverability_),
      folder_(isDirectory_ ? std::make_unique<Folder>() : nullptr) {}

std::shared_ptr<FileNode> FileNode::make(std::string name, bool isDirectory, uint64_t size, EntryStatus status,
                                         Recoverability recoverability, FileData data) {
    // One allocation for the node and its count: a volume can hold millions.
    struct Made : FileNode {
        Made(std::string n, bool d, uint64_t s, EntryStatus st, Recoverability r, FileData fd)
            : FileNode(std::move(n), d, s, st, r, std::move(fd)) {}
    };
    return std::make_shared<Made>(std::move(name), isDirectory, size, status, recoverability, std::move(data));
}

namespace {
// The locks that guard the swap of a folder's list against a snapshot being
// taken: a few shared by all nodes, so that a node carries none.
std::mutex& childrenLock(const FileNode* node) {
    static std::array<std::mutex, 64> locks;
    return locks[(reinterpret_cast<uintptr_t>(node) >> 6) % locks.size()];
}
}  // namespace

FileNode::~FileNode() {
    // A corrupt disk can describe a folder chain a million levels deep: free the
    // subtree from an explicit stack so destruction never recurses per level.
    // A list that a reader still holds goes with the reader's snapshot.
    std::vector<std::shared_ptr<FileNode>> pending;
    auto release = [&](std::shared_ptr<ChildList>& list) {
        if (list && list.use_count() == 1)
            for (auto& child : *list) pending.push_back(std::move(child));
        list.reset();
    };
    if (folder_) release(folder_->children);
    while (!pending.empty()) {
        std::shared_ptr<FileNode> node = std::move(pending.back());
        pending.pop_back();
        if (node && node.use_count() == 1 && node->folder_) release(node->folder_->children);
    }
}

namespace {
std::atomic<uint64_t> additionCount{0};
}

uint64_t FileNode::additions() { return additionCount.load(std::memory_order_relaxed); }

const FileNode::ChildList& FileNode::noChildren() {
    static const ChildList none;
    return none;
}

const FileNode::Totals& FileNode::noTotals() {
    static const Totals none;
    return none;
}

FileNode::Folder& FileNode::folder() {
    if (!folder_) {
        std::lock_guard guard(childrenLock(this));
        folder_ = std::make_unique<Folder>();
    }
    return *folder_;
}

FileNode::Children FileNode::childrenSnapshot() const {
    std::lock_guard guard(childrenLock(this));
    static const Children none = std::make_shared<const ChildList>();
    if (!folder_ || !folder_->children) return none;
    folder_->snapshotted = true;
    return folder_->children;
}

template <class Change>
void FileNode::changeChildren(Change&& change) {
    Folder& state = folder();
    std::lock_guard guard(childrenLock(this));
    if (!state.children) {
        state.children = std::make_shared<ChildList>();
    } else if (state.snapshotted) {
        auto copy = std::make_shared<ChildList>();
        copy->reserve(state.children->size() + state.children->size() / 2 + 1);
        copy->assign(state.children->begin(), state.children->end());
        state.children = std::move(copy);
        state.snapshotted = false;
    }
    change(*state.children);
}

FileNode::Totals FileNode::contribution(FileNode& child) {
    if (!child.isDirectory)
        return {1, 0, child.size, child.status != EntryStatus::existing ? 1 : 0};
    const Totals& below = child.folder_ && child.folder_->counted ? child.folder_->kept : child.keepTotals();
    return {below.files, below.folders + 1, below.bytes, below.deleted};
}

void FileNode::carryTotals(const Totals& delta, int sign) {
    // Only counted folders keep totals, and all folders above a counted one are counted.
    std::shared_ptr<FileNode> holder;
    for (FileNode* node = this; node && node->folder_ && node->folder_->counted;) {
        Totals& kept = node->folder_->kept;
        kept.files += sign * delta.files;
        kept.folders += sign * delta.folders;
        kept.bytes = sign > 0 ? kept.bytes + delta.bytes : kept.bytes - delta.bytes;
        kept.deleted += sign * delta.deleted;
        holder = node->parent_.lock();
        node = holder.get();
    }
}

void FileNode::add(const std::shared_ptr<FileNode>& child) {
    child->parent_ = weak_from_this();
    child->addedAt_ = additionCount.fetch_add(1, std::memory_order_relaxed) + 1;
    changeChildren([&](ChildList& list) { list.push_back(child); });
    if (folder_->counted) carryTotals(contribution(*child), 1);
}

void FileNode::removeAllChildren() {
    changeChildren([](ChildList& list) {
        for (auto& child : list) child->parent_.reset();
        list.clear();
    });
    if (folder_->counted) {
        // A copy: the carry starts at this folder and zeroes its own totals first.
        const Totals removed = folder_->kept;
        carryTotals(removed, -1);
    }
}

void FileNode::sortChildren() {
    // Only the owner changes a folder's children, so it reads them and sorts
    // without the lock, which other nodes share; the lock is taken only to
    // put the sorted list in place of one a snapshot may hold.
    std::vector<FileNode*> stack = {this};
    std::vector<std::string> keys;
    std::vector<size_t> order;
    while (!stack.empty()) {
        FileNode* node = stack.back();
        stack.pop_back();
        if (const ChildList& list = node->children(); list.size() > 1) {
            keys.clear();
            keys.reserve(list.size());
            for (const auto& child : list) keys.push_back(nameSortKey(child->name));
            order.resize(list.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                bool fa = list[a]->isDirectory, fb = list[b]->isDirectory;
                if (fa != fb) return fa;
                return keys[a] < keys[b];
            });
            auto sorted = std::make_shared<ChildList>();
            sorted->reserve(list.size());
            for (size_t i : order) sorted->push_back(list[i]);
            std::shared_ptr<ChildList> replaced;  // let go of after the lock
            std::lock_guard guard(childrenLock(node));
            replaced = std::exchange(node->folder_->children, std::move(sorted));
            node->folder_->snapshotted = false;
        }
        const auto& list = node->children();
        for (auto it = list.rbegin(); it != list.rend(); ++it)
            if ((*it)->isDirectory) stack.push_back(it->get());
    }
}

const FileNode::Totals& FileNode::keepTotals() {
    // Folders in the order met from the top; counted from the last, each
    // after every folder below it.
    std::vector<FileNode*> order = {this};
    for (size_t i = 0; i < order.size(); ++i)
        for (auto& child : order[i]->children())
            if (child->isDirectory) order.push_back(child.get());
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        FileNode& folder = **it;
        Totals t;
        for (auto& child : folder.children()) {
            if (child->isDirectory) {
                const Totals& below = child->keptTotals();
                t.files += below.files;
                t.folders += below.folders + 1;
                t.bytes += below.bytes;
                t.deleted += below.deleted;
            } else {
                ++t.files;
                t.bytes += child->size;
                if (child->status != EntryStatus::existing) ++t.deleted;
            }
        }
        Folder& state = folder.folder();
        state.kept = t;
        state.counted = true;
    }
    return folder_->kept;
}

std::string FileNode::path() const {
    std::vector<const FileNode*> chain;
    std::shared_ptr<FileNode> p = parent_.lock();
    if (!p) return "/";
    chain.push_back(this);
    while (p) {
        auto next = p->parent_.lock();
        if (!next) break;  // p is the root, whose name is never included
        chain.push_back(p.get());
        p = next;
    }
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        out += "/";
        out += (*it)->name;
    }
    return out;
}

std::optional<std::vector<std::shared_ptr<FileNode>>> FileNode::folders() const {
    std::vector<std::shared_ptr<FileNode>> out;
    for (auto& c : children())
        if (c->isDirectory) out.push_back(c);
    if (out.empty()) return std::nullopt;
    return out;
}

std::vector<std::shared_ptr<FileNode>> FileNode::files() const {
    std::vector<std::shared_ptr<FileNode>> out;
    for (auto& c : children())
        if (!c->isDirectory) out.push_back(c);
    return out;
}

std::vector<std::shared_ptr<FileNode>> FileNode::allFiles() const {
    std::vector<std::shared_ptr<FileNode>> out;
    std::vector<const FileNode*> stack = {this};
    while (!stack.empty()) {
        const FileNode* node = stack.back();
        stack.pop_back();
        for (auto& c : node->children()) {
            if (c->isDirectory) stack.push_back(c.get());
            else out.push_back(c);
        }
    }
    return out;
}

FileNode::Totals FileNode::totals() const {
    Totals t;
    std::vector<const FileNode*> stack = {this};
    while (!stack.empty()) {
        const FileNode* node = stack.back();
        stack.pop_back();
        for (auto& c : node->children()) {
            if (c->isDirectory) {
                ++t.folders;
                stack.push_back(c.get());
            } else {
                ++t.files;
                t.bytes += c->size;
                if (c->status != EntryStatus::existing) ++t.deleted;
            }
        }
    }
    return t;
}

FileCategory FileNode::category() const { return isDirectory ? FileCategory::other : categoryOf(name); }

std::string FileNode::fileExtension() const { return lowercased(pathExtension(name)); }

// MARK: Volume

Uuid Uuid::random() {
    static std::mutex lock;
    static std::mt19937_64 engine{std::random_device{}()};
    Uuid u;
    {
        std::lock_guard guard(lock);
        uint64_t a = engine(), b = engine();
        for (size_t i = 0; i < 8; ++i) {
            u.bytes[i] = static_cast<uint8_t>(a >> (8 * i));
            u.bytes[8 + i] = static_cast<uint8_t>(b >> (8 * i));
        }
    }
    u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return u;
}

std::string Uuid::string() const {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    return out;
}

Volume::Volume(FileSystemType type_, std::string label_, uint64_t offset_, uint64_t size_, FileNodePtr root_,
               std::string origin_)
    : id(Uuid::random()),
      type(type_),
      label(std::move(label_)),
      offset(offset_),
      size(size_),
      root(std::move(root_)),
      origin(std::move(origin_)) {}

std::string Volume::title() const {
    return (label.empty() ? std::string("Uden navn") : label) + " (" + rawValue(type) + ")";
}

// MARK: WorkProgress

void WorkProgress::report(double fraction, const std::string& message) const {
    if (!handler_) return;
    double f = std::isnan(fraction) ? 1.0 : std::min(fraction, 1.0);
    if (f < 0) f = 0;
    handler_(f, message);
}

// MARK: Byte sizes

std::string formatBytes(uint64_t bytes, const std::string& localeName) {
    icu::Locale locale = localeName.empty() ? icu::Locale::getDefault() : icu::Locale(localeName.c_str());
    uint64_t value = std::min<uint64_t>(bytes, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
    if (value == 1) return "1 byte";
    if (value < 1000) return std::to_string(value) + " bytes";

    // Decimal units; whole kilobytes, one decimal for megabytes, two from gigabytes on.
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    int unit = 0;
    double scaled = static_cast<double>(value) / 1000.0;
    while (unit < 5 && scaled >= 1000.0) {
        scaled /= 1000.0;
        ++unit;
    }
    // Rounding can carry into the next unit (999,999 bytes is 1 MB, not 1000 KB).
    double factor = std::pow(10.0, decimals[unit]);
    if (unit < 5 && std::round(scaled * factor) / factor >= 1000.0) {
        scaled /= 1000.0;
        ++unit;
    }

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> format(icu::NumberFormat::createInstance(locale, status));
    std::string number;
    if (U_SUCCESS(status) && format) {
        format->setMinimumFractionDigits(0);
        format->setMaximumFractionDigits(decimals[unit]);
        format->setRoundingMode(icu::NumberFormat::kRoundHalfEven);
        format->setGroupingUsed(true);
        icu::UnicodeString out;
        format->format(scaled, out);
        out.toUTF8String(number);
    } else {
        char buffer[64];
        snprintf(buffer, sizeof buffer, "%.*f", decimals[unit], scaled);
        number = buffer;
    }
    return number + " " + units[unit];
}

std::string formatBytes(uint64_t bytes) { return formatBytes(bytes, ""); }

}  // namespace sovanta
