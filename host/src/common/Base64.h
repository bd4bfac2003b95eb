#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillane::host {

// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks): the form
// window icons and SPS/PPS take on the wire.
std::string base64Encode(std::span<const std::uint8_t> data);
std::string base64Encode(const void* data, std::size_t size);

// Strict decoding; nullopt on any character outside the alphabet or bad padding.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace quillane::host
