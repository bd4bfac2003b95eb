#include "encode/EncoderFactory.h"

#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "EncodeLog.h"

namespace quillane::host {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;

// Stands in for a real encoder: initialisation succeeds or fails as told.
class FakeEncoder final : public EncoderBase {
public:
    FakeEncoder(const char* name, bool initializes, int* alive) : name_(name), initializes_(initializes), alive_(alive) {
        ++*alive_;
    }
    ~FakeEncoder() override { --*alive_; }
    const char* getName() const override { return name_; }
    bool initialize(EncoderDevice, const EncoderConfig& config) override {
        config_ = config;
        initialized_ = initializes_;
        return initialized_;
    }
    void shutdown() override { initialized_ = false; }
    bool encodeFrame(EncoderInput) override { return initialized_; }
    void requestKeyframe() override {}
    void setBitrate(std::uint32_t, std::uint32_t) override {}
    void setOutputCallback(EncoderOutputCallback) override {}
    EncoderStats getStats() const override { return {}; }
    bool isInitialized() const override { return initialized_; }
    bool reconfigure(const EncoderConfig&) override { return false; }
    ParameterSets getParameterSets() const override { return {}; }

    EncoderConfig config_;

private:
    const char* name_;
    bool initializes_;
    int* alive_;
    bool initialized_ = false;
};

// A machine as the probes describe it.
struct FakeMachine {
    std::optional<std::uint32_t> vendor;
    std::set<std::string> libraries;        // runtime libraries that load
    bool quickSync = false;
    std::map<EncoderType, bool> encoders;   // kinds this build has, and whether they initialise
    bool softwareFallback = false;

    std::vector<std::string> librariesAsked;
    std::vector<EncoderType> constructed;
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

const EncoderDevice kNoDevice = nullptr;

// An NVIDIA adapter with its runtime, on a platform with the software encoder.
FakeMachine nvidiaWithSoftware(bool nvencInitialises) {
    FakeMachine machine;
    machine.vendor = 0x10DE;
    machine.libraries = {"nvEncodeAPI64.dll"};
    machine.encoders = {{EncoderType::NVENC, nvencInitialises}, {EncoderType::Software, true}};
    machine.softwareFallback = true;
    return machine;
}

TEST(EncoderFactory, NvidiaWithRuntimeOffersNvenc) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x10DE;
    machine.libraries = {"nvEncodeAPI64.dll", "amfrt64.dll"};
    machine.quickSync = true;
    EXPECT_EQ(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()),
              std::vector<EncoderType>{EncoderType::NVENC});
    EXPECT_EQ(machine.librariesAsked, std::vector<std::string>{"nvEncodeAPI64.dll"});
    EXPECT_TRUE(log.has(info, "NVENC encoder available"));
    EXPECT_EQ(log.countAtLeast(warn), 0);
}

TEST(EncoderFactory, AmdWithRuntimeOffersAmf) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x1002;
    machine.libraries = {"nvEncodeAPI64.dll", "amfrt64.dll"};
    machine.quickSync = true;
    EXPECT_EQ(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()),
              std::vector<EncoderType>{EncoderType::AMF});
    EXPECT_EQ(machine.librariesAsked, std::vector<std::string>{"amfrt64.dll"});
    EXPECT_TRUE(log.has(info, "AMF encoder available"));
}

TEST(EncoderFactory, IntelWithMediaFoundationEncoderOffersQuickSync) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x8086;
    machine.libraries = {"nvEncodeAPI64.dll", "amfrt64.dll"};
    machine.quickSync = true;
    EXPECT_EQ(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()),
              std::vector<EncoderType>{EncoderType::QuickSync});
    EXPECT_TRUE(machine.librariesAsked.empty());
    EXPECT_TRUE(log.has(info, "QuickSync encoder available"));

    machine.quickSync = false;
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()).empty());
}

TEST(EncoderFactory, OtherOrUnreadableVendorOffersNothing) {
    for (const std::optional<std::uint32_t> vendor : {std::optional<std::uint32_t>(0x1414), std::optional<std::uint32_t>()}) {
        test::EncodeLog log;
        FakeMachine machine;
        machine.vendor = vendor;
        machine.libraries = {"nvEncodeAPI64.dll", "amfrt64.dll"};
        machine.quickSync = true;
        EXPECT_TRUE(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()).empty());
        EXPECT_TRUE(machine.librariesAsked.empty());
        EXPECT_TRUE(log.has(warn, "No hardware encoders available"));
    }
}

TEST(EncoderFactory, NvidiaWithoutRuntimeCreatesNothingWithoutSoftware) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x10DE;
    machine.quickSync = true;
    machine.encoders = {{EncoderType::NVENC, true}, {EncoderType::QuickSync, true}};
    EXPECT_TRUE(EncoderFactory::getAvailableEncoders(kNoDevice, machine.probes()).empty());
    EXPECT_TRUE(log.has(warn, "No hardware encoders available"));

    log.clear();
    EXPECT_EQ(EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes()), nullptr);
    EXPECT_TRUE(log.has(warn, "No hardware encoders available"));
    EXPECT_TRUE(log.has(err, "Failed to create any hardware encoder"));
    EXPECT_TRUE(machine.constructed.empty());  // no fall back to another vendor's encoder
}

TEST(EncoderFactory, TypesWithoutEncoderAreNotAvailable) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.encoders = {{EncoderType::NVENC, true}};
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::Software, kNoDevice, EncoderConfig{}, machine.probes()),
              nullptr);
    EXPECT_TRUE(log.has(err, "Encoder type Software not available"));
    EXPECT_EQ(EncoderFactory::createEncoder(static_cast<EncoderType>(7), kNoDevice, EncoderConfig{},
                                            machine.probes()),
              nullptr);
    EXPECT_TRUE(log.has(err, "Encoder type Unknown not available"));
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::AMF, kNoDevice, EncoderConfig{}, machine.probes()), nullptr);
    EXPECT_TRUE(log.has(err, "Encoder type AMF not available"));
}

TEST(EncoderFactory, CreateEncoderInitialisesWithTheConfig) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.encoders = {{EncoderType::NVENC, true}};
    EncoderConfig config;
    config.width = 1280;
    config.height = 720;
    config.bitrateKbps = 9000;
    std::unique_ptr<EncoderBase> encoder =
        EncoderFactory::createEncoder(EncoderType::NVENC, kNoDevice, config, machine.probes());
    ASSERT_NE(encoder, nullptr);
    EXPECT_TRUE(encoder->isInitialized());
    EXPECT_STREQ(encoder->getName(), "NVENC");
    const auto& fake = static_cast<const FakeEncoder&>(*encoder);
    EXPECT_EQ(fake.config_.width, 1280u);
    EXPECT_EQ(fake.config_.height, 720u);
    EXPECT_EQ(fake.config_.bitrateKbps, 9000u);
    EXPECT_TRUE(log.has(info, "Created NVENC encoder"));
}

TEST(EncoderFactory, FailedInitialisationDestroysTheEncoder) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.encoders = {{EncoderType::AMF, false}};
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::AMF, kNoDevice, EncoderConfig{}, machine.probes()), nullptr);
    EXPECT_TRUE(log.has(err, "Failed to initialize AMF encoder"));
    EXPECT_FALSE(log.has(info, "Created AMF encoder"));
    EXPECT_EQ(machine.alive, 0);
}

TEST(EncoderFactory, ThrowingConstructionIsOneErrorLine) {
    test::EncodeLog log;
    EncoderProbes probes;
    probes.makeEncoder = [](EncoderType) -> std::unique_ptr<EncoderBase> { throw std::runtime_error("boom"); };
    EXPECT_EQ(EncoderFactory::createEncoder(EncoderType::NVENC, kNoDevice, EncoderConfig{}, probes), nullptr);
    EXPECT_TRUE(log.has(err, "Failed to create NVENC encoder: boom"));
}

TEST(EncoderFactory, BestEncoderIsTheAdaptersOwn) {
    test::EncodeLog log;
    FakeMachine machine = nvidiaWithSoftware(true);
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "NVENC");
    EXPECT_EQ(machine.constructed, std::vector<EncoderType>{EncoderType::NVENC});
    EXPECT_TRUE(log.has(info, "Created NVENC encoder"));
}

TEST(EncoderFactory, FallsBackToSoftwareWhenHardwareFails) {
    test::EncodeLog log;
    FakeMachine machine = nvidiaWithSoftware(false);
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "Software");
    EXPECT_EQ(machine.constructed, (std::vector<EncoderType>{EncoderType::NVENC, EncoderType::Software}));
    EXPECT_TRUE(log.has(err, "Failed to initialize NVENC encoder"));
    EXPECT_TRUE(log.has(info, "Created Software encoder"));
    EXPECT_FALSE(log.has(err, "Failed to create any hardware encoder"));
    EXPECT_EQ(machine.alive, 1);
}

TEST(EncoderFactory, FallsBackToSoftwareWithoutHardware) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.encoders = {{EncoderType::Software, true}};
    machine.softwareFallback = true;
    std::unique_ptr<EncoderBase> encoder = EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
    ASSERT_NE(encoder, nullptr);
    EXPECT_STREQ(encoder->getName(), "Software");
    EXPECT_TRUE(log.has(warn, "No hardware encoders available"));
    EXPECT_TRUE(log.has(info, "Created Software encoder"));
}

TEST(EncoderFactory, FailedHardwareWithoutSoftwareGivesNull) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x1002;
    machine.libraries = {"amfrt64.dll"};
    machine.encoders = {{EncoderType::AMF, false}};
    EXPECT_EQ(EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes()), nullptr);
    EXPECT_TRUE(log.has(err, "Failed to initialize AMF encoder"));
    EXPECT_TRUE(log.has(err, "Failed to create any hardware encoder"));
    EXPECT_EQ(machine.alive, 0);
}

TEST(EncoderFactory, AvailabilityIsLoggedOnEveryBestEncoderCall) {
    test::EncodeLog log;
    FakeMachine machine;
    machine.vendor = 0x10DE;
    machine.libraries = {"nvEncodeAPI64.dll"};
    machine.encoders = {{EncoderType::NVENC, true}};
    EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
    EncoderFactory::createBestEncoder(kNoDevice, EncoderConfig{}, machine.probes());
    EXPECT_EQ(log.count(info, "NVENC encoder available"), 2);
}

}  // namespace
}  // namespace quillane::host
