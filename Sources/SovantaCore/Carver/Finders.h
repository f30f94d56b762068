// The carver's internals: the size finders of the nineteen families and the
// helpers they share. For the carver's own files, its tests and fuzzers;
// everyone else uses Carver.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "SovantaCore/Carver.h"
#include "SovantaCore/RandomReader.h"

namespace sovanta::carving {

// What every size finder reads through: the carver's source and wanted
// categories, and the cache the readers of one sweep share.
struct Finder {
    const DiskSourcePtr& src;
    const std::set<FileCategory>& categories;
    SweepCache* cache;
    // Where a ZIP whose end record lies beyond the sweep's window is handed
    // back instead of searched for ahead of it; null: searched at once.
    std::optional<HeldZip>* held = nullptr;

    // A reader whose position 0 is the candidate's first byte.
    RandomReader reader(uint64_t offset) const { return RandomReader(src, offset, cache); }
};

// The size finders, one per family: each takes the candidate's absolute
// offset and gives the file that starts there, or absent.
// Picture formats.
std::optional<CarvedFile> jpeg(const Finder& f, uint64_t offset);
std::optional<CarvedFile> png(const Finder& f, uint64_t offset);
std::optional<CarvedFile> gif(const Finder& f, uint64_t offset);
std::optional<CarvedFile> bmp(const Finder& f, uint64_t offset);
std::optional<CarvedFile> tiff(const Finder& f, uint64_t offset, bool little, uint8_t marker);
std::optional<CarvedFile> raf(const Finder& f, uint64_t offset);
// Archive and document formats.
std::optional<CarvedFile> rar(const Finder& f, uint64_t offset);
std::optional<CarvedFile> zip(const Finder& f, uint64_t offset);
// A held ZIP's search in the sweep's window, and its end by reading ahead.
HeldOutcome searchHeldZip(const Finder& f, HeldZip& held);
std::optional<CarvedFile> settleHeldZip(const Finder& f, const HeldZip& held);
std::optional<CarvedFile> pdf(const Finder& f, uint64_t offset);
std::optional<CarvedFile> sevenZip(const Finder& f, uint64_t offset);
std::optional<CarvedFile> sqlite(const Finder& f, uint64_t offset);
std::optional<CarvedFile> ole(const Finder& f, uint64_t offset);
std::optional<CarvedFile> rtf(const Finder& f, uint64_t offset);
// Audio and video formats.
std::optional<CarvedFile> riff(const Finder& f, uint64_t offset);
std::optional<CarvedFile> aiff(const Finder& f, uint64_t offset);
std::optional<CarvedFile> ebml(const Finder& f, uint64_t offset);
std::optional<CarvedFile> ogg(const Finder& f, uint64_t offset);
std::optional<CarvedFile> mp3(const Finder& f, uint64_t offset);
std::optional<CarvedFile> isoBMFF(const Finder& f, uint64_t offset);

// The length of the MPEG audio frame with this header, or absent when the
// header is not a valid frame header.
std::optional<uint32_t> mpegFrameLength(uint32_t header);

inline CarvedFile found(uint64_t offset, uint64_t size, std::string ext, bool exact = true,
                        std::optional<Date> date = std::nullopt) {
    return CarvedFile{offset, size, std::move(ext), exact, date};
}

// A count of seconds since 1970 as a date; absent outside what a Date holds.
std::optional<Date> dateFromUnixSeconds(int64_t seconds);

// Text in the form "yyyy:MM:dd HH:mm:ss", read in the current time zone.
std::optional<Date> parseExifDateText(const std::string& text);

}  // namespace sovanta::carving
