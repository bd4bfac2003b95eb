#include "ui/TextFit.h"

#include <vector>

namespace quillane::host {
namespace {
bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

std::string fitText(std::string_view text, float maxWidth, const std::function<float(std::string_view)>& measure) {
    if (measure(text) <= maxWidth) return std::string(text);
    // Code-point boundaries, then the longest prefix that fits with the ellipsis
    // (binary search: titles can be long and lists hold hundreds of rows).
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 1; i < text.size(); ++i)
        if (!isContinuation(text[i])) cuts.push_back(i);
    std::size_t lo = 0;  // cuts[0] == 0 always fits: the ellipsis alone
    std::size_t hi = cuts.size() - 1;
    while (lo < hi) {
        const std::size_t mid = (lo + hi + 1) / 2;
        std::string candidate(text.substr(0, cuts[mid]));
        candidate += "...";
        if (measure(candidate) <= maxWidth) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return std::string(text.substr(0, cuts[lo])) + "...";
}

}  // namespace quillane::host
