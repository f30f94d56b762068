// The vocabulary every reader, scan, recovery and front end shares: file nodes,
// volumes, their classifications, where a file's bytes lie, and progress.
#pragma once

#include <any>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sovanta {

using Bytes = std::vector<uint8_t>;

// An absolute instant. Nanosecond resolution covers 1678 to 2262, every date the
// file systems can give us that we do not already treat as absent.
using Date = std::chrono::system_clock::time_point;

enum class FileSystemType { fat12, fat16, fat32, exfat, ntfs, hfsplus, apfs, ext, carved, unknown };
const std::vector<FileSystemType>& allFileSystemTypes();
std::string rawValue(FileSystemType type);
std::optional<FileSystemType> fileSystemTypeFromRaw(const std::string& raw);

enum class EntryStatus : uint8_t { existing, deleted, orphaned, carved };
std::string rawValue(EntryStatus status);
std::string label(EntryStatus status);
std::optional<EntryStatus> entryStatusFromRaw(const std::string& raw);

enum class Recoverability : uint8_t { unknown = 0, poor = 1, partial = 2, good = 3 };
std::string label(Recoverability value);
std::optional<Recoverability> recoverabilityFromRaw(int raw);
inline auto operator<=>(Recoverability a, Recoverability b) { return static_cast<int>(a) <=> static_cast<int>(b); }

struct Extent {
    std::optional<uint64_t> offset;  // absent for a hole or an unknown place
    uint64_t length = 0;
    bool operator==(const Extent&) const = default;
};

struct CompressedRuns {
    struct Run {
        std::optional<uint64_t> lcn;  // absent for a sparse run
        uint64_t clusters = 0;
        bool operator==(const Run&) const = default;
    };
    std::vector<Run> runs;
    uint32_t clusterSize = 0;   // at most 16 MiB on NTFS
    uint32_t unitClusters = 0;  // at most 256
    uint64_t volumeOffset = 0;
    bool operator==(const CompressedRuns&) const = default;
};

struct ResidentData {
    Bytes bytes;
    bool operator==(const ResidentData&) const = default;
};
struct NoData {
    bool operator==(const NoData&) const = default;
};

// resident bytes, extents, NTFS compressed runs, or nothing known.
using FileData = std::variant<ResidentData, std::vector<Extent>, CompressedRuns, NoData>;

enum class FileCategory { image, video, audio, document, archive, other };
const std::vector<FileCategory>& allFileCategories();
std::string rawValue(FileCategory category);
std::string label(FileCategory category);
std::string symbol(FileCategory category);
// The category of a file name by its lower-cased extension; unknown gives other.
FileCategory categoryOf(const std::string& fileName);
// The text after the last dot of the last path component, or empty.
std::string pathExtension(const std::string& name);

// A date that may be absent, in one word: Date::min() stands for none, a date
// no file system gives that is not already treated as absent. Read and set
// like std::optional<Date>.
class OptionalDate {
public:
    OptionalDate() = default;
    OptionalDate(std::nullopt_t) {}
    OptionalDate(Date date) : value_(date) {}
    OptionalDate(const std::optional<Date>& date) : value_(date.value_or(Date::min())) {}

    explicit operator bool() const { return value_ != Date::min(); }
    bool has_value() const { return value_ != Date::min(); }
    const Date& operator*() const { return value_; }
    const Date* operator->() const { return &value_; }
    const Date& value() const {
        if (!has_value()) throw std::bad_optional_access();
        return value_;
    }
    Date value_or(Date fallback) const { return has_value() ? value_ : fallback; }
    void reset() { value_ = Date::min(); }
    operator std::optional<Date>() const { return has_value() ? std::optional<Date>(value_) : std::nullopt; }
    friend bool operator==(const OptionalDate& a, const OptionalDate& b) { return a.value_ == b.value_; }
    friend bool operator==(const OptionalDate& a, const std::optional<Date>& b) { return a == OptionalDate(b); }
    friend bool operator==(const OptionalDate& a, std::nullopt_t) { return !a.has_value(); }
    friend bool operator==(const OptionalDate& a, const Date& b) { return a.has_value() && a.value_ == b; }

private:
    Date value_ = Date::min();
};

// A text that may be absent, held in one pointer: most nodes carry none. Read
// and set like std::optional<std::string>.
class OptionalText {
public:
    OptionalText() = default;
    OptionalText(std::nullopt_t) {}
    OptionalText(std::string text) : text_(std::make_unique<std::string>(std::move(text))) {}
    OptionalText(const char* text) : text_(std::make_unique<std::string>(text)) {}
    OptionalText(const OptionalText& other) : text_(other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr) {}
    OptionalText(OptionalText&&) noexcept = default;
    OptionalText& operator=(const OptionalText& other) {
        if (this != &other) text_ = other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
        return *this;
    }
    OptionalText& operator=(OptionalText&&) noexcept = default;
    ~OptionalText() = default;

    explicit operator bool() const { return text_ != nullptr; }
    bool has_value() const { return text_ != nullptr; }
    const std::string& operator*() const { return *text_; }
    std::string& operator*() { return *text_; }
    const std::string* operator->() const { return text_.get(); }
    const std::string& value() const {
        if (!text_) throw std::bad_optional_access();
        return *text_;
    }
    std::string value_or(std::string fallback) const { return text_ ? *text_ : std::move(fallback); }
    void reset() { text_.reset(); }
    operator std::optional<std::string>() const {
        return text_ ? std::optional<std::string>(*text_) : std::nullopt;
    }
    friend bool operator==(const OptionalText& a, const OptionalText& b) {
        return a.text_ && b.text_ ? *a.text_ == *b.text_ : !a.text_ && !b.text_;
    }
    friend bool operator==(const OptionalText& a, const std::optional<std::string>& b) {
        return a.text_ && b ? *a.text_ == *b : !a.text_ && !b;
    }
    friend bool operator==(const OptionalText& a, std::nullopt_t) { return !a.text_; }
    friend bool operator==(const OptionalText& a, const std::string& b) { return a.text_ && *a.text_ == b; }
    friend bool operator==(const OptionalText& a, const char* b) { return a.text_ && *a.text_ == b; }

private:
    std::unique_ptr<std::string> text_;
};

// A file or folder of a volume's tree. The thread that builds a tree, and
// after the hand-over the GUI thread, owns it: only the owner adds children
// or changes a node. Other threads read a tree through childrenSnapshot(): a
// folder's children as they stood when taken, never changed afterwards, since
// an add after a snapshot puts a new list in place of the one handed out. A
// node's own fields are not changed once its tree is handed over.
class FileNode : public std::enable_shared_from_this<FileNode> {
public:
    struct Totals {
        int64_t files = 0;
        int64_t folders = 0;
        uint64_t bytes = 0;
        int64_t deleted = 0;
        bool operator==(const Totals&) const = default;
    };
    using ChildList = std::vector<std::shared_ptr<FileNode>>;
    using Children = std::shared_ptr<const ChildList>;

    static std::shared_ptr<FileNode> make(std::string name, bool isDirectory, uint64_t size = 0,
                                          EntryStatus status = EntryStatus::existing,
                                          Recoverability recoverability = Recoverability::good,
                                          FileData data = NoData{});
    ~FileNode();
    FileNode(const FileNode&) = delete;
    FileNode& operator=(const FileNode&) = delete;

    const int64_t id;
    std::string name;
    uint64_t size;
    OptionalDate created;
    OptionalDate modified;
    FileData data;
    OptionalText note;
    uint64_t fsID = 0;
    const bool isDirectory;
    EntryStatus status;
    Recoverability recoverability;

    // The children, for the owner only: the list may change at its next add.
    const ChildList& children() const {
        return folder_ && folder_->children ? *folder_->children : noChildren();
    }
    // The children as they stand now, for any thread; never null.
    Children childrenSnapshot() const;
    std::shared_ptr<FileNode> parent() const { return parent_.lock(); }
    // Every add is numbered in one count for all trees: a reader that notes
    // the count at a moment can leave out what was added after it.
    static uint64_t additions();
    // The number of the add that put the node where it is; 0 before.
    uint64_t addedAt() const { return addedAt_; }

    void add(const std::shared_ptr<FileNode>& child);
    void removeAllChildren();
    // Folders first, then names in the localized standard order; recursive, without recursion.
    void sortChildren();
    std::string path() const;
    std::optional<std::vector<std::shared_ptr<FileNode>>> folders() const;
    std::vector<std::shared_ptr<FileNode>> files() const;
    std::vector<std::shared_ptr<FileNode>> allFiles() const;
    // What lies below the node, counted by a walk.
    Totals totals() const;
    // The same, kept on each folder without a walk: exact once keepTotals has
    // counted the tree (or a folder above the node), and from then on kept as
    // children are added below; all zero before.
    const Totals& keptTotals() const { return folder_ ? folder_->kept : noTotals(); }
    // Counts every folder of the subtree once, from the bottom, and keeps the
    // counts; the owner calls it when the tree is complete, before the hand-over.
    const Totals& keepTotals();
    FileCategory category() const;
    std::string fileExtension() const;

    bool operator==(const FileNode& other) const { return id == other.id; }

private:
    FileNode(std::string name, bool isDirectory, uint64_t size, EntryStatus status,
             Recoverability recoverability, FileData data);
    // What a folder holds beyond a file: its children and their totals. Made
    // with a folder's node, and under the children's lock for a file's on its
    // first add, so that a reader taking a snapshot never sees it change.
    struct Folder {
        std::shared_ptr<ChildList> children;
        Totals kept;
        bool counted = false;      // kept is exact
        bool snapshotted = false;  // the list in children has been handed out
    };

    static const ChildList& noChildren();
    static const Totals& noTotals();
    // The node's folder part, made on first need.
    Folder& folder();
    // The list to change: in place unless a snapshot of it was handed out, else
    // a copy that replaces it; under the lock that snapshots take.
    template <class Change>
    void changeChildren(Change&& change);
    // What the child adds to the totals of the folders above it.
    static Totals contribution(FileNode& child);
    // Adds (sign 1) or takes away (-1) the totals up the chain of counted folders.
    void carryTotals(const Totals& delta, int sign);

    std::weak_ptr<FileNode> parent_;
    std::unique_ptr<Folder> folder_;  // null for a file without children
    uint64_t addedAt_ = 0;
};

using FileNodePtr = std::shared_ptr<FileNode>;

struct Uuid {
    std::array<uint8_t, 16> bytes{};
    static Uuid random();
    std::string string() const;  // upper-case 8-4-4-4-12
    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;
};

namespace origin {
inline constexpr const char* partitionTable = "Partitionstabel";
inline constexpr const char* deepScan = "Dyb scanning";
inline constexpr const char* deepScanBackupBoot = "Dyb scanning (backup-bootsektor)";
inline constexpr const char* deepScanMFTRecords = "Dyb scanning (MFT-poster)";
inline constexpr const char* deepScanRebuiltNTFS = "Dyb scanning (genopbygget NTFS)";
}  // namespace origin

class Volume {
public:
    Volume(FileSystemType type, std::string label, uint64_t offset, uint64_t size, FileNodePtr root,
           std::string origin);
    static std::shared_ptr<Volume> make(FileSystemType type, std::string label, uint64_t offset,
                                        uint64_t size, FileNodePtr root, std::string origin) {
        return std::make_shared<Volume>(type, std::move(label), offset, size, std::move(root),
                                        std::move(origin));
    }

    const Uuid id;
    const FileSystemType type;
    std::string label;
    const uint64_t offset;
    const uint64_t size;
    const FileNodePtr root;
    std::vector<std::string> notes;
    std::string origin;
    uint64_t clusterSize = 0;
    // A reader's state for the deep scan's extra-folder step: holds a
    // std::shared_ptr<FATDeepInfo> or std::shared_ptr<APFSDeepInfo>, or nothing.
    std::any deepContext;

    std::string title() const;
};

using VolumePtr = std::shared_ptr<Volume>;

// Progress and cancellation for one long operation.
class WorkProgress {
public:
    using Handler = std::function<void(double fraction, const std::string& message)>;
    explicit WorkProgress(Handler handler = nullptr) : handler_(std::move(handler)) {}

    bool isCancelled() const {
        std::lock_guard guard(lock_);
        return cancelled_;
    }
    void cancel() {
        std::lock_guard guard(lock_);
        cancelled_ = true;
    }
    // Calls the handler, without any lock held, with the fraction clamped to 0...1.
    void report(double fraction, const std::string& message) const;

private:
    mutable std::mutex lock_;
    bool cancelled_ = false;
    const Handler handler_;
};

// The one byte-size text of the system: decimal units, digits always, the
// user's locale (from the environment) for the decimal separator.
std::string formatBytes(uint64_t bytes);
// The same for a given ICU locale name such as "da_DK" or "en_US".
std::string formatBytes(uint64_t bytes, const std::string& localeName);

// Localized standard order of two names: case ignored, digit runs by value.
// Negative, zero or positive like strcmp.
int compareNamesLocalized(const std::string& a, const std::string& b);
// The bytes that order names as compareNamesLocalized does when compared as
// plain byte strings: one key per name, so a long list sorts without
// collating the same name again and again.
std::string nameSortKey(const std::string& name);

}  // namespace sovanta
