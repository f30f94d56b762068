#include "SovantaCore/VisibleText.h"

#include <cstdint>

namespace sovanta {

namespace {

// The code point of the UTF-8 sequence of length bytes at text[i].
uint32_t codePoint(std::string_view text, size_t i, size_t length) {
    uint32_t code = static_cast<unsigned char>(text[i]) & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    return code;
}

// The length of the UTF-8 sequence at text[i]; 0 when it is none (a stray
// byte, an overlong form, a surrogate or a code point past U+10FFFF).
size_t sequenceLength(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > text.size() - i) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    const uint32_t code = codePoint(text, i, length);
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || (code >= 0xD800 && code <= 0xDFFF) ||
        code > 0x10FFFF)
        return 0;
    return length;
}

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static const char* const hexDigits = "0123456789abcdef";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += hexDigits[(value >> shift) & 0xF];
}

// Bidirectional controls, which turn "gpj.<U+202E>exe" into "gpj.exe" read backwards.
bool isBidiControl(uint32_t code) {
    return code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string visibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x80) {
            if (c == '\n') out += "\\n";
            else if (c == '\r') out += "\\r";
            else if (c == '\t') out += "\\t";
            else appendHex(out, "\\x", c, 2);
            ++i;
        } else if (size_t length = sequenceLength(text, i); length == 0) {
            appendHex(out, "\\x", c, 2);
            ++i;
        } else if (uint32_t code = codePoint(text, i, length);
                   code < 0xA0 || isBidiControl(code) || code == 0x2028 || code == 0x2029) {
            // (U+2028 and U+2029 break the line as a line feed does.)
            appendHex(out, "\\u", code, 4);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace sovanta
