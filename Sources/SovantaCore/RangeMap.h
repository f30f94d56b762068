// What has become of every byte of a source being imaged, and its mapfile in
// the format of GNU ddrescue.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sovanta {

// A sorted, gap-free list of blocks over 0..size, each a run of bytes with one
// status. Neighbouring blocks never share a status. Every member takes the
// map's lock for its own access, so the imaging thread may change the map
// while other threads read it.
class RangeMap {
public:
    // The raw values are the mapfile's status characters; the declaration
    // order is the order of allCases().
    enum class Status : char {
        nonTried = '?',    // not read yet
        nonTrimmed = '*',  // a larger read failed; to be read sector by sector
        nonScraped = '/',  // to be read sector by sector (only taken from foreign mapfiles)
        bad = '-',         // failed when read sector by sector
        finished = '+',    // copied into the image
    };
    static const std::array<Status, 5>& allCases();
    static char rawValue(Status status) { return static_cast<char>(status); }
    // Exactly the five status characters; anything else gives none.
    static std::optional<Status> statusFromRaw(char character);
    // The higher, the worse news in cells(): finished 0, nonTried 1,
    // nonTrimmed and nonScraped 2, bad 3.
    static int cellPriority(Status status);

    struct Block {
        uint64_t pos = 0;
        uint64_t size = 0;
        Status status = Status::nonTried;
        uint64_t end() const { return pos + size; }
        bool operator==(const Block&) const = default;
    };

    // One nonTried block over 0..size, or no block when size is 0.
    explicit RangeMap(uint64_t size);
    RangeMap(const RangeMap&) = delete;
    RangeMap& operator=(const RangeMap&) = delete;

    const uint64_t size;

    std::vector<Block> snapshot() const;
    uint64_t total(Status status) const;
    // The first block with the status that ends after from, cut to start at
    // from when it starts before it.
    std::optional<Block> first(Status status, uint64_t from) const;
    // The same over several statuses: the earliest block that has any of them.
    std::optional<Block> first(std::initializer_list<Status> statuses, uint64_t from) const;
    // Gives pos..pos+length, clipped to size, the status. An empty range or
    // one starting at or beyond size changes nothing.
    void set(uint64_t pos, uint64_t length, Status status);
    // n cells of the worst status among the bytes each covers; empty when n
    // is below 1 or size is 0.
    std::vector<Status> cells(int64_t n) const;

    // Writes the mapfile. The text goes to path + ".tmp", is flushed to the
    // device and renamed over path, so a valid mapfile exists at every
    // moment. Throws std::system_error with the failing call's error; the
    // temporary file is then gone and the old mapfile untouched.
    // currentStatus is the status line's character: '?' while a copy runs,
    // '+' once it has run all its passes, as GNU ddrescue writes them.
    void write(const std::string& path, uint64_t currentPos, int64_t pass, char currentStatus = '?') const;
    // A map of the given size from a mapfile (ours or GNU ddrescue's), or
    // null when the file cannot be read or holds no block line. Lines are
    // bytes, not text: a comment may hold any bytes (GNU ddrescue copies the
    // file names of its command line into one). Lines that do not read are
    // skipped; blocks may come in any order and leave gaps (which stay
    // nonTried), but a file whose blocks overlap or repeat is not taken.
    static std::shared_ptr<RangeMap> read(const std::string& path, uint64_t size);

private:
    std::string mapfileText(uint64_t currentPos, int64_t pass, char currentStatus) const;
    static std::optional<uint64_t> parseHex(std::string_view text);
    static size_t index(Status status);

    struct Entry {
        uint64_t size;
        Status status;
    };
    // Called with the lock held.
    void insertLocked(uint64_t pos, uint64_t size, Status status);
    std::map<uint64_t, Entry>::iterator eraseLocked(std::map<uint64_t, Entry>::iterator it);
    std::optional<Block> firstLocked(Status status, uint64_t from) const;

    mutable std::mutex lock_;
    // Blocks by start offset, the start offsets of the blocks of each status,
    // and the byte total of each status: set() and first() stay logarithmic
    // in the number of blocks, and total() is constant.
    std::map<uint64_t, Entry> blocks_;
    std::array<std::set<uint64_t>, 5> byStatus_;
    std::array<uint64_t, 5> totals_{};
};

}  // namespace sovanta
