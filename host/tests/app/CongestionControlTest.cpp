#include "app/CongestionControl.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillane::host::test {

using quillane::host::CongestionControl;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

struct Recorder {
    std::vector<CongestionControl::Change> changes;
    CongestionControl::ApplyFn fn() {
        return [this](const CongestionControl::Change& c) { changes.push_back(c); };
    }
};

// The first report at t = 0 only sets the bitrate.
void prime(CongestionControl& cc, std::uint32_t target) {
    EXPECT_FALSE(cc.onFeedback(0, 0, target, 0, {}));
    EXPECT_EQ(cc.currentKbps(), target);
}

}  // namespace

// Down by a fifth per second to the 2000 floor, which holds without resetting
// the clock, then up by a tenth per second back to the target.
TEST(CongestionControl, StepsDownToTheFloorAndBackUpToTheTarget) {
    CongestionControl cc;
    prime(cc, 20000);
    Recorder rec;
    std::vector<std::uint32_t> down;
    std::int64_t t = 0;
    for (int s = 1; s <= 14; ++s)
        if (auto c = cc.onFeedback(31, 0, 20000, t = s * kSecond, rec.fn())) down.push_back(c->bitrateKbps);
    EXPECT_EQ(down, (std::vector<std::uint32_t>{16000, 12800, 10240, 8192, 6553, 5242, 4193, 3354, 2683, 2146, 2000}));
    ASSERT_EQ(rec.changes.size(), down.size());
    EXPECT_EQ(rec.changes[0].maxBitrateKbps, 24000u);
    EXPECT_EQ(rec.changes[0].previousKbps, 20000u);
    EXPECT_TRUE(rec.changes[0].congested);

    // At the floor congestion changes nothing; a good report right after still applies.
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, t += 5 * kSecond, rec.fn()));
    EXPECT_EQ(rec.changes.size(), down.size());
    std::vector<std::uint32_t> up;
    for (int i = 0; i < 30; ++i) {
        if (auto c = cc.onFeedback(14, 19, 20000, t += (i == 0 ? 1 : kSecond), {})) {
            EXPECT_FALSE(c->congested);
            up.push_back(c->bitrateKbps);
        }
    }
    ASSERT_EQ(up.size(), 25u);
    EXPECT_EQ(std::vector<std::uint32_t>(up.begin(), up.begin() + 3), (std::vector<std::uint32_t>{2200, 2420, 2662}));
    EXPECT_EQ(std::vector<std::uint32_t>(up.end() - 3, up.end()), (std::vector<std::uint32_t>{17884, 19672, 20000}));
    for (std::size_t i = 1; i < up.size(); ++i) EXPECT_GT(up[i], up[i - 1]);
}

TEST(CongestionControl, ThresholdsAreStrictAndChangesComeAtMostOncePerSecond) {
    CongestionControl cc;
    prime(cc, 20000);
    // Within the first second after the clock was set nothing changes.
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, kSecond - 1, {}));
    EXPECT_FALSE(cc.onFeedback(30, 50, 20000, 2 * kSecond, {}));  // decode 30 / rtt 50 are not congestion
    auto c = cc.onFeedback(0, 51, 20000, 2 * kSecond + 1, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 16000u);
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, 2 * kSecond + kSecond / 2, {}));
    // rtt 20 or decode 15 block an increase; 20 / 30 is neither good nor congested.
    EXPECT_FALSE(cc.onFeedback(0, 20, 20000, 5 * kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(15, 0, 20000, 6 * kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(20, 30, 20000, 7 * kSecond, {}));
    c = cc.onFeedback(14, 19, 20000, 8 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 17600u);
    EXPECT_EQ(c->maxBitrateKbps, 26400u);
    // A lower target caps the increase; at the target nothing rises.
    c = cc.onFeedback(0, 0, 19000, 9 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 19000u);
    EXPECT_FALSE(cc.onFeedback(0, 0, 19000, 10 * kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(0, 0, 15000, 11 * kSecond, {}));
}

TEST(CongestionControl, ResetPutsTheBitrateBackAtOnceAndKeepsTheClock) {
    CongestionControl cc;
    prime(cc, 20000);
    ASSERT_TRUE(cc.onFeedback(31, 0, 20000, kSecond, {}));
    ASSERT_TRUE(cc.onFeedback(31, 0, 20000, 2 * kSecond, {}));
    Recorder rec;
    cc.reset(30000, 60000, rec.fn());
    ASSERT_EQ(rec.changes.size(), 1u);
    EXPECT_EQ(rec.changes[0].previousKbps, 12800u);
    EXPECT_EQ(rec.changes[0].bitrateKbps, 30000u);
    EXPECT_EQ(rec.changes[0].maxBitrateKbps, 60000u);
    EXPECT_EQ(cc.currentKbps(), 30000u);
    EXPECT_FALSE(cc.onFeedback(31, 0, 30000, 2 * kSecond + kSecond / 2, {}));
    auto c = cc.onFeedback(31, 0, 30000, 3 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 24000u);
}

// The bitrate never goes above the target: a target under the 2000 floor is not
// raised by a "reducing" step, and the encoders' ceiling bounds every maximum.
TEST(CongestionControl, NeverAboveTheTargetAndNeverBeyondTheEncodersCeiling) {
    CongestionControl low;
    prime(low, 1000);
    EXPECT_FALSE(low.onFeedback(31, 0, 1000, kSecond, {}));
    EXPECT_EQ(low.currentKbps(), 1000u);
    CongestionControl near;
    prime(near, 2400);
    auto c = near.onFeedback(31, 0, 2400, kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 2000u);

    constexpr std::uint32_t kCeiling = 4294967;
    CongestionControl high;
    prime(high, kCeiling);
    c = high.onFeedback(31, 0, kCeiling, kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 3435973u);
    EXPECT_EQ(c->maxBitrateKbps, kCeiling);
    c = high.onFeedback(0, 0, kCeiling, 2 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 3779570u);
    EXPECT_EQ(CongestionControl::maxFor(0xFFFFFFFFu), kCeiling);
}

}  // namespace quillane::host::test
