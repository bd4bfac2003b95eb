#include "encode/ParameterSetCache.h"

namespace quillane::host {
namespace {

// Length of the start code at `pos` (3 or 4), or 0. Needs pos + 3 < size.
std::size_t startCodeAt(const std::uint8_t* data, std::size_t pos) {
    if (data[pos] != 0 || data[pos + 1] != 0) {
        return 0;
    }
    if (data[pos + 2] == 1) {
        return 3;
    }
    return (data[pos + 2] == 0 && data[pos + 3] == 1) ? 4 : 0;
}

}  // namespace

NalRule nalRuleForCodec(const std::string& codec) {
    return (codec == "h265" || codec == "hevc") ? NalRule::HEVC : NalRule::H264;
}

void extractParameterSets(const std::uint8_t* data, std::size_t size, NalRule rule, ParameterSets& sets) {
    if (data == nullptr || size < 5) {
        return;
    }
    std::size_t i = 0;
    while (i + 4 < size) {
        const std::size_t codeLength = startCodeAt(data, i);
        if (codeLength == 0) {
            ++i;
            continue;
        }
        const std::size_t header = i + codeLength;
        if (header >= size) {
            break;
        }
        std::size_t end = size;
        for (std::size_t j = header + 1; j + 3 < size; ++j) {
            if (startCodeAt(data, j) != 0) {
                end = j;
                break;
            }
        }
        const std::uint8_t b = data[header];
        std::vector<std::uint8_t>* target = nullptr;
        if (rule == NalRule::H264) {
            switch (b & 0x1F) {
            case 7: target = &sets.sps; break;
            case 8: target = &sets.pps; break;
            default: break;
            }
        } else {
            switch ((b >> 1) & 0x3F) {
            case 32: target = &sets.vps; break;
            case 33: target = &sets.sps; break;
            case 34: target = &sets.pps; break;
            default: break;
            }
        }
        if (target != nullptr) {
            target->assign(data + header, data + end);
        }
        i = end;
    }
    sets.isValid = !sets.sps.empty() && !sets.pps.empty();
}

bool containsIdr(const std::uint8_t* data, std::size_t size, NalRule rule) {
    if (data == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i + 3 < size; ++i) {
        const std::size_t codeLength = startCodeAt(data, i);
        if (codeLength == 0 || i + codeLength >= size) {
            continue;
        }
        const std::uint8_t b = data[i + codeLength];
        const bool idr = rule == NalRule::H264 ? (b & 0x1F) == 5 : ((b >> 1) & 0x3F) == 19 || ((b >> 1) & 0x3F) == 20;
        if (idr) {
            return true;
        }
        i += codeLength - 1;
    }
    return false;
}

void ParameterSetCache::scan(const std::uint8_t* data, std::size_t size, NalRule rule) {
    if (data == nullptr || size < 5) {
        return;
    }
    std::lock_guard lock(mutex);
    extractParameterSets(data, size, rule, sets);
}

ParameterSets ParameterSetCache::get() const {
    std::lock_guard lock(mutex);
    return sets;
}

}  // namespace quillane::host
