#include "capture/CasCpu.h"

#include "capture/PixelWorkers.h"

#include <algorithm>
#include <cmath>

#include <emmintrin.h>

// The interior of each row runs on SSE2 (every x86-64 CPU has it); GCC does not
// vectorise the mixed byte and float arithmetic by itself.

namespace quillane::host {
namespace {

// One channel of one pixel from its nine neighbours (0..255 each).
inline std::uint8_t casChannel(int a, int b, int c, int d, int e, int f, int g, int h, int i,
                               float invPeak) {
    const int mnCross = std::min(std::min(std::min(b, d), std::min(e, f)), h);
    const int mxCross = std::max(std::max(std::max(b, d), std::max(e, f)), h);
    const int mn = mnCross + std::min(std::min(std::min(a, c), std::min(g, i)), mnCross);
    const int mx = mxCross + std::max(std::max(std::max(a, c), std::max(g, i)), mxCross);
    // In 0..255 units the shader's 2.0 is 510; the ratio is the same.
    const float ratio = mx > 0 ? static_cast<float>(std::min(mn, 510 - mx)) / static_cast<float>(mx)
                               : 0.0f;
    const float amount = std::min(std::max(ratio, 0.0f), 1.0f);
    const float w = -std::sqrt(amount) * invPeak;
    const float value = (w * static_cast<float>(b + d + f + h) + static_cast<float>(e)) / (1.0f + 4.0f * w);
    const float clamped = std::min(std::max(value, 0.0f), 255.0f);
    return static_cast<std::uint8_t>(static_cast<int>(clamped + 0.5f));
}

// Pixel column x with clamped neighbours, all four bytes.
void casPixelClamped(const std::uint8_t* up, const std::uint8_t* cur, const std::uint8_t* down,
                     std::uint32_t x, std::uint32_t width, std::uint8_t* out, float invPeak) {
    const std::uint32_t l = (x == 0 ? 0 : x - 1) * 4;
    const std::uint32_t m = x * 4;
    const std::uint32_t r = (x + 1 < width ? x + 1 : x) * 4;
    for (int ch = 0; ch < 3; ++ch) {
        out[m + ch] = casChannel(up[l + ch], up[m + ch], up[r + ch], cur[l + ch], cur[m + ch], cur[r + ch],
                                 down[l + ch], down[m + ch], down[r + ch], invPeak);
    }
    out[m + 3] = 255;
}

// Four channels of four pixels at once: bytes k .. k + 15 of the row, every
// neighbour 4 bytes away. Same arithmetic and rounding as casChannel.
inline __m128 toFloat(__m128i v16, bool high) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_cvtepi32_ps(high ? _mm_unpackhi_epi16(v16, zero) : _mm_unpacklo_epi16(v16, zero));
}

inline __m128i casQuad(__m128i mn, __m128i mx, __m128i sum, __m128i e, bool high, __m128 invPeak) {
    const __m128 fmn = toFloat(mn, high);
    const __m128 fmx = toFloat(mx, high);
    const __m128 limit = _mm_min_ps(fmn, _mm_sub_ps(_mm_set1_ps(510.0f), fmx));
    // 0 / 0 for an all-black neighbourhood gives NaN, which max() turns into 0.
    const __m128 ratio = _mm_div_ps(limit, fmx);
    const __m128 amount = _mm_min_ps(_mm_max_ps(ratio, _mm_setzero_ps()), _mm_set1_ps(1.0f));
    const __m128 w = _mm_sub_ps(_mm_setzero_ps(), _mm_mul_ps(_mm_sqrt_ps(amount), invPeak));
    const __m128 num = _mm_add_ps(_mm_mul_ps(w, toFloat(sum, high)), toFloat(e, high));
    const __m128 den = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(_mm_set1_ps(4.0f), w));
    const __m128 value = _mm_min_ps(_mm_max_ps(_mm_div_ps(num, den), _mm_setzero_ps()), _mm_set1_ps(255.0f));
    return _mm_cvttps_epi32(_mm_add_ps(value, _mm_set1_ps(0.5f)));
}

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Interior bytes [4, 4 * (width - 1)): no clamping needed.
void casRowInterior(const std::uint8_t* up, const std::uint8_t* cur, const std::uint8_t* down,
                    std::uint8_t* out, std::uint32_t width, float invPeakScalar) {
    const std::uint32_t end = 4 * (width - 1);
    const __m128 invPeak = _mm_set1_ps(invPeakScalar);
    const __m128i zero = _mm_setzero_si128();
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    std::uint32_t k = 4;
    for (; k + 16 <= end; k += 16) {
        const __m128i a = load(up + k - 4), b = load(up + k), c = load(up + k + 4);
        const __m128i d = load(cur + k - 4), e = load(cur + k), f = load(cur + k + 4);
        const __m128i g = load(down + k - 4), h = load(down + k), i = load(down + k + 4);
        const __m128i mnCross = _mm_min_epu8(_mm_min_epu8(_mm_min_epu8(b, d), _mm_min_epu8(e, f)), h);
        const __m128i mxCross = _mm_max_epu8(_mm_max_epu8(_mm_max_epu8(b, d), _mm_max_epu8(e, f)), h);
        const __m128i mnAll = _mm_min_epu8(_mm_min_epu8(_mm_min_epu8(a, c), _mm_min_epu8(g, i)), mnCross);
        const __m128i mxAll = _mm_max_epu8(_mm_max_epu8(_mm_max_epu8(a, c), _mm_max_epu8(g, i)), mxCross);
        __m128i result[2];
        for (int half = 0; half < 2; ++half) {
            const auto widen = [&](__m128i v) {
                return half ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
            };
            const __m128i mn = _mm_add_epi16(widen(mnCross), widen(mnAll));
            const __m128i mx = _mm_add_epi16(widen(mxCross), widen(mxAll));
            const __m128i sum = _mm_add_epi16(_mm_add_epi16(widen(b), widen(d)), _mm_add_epi16(widen(f), widen(h)));
            const __m128i ew = widen(e);
            result[half] = _mm_packs_epi32(casQuad(mn, mx, sum, ew, false, invPeak),
                                           casQuad(mn, mx, sum, ew, true, invPeak));
        }
        const __m128i bytes = _mm_or_si128(_mm_packus_epi16(result[0], result[1]), alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), bytes);
    }
    for (; k < end; ++k) {
        out[k] = (k & 3) == 3 ? 255
                              : casChannel(up[k - 4], up[k], up[k + 4], cur[k - 4], cur[k], cur[k + 4],
                                           down[k - 4], down[k], down[k + 4], invPeakScalar);
    }
}

}  // namespace

void casSharpenRows(const CasImage& source, std::uint8_t* target, std::uint32_t targetPitch,
                    float sharpness, std::uint32_t firstRow, std::uint32_t endRow) {
    if (!source.data || !target || source.width == 0 || source.height == 0) return;
    const float s = std::min(std::max(sharpness, 0.0f), 1.0f);
    const float invPeak = 1.0f / (8.0f - 3.0f * s);
    endRow = std::min(endRow, source.height);
    for (std::uint32_t y = firstRow; y < endRow; ++y) {
        const std::uint8_t* up = source.data + std::size_t(y == 0 ? 0 : y - 1) * source.rowPitch;
        const std::uint8_t* cur = source.data + std::size_t(y) * source.rowPitch;
        const std::uint8_t* down = source.data + std::size_t(y + 1 < source.height ? y + 1 : y) * source.rowPitch;
        std::uint8_t* out = target + std::size_t(y) * targetPitch;
        casPixelClamped(up, cur, down, 0, source.width, out, invPeak);
        if (source.width > 1) {
            if (source.width > 2) casRowInterior(up, cur, down, out, source.width, invPeak);
            casPixelClamped(up, cur, down, source.width - 1, source.width, out, invPeak);
        }
    }
}

void casSharpen(const CasImage& source, std::uint8_t* target, std::uint32_t targetPitch, float sharpness,
                PixelWorkers* workers) {
    if (!workers) {
        casSharpenRows(source, target, targetPitch, sharpness, 0, source.height);
        return;
    }
    // Bands of rows, a few per thread so that uneven threads even out.
    const std::uint32_t bands = std::min<std::uint32_t>(source.height, workers->concurrency() * 4);
    if (bands == 0) return;
    const std::uint32_t rowsPerBand = (source.height + bands - 1) / bands;
    workers->run(bands, [&](std::size_t band) {
        const auto first = static_cast<std::uint32_t>(band) * rowsPerBand;
        casSharpenRows(source, target, targetPitch, sharpness, first, first + rowsPerBand);
    });
}

}  // namespace quillane::host
