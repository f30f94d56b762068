#include "SovantaCore/RangeMap.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sovanta {

namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// The byte length of a blank (space, tab or another Unicode space separator)
// at the start of text, or 0.
size_t leadingBlank(std::string_view t) {
    if (t.empty()) return 0;
    auto b = [&](size_t k) { return static_cast<unsigned char>(t[k]); };
    if (b(0) == ' ' || b(0) == '\t') return 1;
    if (t.size() >= 2 && b(0) == 0xC2 && b(1) == 0xA0) return 2;  // U+00A0
    if (t.size() >= 3) {
        if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;                  // U+1680
        if (b(0) == 0xE2 && b(1) == 0x80 && (b(2) <= 0x8A || b(2) == 0xAF)) return 3;  // U+2000-200A, U+202F
        if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;                  // U+205F
        if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;                  // U+3000
    }
    return 0;
}

// The same at the end of text.
size_t trailingBlank(std::string_view t) {
    for (size_t length : {size_t{1}, size_t{2}, size_t{3}}) {
        if (t.size() < length) break;
        if (leadingBlank(t.substr(t.size() - length)) == length) return length;
    }
    return 0;
}

std::string_view trimmed(std::string_view t) {
    while (size_t k = leadingBlank(t)) t.remove_prefix(k);
    while (size_t k = trailingBlank(t)) t.remove_suffix(k);
    return t;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

void appendHex(std::string& out, uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08" PRIX64, value);
    out += text;
}

// Flushes the folder that holds path, so that a rename in it is durable.
void syncParentFolder(const std::string& path) {
    auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

// MARK: Statuses

const std::array<RangeMap::Status, 5>& RangeMap::allCases() {
    static const std::array<Status, 5> cases = {Status::nonTried, Status::nonTrimmed, Status::nonScraped, Status::bad,
                                                Status::finished};
    return cases;
}

std::optional<RangeMap::Status> RangeMap::statusFromRaw(char character) {
    for (Status status : allCases())
        if (rawValue(status) == character) return status;
    return std::nullopt;
}

int RangeMap::cellPriority(Status status) {
    switch (status) {
        case Status::finished: return 0;
        case Status::nonTried: return 1;
        case Status::nonTrimmed:
        case Status::nonScraped: return 2;
        case Status::bad: return 3;
    }
    return 0;
}

size_t RangeMap::index(Status status) {
    switch (status) {
        case Status::nonTried: return 0;
        case Status::nonTrimmed: return 1;
        case Status::nonScraped: return 2;
        case Status::bad: return 3;
        case Status::finished: return 4;
    }
    return 0;
}

// MARK: The block list

RangeMap::RangeMap(uint64_t size_) : size(size_) {
    if (size > 0) insertLocked(0, size, Status::nonTried);
}

void RangeMap::insertLocked(uint64_t pos, uint64_t length, Status status) {
    blocks_.emplace(pos, Entry{length, status});
    byStatus_[index(status)].insert(pos);
    totals_[index(status)] += length;
}

std::map<uint64_t, RangeMap::Entry>::iterator RangeMap::eraseLocked(std::map<uint64_t, Entry>::iterator it) {
    byStatus_[index(it->second.status)].erase(it->first);
    totals_[index(it->second.status)] -= it->second.size;
    return blocks_.erase(it);
}

std::vector<RangeMap::Block> RangeMap::snapshot() const {
    std::lock_guard guard(lock_);
    std::vector<Block> out;
    out.reserve(blocks_.size());
    for (auto& [pos, entry] : blocks_) out.push_back({pos, entry.size, entry.status});
    return out;
}

uint64_t RangeMap::total(Status status) const {
    std::lock_guard guard(lock_);
    return totals_[index(status)];
}

std::optional<RangeMap::Block> RangeMap::firstLocked(Status status, uint64_t from) const {
    if (from >= size) return std::nullopt;
    auto containing = std::prev(blocks_.upper_bound(from));
    const Entry& entry = containing->second;
    if (entry.status == status) return Block{from, containing->first + entry.size - from, status};
    // The block that holds from has another status, so the answer starts after it.
    const auto& starts = byStatus_[index(status)];
    auto next = starts.upper_bound(from);
    if (next == starts.end()) return std::nullopt;
    return Block{*next, blocks_.at(*next).size, status};
}

std::optional<RangeMap::Block> RangeMap::first(Status status, uint64_t from) const {
    std::lock_guard guard(lock_);
    return firstLocked(status, from);
}

std::optional<RangeMap::Block> RangeMap::first(std::initializer_list<Status> statuses, uint64_t from) const {
    std::lock_guard guard(lock_);
    std::optional<Block> best;
    for (Status status : statuses) {
        auto found = firstLocked(status, from);
        if (found && (!best || found->pos < best->pos)) best = found;
    }
    return best;
}

void RangeMap::set(uint64_t pos, uint64_t length, Status status) {
    if (length == 0 || pos >= size) return;
    const uint64_t end = length > size - pos ? size : pos + length;
    std::lock_guard guard(lock_);

    // Take out every block that overlaps pos..end, keeping the parts of the
    // first and last that lie outside it.
    Block pieces[3];
    int count = 0;
    auto it = std::prev(blocks_.upper_bound(pos));
    if (it->first < pos) pieces[count++] = {it->first, pos - it->first, it->second.status};
    pieces[count++] = {pos, end - pos, status};
    while (it != blocks_.end() && it->first < end) {
        uint64_t blockEnd = it->first + it->second.size;
        if (blockEnd > end) pieces[count++] = {end, blockEnd - end, it->second.status};
        it = eraseLocked(it);
    }

    // Merge equal neighbours: among the pieces, then with the untouched blocks
    // on either side. The rest of the list already has none.
    Block merged[3];
    int mergedCount = 0;
    for (int k = 0; k < count; ++k) {
        if (mergedCount > 0 && merged[mergedCount - 1].status == pieces[k].status)
            merged[mergedCount - 1].size += pieces[k].size;
        else
            merged[mergedCount++] = pieces[k];
    }
    if (it != blocks_.end() && it->second.status == merged[mergedCount - 1].status) {
        merged[mergedCount - 1].size += it->second.size;
        it = eraseLocked(it);
    }
    if (it != blocks_.begin()) {
        auto before = std::prev(it);
        if (before->second.status == merged[0].status) {
            merged[0].pos = before->first;
            merged[0].size += before->second.size;
            eraseLocked(before);
        }
    }
    for (int k = 0; k < mergedCount; ++k) insertLocked(merged[k].pos, merged[k].size, merged[k].status);
}

std::vector<RangeMap::Status> RangeMap::cells(int64_t n) const {
    if (n < 1 || size == 0) return {};
    std::vector<Block> blocks = snapshot();
    std::vector<Status> out(static_cast<size_t>(n), Status::finished);
    std::vector<bool> isSet(static_cast<size_t>(n), false);
    const double width = static_cast<double>(size) / static_cast<double>(n);
    const double lastCell = static_cast<double>(n - 1);
    for (const Block& block : blocks) {
        // Rounding of huge offsets could reach n; the clamp keeps every index inside.
        double firstIndex = std::min(std::floor(static_cast<double>(block.pos) / width), lastCell);
        double lastIndex = std::min(lastCell, std::floor(static_cast<double>(block.end() - 1) / width));
        if (lastIndex < firstIndex) continue;
        int priority = cellPriority(block.status);
        for (auto c = static_cast<size_t>(firstIndex); c <= static_cast<size_t>(lastIndex); ++c) {
            if (!isSet[c] || priority > cellPriority(out[c])) out[c] = block.status;
            isSet[c] = true;
        }
    }
    return out;
}

// MARK: The mapfile

std::string RangeMap::mapfileText(uint64_t currentPos, int64_t pass, char currentStatus) const {
    std::string text =
        "# Mapfile. Created by Sovanta (GNU ddrescue compatible)\n"
        "# Command line: sovanta\n"
        "# current_pos  current_status  current_pass\n";
    appendHex(text, currentPos);
    text += "     ";
    text += currentStatus;
    text += "               " + std::to_string(pass) + "\n";
    text += "#      pos        size  status\n";
    std::vector<Block> blocks = snapshot();
    text.reserve(text.size() + blocks.size() * 26);
    for (const Block& block : blocks) {
        appendHex(text, block.pos);
        text += "  ";
        appendHex(text, block.size);
        text += "  ";
        text += rawValue(block.status);
        text += '\n';
    }
    return text;
}

void RangeMap::write(const std::string& path, uint64_t currentPos, int64_t pass, char currentStatus) const {
    const std::string text = mapfileText(currentPos, pass, currentStatus);
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throwErrno("open");
    // A failure after this point (a full destination, most often) removes the
    // temporary file again and leaves the last good mapfile as it was.
    auto fail = [&](int error, const char* what) {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), what);
    };
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) fail(wrote == 0 ? EIO : errno, "write");
        done += static_cast<size_t>(wrote);
    }
    if (::fsync(fd) != 0 && errno != EINVAL) fail(errno, "fsync");
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) fail(errno, "close");
    // rename() replaces the old mapfile in one step; removing it first would
    // leave a moment without any.
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, "rename");
    syncParentFolder(path);
}

std::optional<uint64_t> RangeMap::parseHex(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    uint64_t value = 0;
    if (lower.size() >= 2 && lower[0] == '0' && lower[1] == 'x') {
        std::string_view digits = std::string_view(lower).substr(2);
        if (digits.empty()) return std::nullopt;
        for (char c : digits) {
            uint64_t digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<uint64_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<uint64_t>(c - 'a' + 10);
            else
                return std::nullopt;
            if (value > (UINT64_MAX >> 4)) return std::nullopt;
            value = (value << 4) | digit;
        }
        return value;
    }
    if (lower.empty()) return std::nullopt;
    for (char c : lower) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::shared_ptr<RangeMap> RangeMap::read(const std::string& path, uint64_t size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return nullptr;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);

    std::vector<Block> found;
    bool statusLineSeen = false;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
        line = trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        // The first line that is neither blank nor a comment is the status
        // line; its position and pass play no part in resuming.
        if (!statusLineSeen) {
            statusLineSeen = true;
            continue;
        }
        auto parts = fields(line);
        if (parts.size() < 3) continue;
        auto pos = parseHex(parts[0]);
        auto length = parseHex(parts[1]);
        auto status = statusFromRaw(parts[2][0]);
        if (!pos || !length || !status) continue;
        found.push_back({*pos, *length, *status});
    }
    if (found.empty()) return nullptr;
    // Blocks that claim the same bytes twice leave it open which status those
    // bytes have (GNU ddrescue refuses such a file: "Blocks are not
    // contiguous"), so the file is not taken at all.
    std::vector<Block> sorted;
    for (const Block& block : found)
        if (block.size > 0) sorted.push_back(block);
    std::sort(sorted.begin(), sorted.end(), [](const Block& a, const Block& b) { return a.pos < b.pos; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        const Block& before = sorted[i - 1];
        const uint64_t end = before.size > UINT64_MAX - before.pos ? UINT64_MAX : before.pos + before.size;
        if (sorted[i].pos < end) return nullptr;
    }
    auto map = std::make_shared<RangeMap>(size);
    for (const Block& block : found)
        if (block.status != Status::nonTried) map->set(block.pos, block.size, block.status);
    return map;
}

}  // namespace sovanta
