#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillane::host {

// Cuts `text` so that it, followed by "...", is no wider than `maxWidth`, and
// appends "..."; text that fits comes back unchanged. Cuts fall only between
// UTF-8 code points. `measure` gives the drawn width of a string.
std::string fitText(std::string_view text, float maxWidth, const std::function<float(std::string_view)>& measure);

// The longest prefix of `text` of at most `maxBytes` bytes that ends on a
// UTF-8 code-point boundary.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace quillane::host
