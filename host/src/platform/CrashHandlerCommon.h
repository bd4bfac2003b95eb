#pragma once

// Shared by the platform crash handlers; not for use outside platform/.

#include "platform/CrashHandler.h"
#include "platform/Paths.h"

#include <cstddef>
#include <cstdint>

namespace quillane::host {

// Appends to a fixed buffer; never allocates, silently truncates.
class FixedText {
public:
    FixedText(char* buffer, std::size_t capacity) : buffer(buffer), capacity(capacity) { buffer[0] = '\0'; }
    FixedText& add(const char* text) {
        while (text && *text && length + 1 < capacity) buffer[length++] = *text++;
        buffer[length] = '\0';
        return *this;
    }
    // At least minDigits digits, zero-padded.
    FixedText& addDecimal(long long value, int minDigits = 1) {
        char digits[24];
        int n = 0;
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude || n < minDigits);
        if (value < 0) digits[n++] = '-';
        char text[24];
        for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
        text[n] = '\0';
        return add(text);
    }
    // All 16 digits: "0x0000000000000010".
    FixedText& addHex(std::uintptr_t value) {
        char text[2 + 2 * sizeof value + 1] = "0x";
        for (int i = 0; i < static_cast<int>(2 * sizeof value); ++i)
            text[2 + i] = "0123456789abcdef"[(value >> (4 * (2 * sizeof value - 1 - i))) & 0xf];
        text[sizeof text - 1] = '\0';
        return add(text);
    }
    // Without leading zeros, as the log's "{:#x}" prints: "0x10".
    FixedText& addShortHex(std::uintptr_t value) {
        char text[2 + 2 * sizeof value + 1];
        int n = static_cast<int>(sizeof text) - 1;
        text[n] = '\0';
        do {
            text[--n] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value);
        text[--n] = 'x';
        text[--n] = '0';
        return add(text + n);
    }
    const char* data() const { return buffer; }
    std::size_t size() const { return length; }

private:
    char* buffer;
    std::size_t capacity;
    std::size_t length = 0;
};

// Runs the registered clean-ups, in registration order.
void runCrashCleanups() noexcept;

// The folder that the options name, or "crashes" in the state folder; empty when unknown.
std::filesystem::path crashFolder(const CrashHandlerOptions& options);

struct CrashTime {
    int year, month, day, hour, minute, second;
};
constexpr int kCrashTimeLength = 15;  // "YYYYMMDD_HHMMSS"

// Writes "YYYYMMDD_HHMMSS" and a terminating NUL (16 chars) to out.
void formatCrashTime(char* out, const CrashTime& time);

}  // namespace quillane::host
