#include "network/LogText.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quillane::host {

namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or 0; its code point in `decoded`.
std::size_t utf8SequenceLength(std::string_view text, std::uint32_t& decoded) {
    const auto b0 = static_cast<std::uint8_t>(text[0]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, minimum = 0x80, code = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, minimum = 0x800, code = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, minimum = 0x10000, code = b0 & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if ((b & 0xC0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (b & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    decoded = code;
    return length;
}

// C1 controls and the bidirectional embeddings, overrides and isolates: a log
// viewer would act on them, letting a peer hide or reorder what a line says.
bool isHiddenControl(std::uint32_t code) {
    return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

void appendCodePoint(std::string& out, std::uint32_t code) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0x0F];
}

void appendEscaped(std::string& out, std::uint8_t byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

}  // namespace

std::string logSafeText(std::string_view text, std::size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit) + 16);
    std::size_t pos = 0;
    while (pos < text.size() && pos < limit) {
        const auto byte = static_cast<std::uint8_t>(text[pos]);
        if (byte < 0x20 || byte == 0x7F) {
            appendEscaped(out, byte);
            ++pos;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++pos;
        } else if (std::uint32_t code = 0; const std::size_t length = utf8SequenceLength(text.substr(pos), code)) {
            if (isHiddenControl(code)) {
                appendCodePoint(out, code);
            } else {
                out.append(text.substr(pos, length));
            }
            pos += length;
        } else {
            appendEscaped(out, byte);
            ++pos;
        }
    }
    if (pos < text.size()) {
        out += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

}  // namespace quillane::host
