#include "agent/state/EchoText.h"

#include <fmt/format.h>

#include <cstdint>

namespace VornTcamAgent {

namespace {

// Length of the valid UTF-8 sequence starting at text[i] and its code point; 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF included).
std::size_t utf8Sequence(std::string_view text, std::size_t i, std::uint32_t& cp) {
    auto const b = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        auto const c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Code points a terminal would act on or that reorder the text around them.
bool isHidden(std::uint32_t cp) {
    return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F || cp == 0x061C;
}

void appendEscape(std::string& out, std::uint32_t cp) {
    switch (cp) {
        case 0:
            out += "\\0";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += cp < 0x80 ? fmt::format("\\x{:02x}", cp) : fmt::format("\\u{:04x}", cp);
    }
}

std::string escape(std::string_view text, std::size_t maxBytes, bool doubleBackslash) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes) + 16);
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint32_t cp = 0;
        std::size_t const len = utf8Sequence(text, i, cp);
        std::string piece;
        if (len == 0) {
            piece = fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
        } else if (isHidden(cp)) {
            appendEscape(piece, cp);
        } else if (cp == '\\' && doubleBackslash) {
            piece = "\\\\";
        } else {
            piece.assign(text.substr(i, len));
        }
        if (out.size() + piece.size() > maxBytes) break;
        out += piece;
        i += len == 0 ? 1 : len;
    }
    if (i < text.size()) out += fmt::format("...({} bytes)", text.size());
    return out;
}

}  // namespace

std::string echoText(std::string_view text, std::size_t maxBytes) { return escape(text, maxBytes, true); }

std::string echoMessage(std::string_view text, std::size_t maxBytes) { return escape(text, maxBytes, false); }

}  // namespace VornTcamAgent
