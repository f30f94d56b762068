// The names a recovery gives its files and folders on the destination's file
// system: what FAT, exFAT and NTFS cannot hold is replaced, and a name too
// long for the file system (or for the path it ends) is cut between
// characters.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>

#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#else
#include <sys/statfs.h>
#endif

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "SovantaCore/DiskList.h"
#include "SovantaCore/Recovery.h"

namespace sovanta::RecoveryEngine {

namespace fs = std::filesystem;

namespace {

constexpr size_t unlimited = std::numeric_limits<size_t>::max();
// The longest name sanitize gives.
constexpr size_t maxNameBytes = 250;

// The UTF-16 code units of a UTF-8 text: one per character, two above U+FFFF.
size_t utf16Units(const std::string& text) {
    size_t units = 0;
    for (char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c & 0xC0) != 0x80) ++units;  // the first byte of a character
        if (c >= 0xF0) ++units;           // a character above U+FFFF
    }
    return units;
}

bool forbiddenOnWindows(unsigned char c) {
    return c < 0x20 || std::strchr(":?*\"<>|\\", static_cast<char>(c)) != nullptr;
}

void dropTrailingDotsAndBlanks(std::string& name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9, whatever follows the first dot;
// baseEnd is where the device name ends.
bool isDeviceName(const std::string& name, size_t& baseEnd) {
    std::string base = name.substr(0, std::min(name.find('.'), name.size()));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    baseEnd = base.size();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    for (const char* device : plain)
        if (base == device) return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           std::isdigit(static_cast<unsigned char>(base[3]));
}

// The longest start of text of at most limit bytes that ends between UTF-8
// sequences.
std::string cutUTF8(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t at = limit;
    while (at > 0 && (static_cast<uint8_t>(text[at]) & 0xC0) == 0x80) --at;
    return text.substr(0, at);
}

// The longest start of text that ends between two characters (grapheme
// clusters) and holds at most maxBytes bytes and maxUnits UTF-16 units.
std::string cutToFit(const std::string& text, size_t maxBytes, size_t maxUnits) {
    if (text.size() <= maxBytes && utf16Units(text) <= maxUnits) return text;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    size_t cut = 0;
    if (U_SUCCESS(status) && characters) {
        characters->setText(utext, status);
        // Boundary by boundary while the start up to it fits; cut is the last.
        size_t units = 0;
        characters->first();
        for (int32_t next = characters->next(); U_SUCCESS(status) && next != icu::BreakIterator::DONE;
             next = characters->next()) {
            const auto end = static_cast<size_t>(next);
            units += utf16Units(text.substr(cut, end - cut));
            if (end > maxBytes || units > maxUnits) break;
            cut = end;
        }
    }
    utext_close(utext);
    if (!U_SUCCESS(status) || !characters) {
        // Without the break rules: whole UTF-8 sequences.
        cut = 0;
        size_t units = 0;
        for (size_t i = 0; i < text.size();) {
            size_t length = 1;
            while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) ++length;
            units += utf16Units(text.substr(i, length));
            if (i + length > maxBytes || units > maxUnits) break;
            i += length;
            cut = i;
        }
    }
    return text.substr(0, cut);
}

// stem + suffix + "." + extension within the limits, the stem cut as far as
// needed; the extension goes with the stem when it would take more than half
// of the room.
std::string fit(const std::string& name, const std::string& suffix, bool isDirectory, bool windows, size_t maxBytes,
                size_t maxUnits) {
    std::string extension = isDirectory ? std::string() : pathExtension(name);
    std::string tail = extension.empty() ? suffix : suffix + "." + extension;
    std::string stem = extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
    if (stem.size() + tail.size() <= maxBytes && utf16Units(stem) + utf16Units(tail) <= maxUnits) return stem + tail;
    if (!extension.empty() && (tail.size() - suffix.size()) * 2 > std::min(maxBytes, maxUnits)) {
        stem = name;
        tail = suffix;
    }
    const size_t tailUnits = utf16Units(tail);
    stem = cutToFit(stem, maxBytes > tail.size() ? maxBytes - tail.size() : 0,
                    maxUnits > tailUnits ? maxUnits - tailUnits : 0);
    // A cut that ends in a blank (or, for Windows, a dot) drops it.
    while (!stem.empty() && (stem.back() == ' ' || (windows && stem.back() == '.'))) stem.pop_back();
    std::string out = stem + tail;
    if (out.empty() || out == "." || out == "..") out = "_";
    return out;
}

size_t byteLimit(const NameRules& rules, size_t limit) {
    return limit == 0 ? rules.maxBytes : std::min(rules.maxBytes, limit);
}

size_t unitLimit(const NameRules& rules) { return rules.maxUnits == 0 ? unlimited : rules.maxUnits; }

}  // namespace

std::string sanitize(const std::string& name) {
    std::string s = name;
    for (char& c : s) {
        if (c == '/') c = ':';
        else if (c == '\0') c = '_';
    }
    // Unicode white space and line breaks off both ends.
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    int32_t length = static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX));
    int32_t start = 0;
    while (start < length) {
        int32_t i = start;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = i;
    }
    int32_t end = length;
    while (end > start) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(bytes, start, i, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = i;
    }
    s = s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
    if (s.empty() || s == "." || s == "..") return "unavngivet";
    if (s.size() <= maxNameBytes) return s;

    // Cut at the last character (grapheme cluster) boundary within the limit;
    // a first character longer than that between UTF-8 sequences.
    const std::string cut = cutToFit(s, maxNameBytes, unlimited);
    s = cut.empty() ? cutUTF8(s, maxNameBytes) : cut;
    return s.empty() ? "unavngivet" : s;
}

std::string unfinishedName(const std::string& name, const NameRules& rules, size_t limit) {
    // The suffix follows the whole name, its extension too.
    return fit(name, ".ufærdig", true, rules.windows, byteLimit(rules, limit), unitLimit(rules));
}

std::string interruptedName(const std::string& name, const NameRules& rules, size_t limit) {
    return fit(name, " (afbrudt)", false, rules.windows, byteLimit(rules, limit), unitLimit(rules));
}

std::string adaptName(const std::string& name, const NameRules& rules, bool isDirectory, size_t limit) {
    std::string out = name;
    if (rules.windows) {
        for (char& c : out)
            if (forbiddenOnWindows(static_cast<unsigned char>(c))) c = '_';
        dropTrailingDotsAndBlanks(out);
        if (out.empty()) out = "unavngivet";
        if (size_t baseEnd = 0; isDeviceName(out, baseEnd)) out.insert(baseEnd, "_");
    }
    return fit(out, "", isDirectory, rules.windows, byteLimit(rules, limit), unitLimit(rules));
}

std::string numberedToFit(const std::string& name, uint64_t n, bool isDirectory, const NameRules& rules,
                          size_t limit) {
    return fit(name, " (" + std::to_string(n) + ")", isDirectory, rules.windows, byteLimit(rules, limit),
               unitLimit(rules));
}

NameRules nameRules(const fs::path& folder) {
    NameRules rules;
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0) return rules;
#ifdef __APPLE__
    const std::string type = info.f_fstypename;
    rules.windows = type == "msdos" || type == "exfat" || type == "ntfs" || type == "smbfs";
#else
    if (info.f_namelen > 0 && info.f_namelen < 255) rules.maxBytes = static_cast<size_t>(info.f_namelen);
    using Magic = decltype(info.f_type);
    constexpr Magic msdos = 0x4d44, exfat = 0x2011BAB0, ntfs = 0x5346544e, cifs = static_cast<Magic>(0xFF534D42),
                    smb2 = static_cast<Magic>(0xFE534D42), smb = 0x517B, fuse = 0x65735546;
    switch (info.f_type) {
    case msdos:
    case exfat:
    case ntfs:
    case cifs:
    case smb2:
    case smb:
        rules.windows = true;
        break;
    case fuse: {
        // FUSE tells its drivers apart only in the mount table: "fuseblk"
        // (ntfs-3g, exfat-fuse on a block device) or "fuse.<driver>".
        const std::string type = DiskList::mountType(folder).value_or("");
        std::string driver = type.starts_with("fuse.") ? type.substr(5) : std::string();
        for (char& c : driver) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        rules.windows = type == "fuseblk" || driver.find("fat") != std::string::npos ||
                        driver.find("ntfs") != std::string::npos || driver.find("msdos") != std::string::npos;
        break;
    }
    default:
        break;
    }
#endif
    if (rules.windows) rules.maxUnits = 255;
    return rules;
}

}  // namespace sovanta::RecoveryEngine
