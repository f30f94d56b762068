// Helpers shared by the carver's size finders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SovantaCore/Carver.h"
#include "SovantaCore/RandomReader.h"

namespace sovanta::carving {

inline CarvedFile found(uint64_t offset, uint64_t size, std::string ext, bool exact = true,
                        std::optional<Date> date = std::nullopt) {
    return CarvedFile{offset, size, std::move(ext), exact, date};
}

// A count of seconds since 1970 as a date; absent outside what a Date holds.
std::optional<Date> dateFromUnixSeconds(int64_t seconds);

// Text in the form "yyyy:MM:dd HH:mm:ss", read in the current time zone.
std::optional<Date> parseExifDateText(const std::string& text);

}  // namespace sovanta::carving
