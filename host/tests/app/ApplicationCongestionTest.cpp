#include "app/CongestionControl.h"

#include <gtest/gtest.h>

#include <vector>

using quillane::host::CongestionControl;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

struct Recorder {
    std::vector<CongestionControl::Change> changes;
    CongestionControl::ApplyFn fn() {
        return [this](const CongestionControl::Change& c) { changes.push_back(c); };
    }
};

// Primes the controller at t = 0 (the first report only sets the bitrate).
void prime(CongestionControl& cc, std::uint32_t target) {
    EXPECT_FALSE(cc.onFeedback(0, 0, target, 0, {}));
    EXPECT_EQ(cc.currentKbps(), target);
}

}  // namespace

TEST(ApplicationCongestion, ReductionsFrom20000FollowTheFixedSteps) {
    CongestionControl cc;
    prime(cc, 20000);
    Recorder rec;
    std::vector<std::uint32_t> seen;
    for (int s = 1; s <= 14; ++s) {
        if (auto c = cc.onFeedback(31, 0, 20000, s * kSecond, rec.fn())) seen.push_back(c->bitrateKbps);
    }
    const std::vector<std::uint32_t> expected{16000, 12800, 10240, 8192, 6553, 5242,
                                              4193,  3354,  2683,  2146, 2000};
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(rec.changes.size(), expected.size());
    EXPECT_EQ(rec.changes[0].maxBitrateKbps, 24000u);
    EXPECT_EQ(rec.changes[0].previousKbps, 20000u);
    EXPECT_TRUE(rec.changes[0].congested);
    EXPECT_EQ(cc.currentKbps(), 2000u);
}

TEST(ApplicationCongestion, TwentyFiveIncreasesLeadFrom2000BackTo20000) {
    CongestionControl cc;
    prime(cc, 20000);
    std::int64_t t = 0;
    while (cc.currentKbps() > 2000) {
        t += kSecond;
        ASSERT_TRUE(cc.onFeedback(0, 60, 20000, t, {}));
    }
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 30; ++i) {
        t += kSecond;
        if (auto c = cc.onFeedback(14, 19, 20000, t, {})) {
            EXPECT_FALSE(c->congested);
            seen.push_back(c->bitrateKbps);
        }
    }
    ASSERT_EQ(seen.size(), 25u);
    EXPECT_EQ(seen[0], 2200u);
    EXPECT_EQ(seen[1], 2420u);
    EXPECT_EQ(seen[2], 2662u);
    EXPECT_EQ(seen[22], 17884u);
    EXPECT_EQ(seen[23], 19672u);
    EXPECT_EQ(seen[24], 20000u);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
}

TEST(ApplicationCongestion, ThresholdsAreStrict) {
    CongestionControl cc;
    prime(cc, 20000);
    // decode 30 / rtt 50 are not congestion.
    EXPECT_FALSE(cc.onFeedback(30, 50, 20000, 2 * kSecond, {}));
    auto c = cc.onFeedback(0, 51, 20000, 3 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 16000u);
    // rtt 20 or decode 15 block an increase.
    EXPECT_FALSE(cc.onFeedback(0, 20, 20000, 5 * kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(15, 0, 20000, 6 * kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(20, 30, 20000, 7 * kSecond, {}));  // neither good nor congested
    c = cc.onFeedback(14, 19, 20000, 8 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 17600u);
    EXPECT_EQ(c->maxBitrateKbps, 26400u);
}

TEST(ApplicationCongestion, AtMostOneChangePerSecond) {
    CongestionControl cc;
    prime(cc, 20000);
    // The first report set the clock; congestion within the first second changes nothing.
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, kSecond - 1, {}));
    ASSERT_TRUE(cc.onFeedback(31, 0, 20000, kSecond, {}));
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, kSecond + kSecond / 2, {}));
    EXPECT_EQ(cc.currentKbps(), 16000u);
    auto c = cc.onFeedback(31, 0, 20000, 2 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 12800u);
}

TEST(ApplicationCongestion, AtTheFloorCongestionChangesNothingAndKeepsTheClock) {
    CongestionControl cc;
    prime(cc, 20000);
    std::int64_t t = 0;
    while (cc.currentKbps() > 2000) cc.onFeedback(31, 0, 20000, t += kSecond, {});
    Recorder rec;
    EXPECT_FALSE(cc.onFeedback(31, 0, 20000, t + 5 * kSecond, rec.fn()));
    EXPECT_TRUE(rec.changes.empty());
    // The refused reduction did not reset the clock: a good report right after applies.
    auto c = cc.onFeedback(0, 0, 20000, t + 5 * kSecond + 1, rec.fn());
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 2200u);
}

TEST(ApplicationCongestion, NeverRaisesAboveTheTarget) {
    CongestionControl cc;
    prime(cc, 20000);
    ASSERT_TRUE(cc.onFeedback(31, 0, 20000, kSecond, {}));  // 16000
    // A lower target (applied elsewhere) caps the increase.
    auto c = cc.onFeedback(0, 0, 17000, 2 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 17000u);
    EXPECT_FALSE(cc.onFeedback(0, 0, 17000, 3 * kSecond, {}));
    // At or above the target nothing rises.
    EXPECT_FALSE(cc.onFeedback(0, 0, 20000 - 5000, 4 * kSecond, {}));
}

TEST(ApplicationCongestion, ResetPutsTheBitrateBackAtOnceAndKeepsTheClock) {
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
    // The time of the last change stays, so congestion half a second later waits.
    EXPECT_FALSE(cc.onFeedback(31, 0, 30000, 2 * kSecond + kSecond / 2, {}));
    auto c = cc.onFeedback(31, 0, 30000, 3 * kSecond, {});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->bitrateKbps, 24000u);
}
