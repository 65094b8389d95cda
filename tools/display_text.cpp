// display_text.cpp

#include "tools/display_text.h"

#include <cstdint>
#include <cstdio>
#include <optional>

namespace quarnhold::tools {
namespace {

// One character of UTF-8 text: its code point and length, or nothing for a
// byte that does not start a well-formed sequence.
struct Character {
    char32_t codePoint;
    size_t length;
};

std::optional<Character> DecodeUtf8(std::string_view text)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return Character{lead, 1};
    size_t length = 0;
    char32_t codePoint = 0;
    char32_t least = 0;  // the smallest code point this length may encode
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
        codePoint = codePoint << 6 | (byte(i) & 0x3F);
    }
    if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return std::nullopt;
    }
    return Character{codePoint, length};
}

// Characters that act on a terminal or on the text around them rather than
// showing: C1 controls, the bidirectional marks, embeddings, overrides and
// isolates, and the Unicode line and paragraph separators.
bool IsFormatControl(char32_t c)
{
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

bool IsControl(char32_t c)
{
    return c < 0x20 || c == 0x7F;
}

std::string HexEscape(const char* format, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Whether a shell would take `c` as itself anywhere in an unquoted word;
// '#' only starts a comment at a word's start, so it counts after that.
bool PlainInShell(char c, bool first)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos || (c == '#' && !first);
}

}  // namespace

std::string EscapeControls(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        std::optional<Character> character = DecodeUtf8(text);
        if (!character) {
            shown += HexEscape("\\x%02X", static_cast<uint8_t>(text[0]));
            text.remove_prefix(1);
            continue;
        }
        const char32_t c = character->codePoint;
        if (c == '\t') {
            shown += "\\t";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (IsControl(c)) {
            shown += HexEscape("\\x%02X", static_cast<unsigned>(c));
        } else if (IsFormatControl(c)) {
            shown += HexEscape("\\u%04X", static_cast<unsigned>(c));
        } else {
            shown += text.substr(0, character->length);
        }
        text.remove_prefix(character->length);
    }
    return shown;
}

std::string ShellQuote(std::string_view text)
{
    if (text.empty()) return "''";
    bool plain = true;
    bool needsAnsiC = false;
    for (std::string_view rest = text; !rest.empty();) {
        std::optional<Character> character = DecodeUtf8(rest);
        const size_t length = character ? character->length : 1;
        plain = plain && PlainInShell(rest[0], rest.size() == text.size());
        needsAnsiC =
            needsAnsiC || !character || IsControl(character->codePoint) || IsFormatControl(character->codePoint);
        rest.remove_prefix(length);
    }
    if (plain) return std::string(text);
    if (!needsAnsiC) {
        std::string quoted = "'";
        for (char c : text) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return quoted + "'";
    }
    // bash, ksh and zsh read $'...' with \xHH escapes: the control
    // characters stay escaped on the screen and come back as themselves.
    std::string quoted = "$'";
    while (!text.empty()) {
        std::optional<Character> character = DecodeUtf8(text);
        const size_t length = character ? character->length : 1;
        if (!character || IsControl(character->codePoint) || IsFormatControl(character->codePoint)) {
            for (size_t i = 0; i < length; ++i) quoted += HexEscape("\\x%02X", static_cast<uint8_t>(text[i]));
        } else if (text[0] == '\'' || text[0] == '\\') {
            quoted += '\\';
            quoted += text[0];
        } else {
            quoted += text.substr(0, length);
        }
        text.remove_prefix(length);
    }
    return quoted + "'";
}

}  // namespace quarnhold::tools
