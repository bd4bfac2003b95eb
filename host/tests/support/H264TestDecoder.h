#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quillane::host::test {

// A decoded picture. Which of the pixel vectors are filled depends on the decoder's Output.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    bool fullRange = false;
    bool keyframe = false;
    std::vector<std::uint8_t> y, u, v;  // 8-bit 4:2:0 planes without padding (only y for Output::luma)
    std::vector<std::uint8_t> rgb;      // RGB24, converted with the matrix and range the stream declares
};

// libavcodec's H.264 decoder: Annex B access units in, pictures out.
class H264TestDecoder {
public:
    enum class Output { yuv, luma, rgb };

    explicit H264TestDecoder(Output output = Output::yuv);
    ~H264TestDecoder();
    H264TestDecoder(const H264TestDecoder&) = delete;
    H264TestDecoder& operator=(const H264TestDecoder&) = delete;

    // Feeds one access unit; returns the pictures it completed. A unit the decoder rejects, or a
    // picture that is not 8-bit 4:2:0 when the planes are asked for, counts in errors().
    std::vector<DecodedPicture> decode(const std::uint8_t* data, std::size_t size);
    // One access unit, one picture: false when the unit is rejected or yields no picture.
    bool decode(const std::uint8_t* data, std::size_t size, DecodedPicture& picture);
    int errors() const { return errors_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    Output output_;
    int errors_ = 0;
};

// NAL unit types of an Annex B access unit, in order.
std::vector<int> nalTypes(const std::uint8_t* data, std::size_t size);
inline std::vector<int> nalTypes(const std::vector<std::uint8_t>& unit) { return nalTypes(unit.data(), unit.size()); }
// The first NAL unit of a type, without its start code; empty when there is none.
std::vector<std::uint8_t> findNal(const std::uint8_t* data, std::size_t size, int type);

}  // namespace quillane::host::test
