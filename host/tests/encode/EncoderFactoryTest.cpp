#include "encode/EncoderFactory.h"

#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "EncodeLog.h"
#include "encode/EncoderSupport.h"

namespace quillane::host::test {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;
using Types = std::vector<EncoderType>;
using Lines = std::vector<std::pair<spdlog::level::level_enum, const char*>>;

// Stands in for a real encoder: initialisation succeeds or fails as told.
class FakeEncoder final : public CommonEncoder {
public:
    FakeEncoder(const char* name, bool initializes, int* alive) : name(name), initializes(initializes), alive(alive) {
        ++*alive;
    }
    ~FakeEncoder() override { --*alive; }
    const char* getName() const override { return name; }
    bool initialize(EncoderDevice, const EncoderConfig& config) override {
        encoderConfig = config;
        return initialized = initializes;
    }
    void shutdown() override { initialized = false; }
    bool encodeFrame(EncoderInput) override { return initialized; }
    const EncoderConfig& config() const { return encoderConfig; }

private:
    const char* name;
    bool initializes;
    int* alive;
};

// A machine as the probes describe it.
struct FakeMachine {
    std::optional<std::uint32_t> vendor;
    std::set<std::string> libraries;       // runtime libraries that load
    bool quickSync = false;
    std::map<EncoderType, bool> encoders;  // kinds this build has, and whether they initialise
    bool softwareFallback = false;

    std::vector<std::string> librariesAsked;
    Types constructed;
    int alive = 0;

    EncoderProbes probes() {
        EncoderProbes p;
        p.adapterVendorId = [this](EncoderDevice) { return vendor; };
        p.runtimeLoadable = [this](const char* name) {
            librariesAsked.emplace_back(name);
            return libraries.count(name) > 0;
        };
        p.quickSyncAvailable = [this] { return quickSync; };
        p.makeEncoder = [this](EncoderType type) -> std::unique_ptr<EncoderBase> {
            const auto it = encoders.find(type);
            if (it == encoders.end()) {
                return nullptr;
            }
            constructed.push_back(type);
            return std::make_unique<FakeEncoder>(encoderTypeName(type), it->second, &alive);
        };
        p.softwareFallback = softwareFallback;
        return p;
    }
};

void expectLines(const test::EncodeLog& log, const Lines& lines, bool present = true) {
    for (const auto& [level, text] : lines) {
        EXPECT_EQ(log.has(level, text), present) << text;
    }
}

const EncoderDevice kNoDevice = nullptr;
const std::set<std::string> kBothRuntimes = {"nvEncodeAPI64.dll", "amfrt64.dll"};

// Only the adapter's own vendor counts, and only that vendor's runtime is loaded.
TEST(EncoderFactory, AvailabilityFollowsTheAdapterVendor) {
    struct Case {
        std::optional<std::uint32_t> vendor;
        std::set<std::string> libraries;
        bool quickSync;
        Types expected;
        std::vector<std::string> asked;
        Lines lines;
    };
    const Case cases[] = {
        {0x10DE, kBothRuntimes, true, {EncoderType::NVENC}, {"nvEncodeAPI64.dll"}, {{info, "NVENC encoder available"}}},
        {0x1002, kBothRuntimes, true, {EncoderType::AMF}, {"amfrt64.dll"}, {{info, "AMF encoder available"}}},
        {0x8086, kBothRuntimes, true, {EncoderType::QuickSync}, {}, {{info, "QuickSync encoder available"}}},
        {0x8086, kBothRuntimes, false, {}, {}, {{warn, "No hardware encoders available"}}},
        {0x10DE, {}, true, {}, {"nvEncodeAPI64.dll"}, {{warn, "No hardware encoders available"}}},
        {0x1414, kBothRuntimes, true, {}, {}, {{warn, "No hardware encoders available"}}},
        {std::nullopt, kBothRuntimes, true, {}, {}, {{warn, "No hardware encoders available"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("vendor " + (c.vendor ? std::to_string(*c.vendor) : std::string("unreadable")));
        test::EncodeLog log;
        FakeMachine machine;
        machine.vendor = c.vendor;
        machine.libraries = c.libraries;
        machine.quickSync = c.quickSync;
        EXPECT_EQ(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()), c.expected);
        EXPECT_EQ(machine.librariesAsked, c.asked);
        expectLines(log, c.lines);
        EXPECT_EQ(log.countAtLeast(warn), c.expected.empty() ? 1 : 0);
    }
}

TEST(EncoderFactory, CreateEncoderInitialisesOrDestroys) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.encoders = {{EncoderType::NVENC, true}, {EncoderType::AMF, false}};
    EncoderConfig config;
    config.width = 1280;
    config.height = 720;
    config.bitrateKbps = 9000;
    std::unique_ptr<EncoderBase> encoder =
        EncoderFactory::createEncoder(EncoderType::NVENC, kNoDevice, config, machine.probes());
    ASSERT_NE(encoder, nullptr);
    EXPECT_TRUE(encoder->isInitialized());
    const auto& fake = static_cast<const FakeEncoder&>(*encoder);
    EXPECT_EQ(fake.config().width, 1280u);
    EXPECT_EQ(fake.config().height, 720u);
    EXPECT_EQ(fake.config().bitrateKbps, 9000u);
    expectLines(log, {{info, "Created NVENC encoder"}});

    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::AMF, kNoDevice, config, machine.probes()), nullptr);
    expectLines(log, {{err, "Failed to initialize AMF encoder"}});
    expectLines(log, {{info, "Created AMF encoder"}}, false);
    EXPECT_EQ(machine.alive, 1);

    for (const auto& [type, line] : {std::pair{EncoderType::Software, "Encoder type Software not available"},
                                     std::pair{static_cast<EncoderType>(7), "Encoder type Unknown not available"}}) {
        EXPECT_EQ(EncoderFactory::createEncoder(type, kNoDevice, config, machine.probes()), nullptr);
        expectLines(log, {{err, line}});
    }

    EncoderProbes throwing;
    throwing.makeEncoder = [](EncoderType) -> std::unique_ptr<EncoderBase> { throw std::runtime_error("boom"); };
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::NVENC, kNoDevice, config, throwing), nullptr);
    expectLines(log, {{err, "Failed to create NVENC encoder: boom"}});
}

// The adapter's own encoder, else software where the platform has it; never
// another vendor's encoder.
TEST(EncoderFactory, BestEncoder) {
    struct Case {
        const char* what;
        std::optional<std::uint32_t> vendor;
        std::set<std::string> libraries;
        std::map<EncoderType, bool> encoders;
        bool softwareFallback;
        const char* expected;  // null: no encoder
        Types constructed;
        Lines lines;
        Lines absent;
    };
    const Case cases[] = {
        {"NVIDIA", 0x10DE, kBothRuntimes, {{EncoderType::NVENC, true}, {EncoderType::Software, true}}, true, "NVENC",
         {EncoderType::NVENC}, {{info, "Created NVENC encoder"}}, {}},
        {"NVENC fails", 0x10DE, kBothRuntimes, {{EncoderType::NVENC, false}, {EncoderType::Software, true}}, true,
         "Software", {EncoderType::NVENC, EncoderType::Software},
         {{err, "Failed to initialize NVENC encoder"}, {info, "Created Software encoder"}},
         {{err, "Failed to create any hardware encoder"}}},
        {"no hardware", std::nullopt, {}, {{EncoderType::Software, true}}, true, "Software", {EncoderType::Software},
         {{warn, "No hardware encoders available"}, {info, "Created Software encoder"}}, {}},
        {"AMF fails, no software", 0x1002, kBothRuntimes, {{EncoderType::AMF, false}}, false, nullptr,
         {EncoderType::AMF},
         {{err, "Failed to initialize AMF encoder"}, {err, "Failed to create any hardware encoder"}}, {}},
        {"NVIDIA without runtime", 0x10DE, {}, {{EncoderType::NVENC, true}, {EncoderType::QuickSync, true}}, false,
         nullptr, {}, {{warn, "No hardware encoders available"}, {err, "Failed to create any hardware encoder"}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::EncodeLog log;
        FakeMachine machine;
        machine.vendor = c.vendor;
        machine.libraries = c.libraries;
        machine.quickSync = true;
        machine.encoders = c.encoders;
        machine.softwareFallback = c.softwareFallback;
        const std::unique_ptr<EncoderBase> encoder =
            EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
        if (c.expected == nullptr) {
            EXPECT_EQ(encoder, nullptr);
        } else {
            ASSERT_NE(encoder, nullptr);
            EXPECT_STREQ(encoder->getName(), c.expected);
            EXPECT_TRUE(encoder->isInitialized());
        }
        EXPECT_EQ(machine.constructed, c.constructed);
        EXPECT_EQ(machine.alive, c.expected == nullptr ? 0 : 1);
        expectLines(log, c.lines);
        expectLines(log, c.absent, false);
        // Availability is probed and logged anew on every call.
        if (c.expected != nullptr && std::string(c.expected) == "NVENC") {
            EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
            EXPECT_EQ(log.count(info, "NVENC encoder available"), 2);
        }
    }
}

}  // namespace
}  // namespace quillane::host::test
