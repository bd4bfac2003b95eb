#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/Utf8.h"  // utf8Prefix, for the callers that cut by bytes

namespace quillane::host {

// Cuts `text` so that it, followed by "...", is no wider than `maxWidth`, and
// appends "..."; text that fits comes back unchanged. Cuts fall only between
// UTF-8 code points. `measure` gives the drawn width of a string.
std::string fitText(std::string_view text, float maxWidth, const std::function<float(std::string_view)>& measure);

}  // namespace quillane::host
