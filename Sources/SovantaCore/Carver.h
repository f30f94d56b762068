// The signature carver: recognises the start of a file by its leading magic
// bytes and walks the format's own structure on the source to find where the
// file ends. Nineteen families of formats, fifty extensions.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

class SweepCache;

struct CarvedFile {
    uint64_t offset = 0;  // absolute offset of the file's first byte on the source
    uint64_t size = 0;    // never 0 in a returned value
    std::string ext;      // lower case, without the dot
    bool exact = false;   // the length the format's own structure gives, not an estimate
    std::optional<Date> date;
    bool operator==(const CarvedFile&) const = default;
};

// A ZIP candidate whose end record lies beyond the bytes the deep sweep holds:
// instead of reading ahead of the sweep, the search goes on in the chunks the
// sweep reads next (Carver::searchHeld), and its outcome is the one the plain
// search would have given.
struct HeldZip {
    uint64_t offset = 0;  // the candidate's first byte on the source
    uint64_t from = 0;    // absolute: the first start of an end record not yet looked at
    uint64_t bound = 0;   // absolute: no start at or beyond it counts
    // The bytes at `from` when they are the last of the window searched
    // before: a record may start there and end in the next one.
    std::array<uint8_t, 3> carry{};
    uint8_t carried = 0;
};

// What a held candidate's search gave so far.
struct HeldOutcome {
    bool settled = false;             // the search is over
    std::optional<CarvedFile> file;  // the candidate's file, once settled (may stay absent)
};

class Carver {
public:
    Carver(DiskSourcePtr src, std::set<FileCategory> categories);

    const DiskSourcePtr src;
    const std::set<FileCategory> categories;

    // The carvable formats of each category, for display.
    static const std::vector<std::pair<FileCategory, std::string>>& supportedTypes();

    // The file that starts at offset, given the first bytes there (at least 32;
    // only the first 8 are looked at, everything else is read from the source).
    std::optional<CarvedFile> check(ByteSpan view, uint64_t offset) const;
    // The same for the sweep, which holds the window (setWindow): a ZIP whose
    // end record is not within it is not searched for ahead of the window but
    // handed back in held, and the result is absent for now.
    std::optional<CarvedFile> check(ByteSpan view, uint64_t offset, std::optional<HeldZip>& held) const;
    // Goes on with a held candidate's search in the window the sweep now
    // holds, which follows the one it was held in or last searched in.
    HeldOutcome searchHeld(HeldZip& held) const;
    // Ends a held candidate's search at once, reading ahead for it: for a
    // sweep that stops before it has passed the bound.
    std::optional<CarvedFile> settleHeld(const HeldZip& held) const;

    // Whether a carvable file could start with these bytes (at least 8 of
    // them): the first byte of one of the magic values, or a box type "ftyp"
    // at 4. Most sectors fail it, so the sweep asks before calling check.
    static bool mayStartFile(const uint8_t* b) {
        static constexpr std::array<bool, 256> firstBytes = [] {
            std::array<bool, 256> t{};
            for (char c : std::string_view("\xFF\x89GBIMFR\x1A%7S\xD0OP{")) t[static_cast<uint8_t>(c)] = true;
            return t;
        }();
        return firstBytes[b[0]] || (b[4] == 'f' && b[5] == 't' && b[6] == 'y' && b[7] == 'p');
    }

    // The capture date in the TIFF structure of an EXIF block, or absent.
    static std::optional<Date> exifDate(ByteSpan tiff);

    // The bytes the deep sweep holds in memory at the given source offset:
    // the size finders use them in place instead of reading them again. They
    // must stay unchanged until the next call; null data forgets them.
    void setWindow(const uint8_t* data, uint64_t offset, uint64_t length) const;
    // The bytes the sweep has already read past the window (the chunk that
    // follows it), unchanged until the next setWindow: what a finder needs
    // from there is taken from them instead of read again.
    void setAhead(const uint8_t* data, uint64_t offset, uint64_t length) const;

private:
    bool wants(const std::string& ext) const;
    std::optional<CarvedFile> check(ByteSpan view, uint64_t offset, std::optional<HeldZip>* held) const;
    // What a size finder gave, as the carver returns it.
    std::optional<CarvedFile> accept(std::optional<CarvedFile> result, uint64_t offset) const;

    // Shared by the readers of every check: the sweep's window and the
    // stretches already searched for end markers. It changes no result.
    std::shared_ptr<SweepCache> cache_;
};

}  // namespace sovanta
