#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quillane::host::test {

// A decoded picture, 8-bit 4:2:0 planes without padding.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    bool fullRange = false;
    bool keyframe = false;
    std::vector<std::uint8_t> y, u, v;
};

// libavcodec's H.264 decoder, one access unit in, its picture out.
class H264TestDecoder {
public:
    H264TestDecoder();
    ~H264TestDecoder();
    H264TestDecoder(const H264TestDecoder&) = delete;
    H264TestDecoder& operator=(const H264TestDecoder&) = delete;

    // Decodes one Annex B access unit; false when the decoder rejects it or yields no picture.
    bool decode(const std::uint8_t* data, std::size_t size, DecodedPicture& picture);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quillane::host::test
