// The window-capture part of Application's life, which Linux runs on real X
// windows: Wine has no window capture, so each says so here by name.
#include <gtest/gtest.h>

#include "../ApplicationLifeFixture.h"

namespace quillane::host::test {

using quillane::host::test::ApplicationLife;

namespace {

constexpr const char* kNoCapture =
    "Wine has no Windows.Graphics.Capture; ApplicationServing runs the streams' boost and clean-up with idle "
    "captures";

TEST_F(ApplicationLife, PriorityBoostFollowsTheRunningStreams) { GTEST_SKIP() << kNoCapture; }

TEST_F(ApplicationLife, HostWindowStreamAndClientResizeRequests) { GTEST_SKIP() << kNoCapture; }

}  // namespace

}  // namespace quillane::host::test
