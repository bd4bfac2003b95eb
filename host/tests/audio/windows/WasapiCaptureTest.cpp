// The WASAPI capture against a fake sound system: formats, conversion, silence, device loss and
// default-device changes, seen at the capture's callback and at the Opus sink behind it.
#include <initguid.h>  // defines the property keys the fake endpoint hands out

#include "FakeAudioEndpoint.h"
#include "audio/AudioCapture.h"
#include "audio/AudioFrameBuffer.h"
#include "audio/windows/WasapiCapture.h"

#include "AudioAnalysis.h"
#include "Eventually.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>

namespace quillane::host::test {
namespace {

using namespace std::chrono_literals;
using test::FakeAudioClient;
using test::FakeAudioEndpoint;
using test::FakeDeviceEnumerator;
using test::formatBytes;
using test::mixFormat;

constexpr DWORD kLoopbackFlags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_LOOPBACK;

template <class Sample>
std::vector<BYTE> bytesOf(const std::vector<Sample>& samples) {
    const auto* p = reinterpret_cast<const BYTE*>(samples.data());
    return {p, p + samples.size() * sizeof(Sample)};
}

// `frames` frames of `channels` channels; each channel a tone of its own frequency.
std::vector<float> tones(std::size_t frames, const std::vector<double>& hzPerChannel, std::size_t firstFrame = 0) {
    const std::size_t channels = hzPerChannel.size();
    std::vector<float> out(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            const double t = static_cast<double>(firstFrame + f) / 48000.0;
            out[f * channels + c] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * hzPerChannel[c] * t));
        }
    }
    return out;
}

struct Delivery {
    std::vector<std::int16_t> samples;
    std::uint32_t frames, rate, channels;
    const std::int16_t* pointer;
};

class WasapiCaptureTest : public ::testing::Test {
protected:
    ~WasapiCaptureTest() override {
        capture.reset();
        for (FakeAudioEndpoint* e : {speakers, headphones}) {
            if (e) e->Release();
        }
        enumerator->Release();
    }

    // A capture over the fake sound system, started, with `speakers` as the default device.
    void open(const WAVEFORMATEXTENSIBLE& format, bool converts = true, bool loopback = true) {
        capture.reset();
        deliveries.clear();
        packets.clear();
        frameBuffer.clear();
        if (speakers) speakers->Release();
        speakers = new FakeAudioEndpoint(L"Speakers", format, converts);
        enumerator->setDefault(loopback ? eRender : eCapture, speakers);
        capture = std::make_unique<AudioCapture>(createWasapiCapture([this](IMMDeviceEnumerator** out) {
            enumerator->AddRef();
            *out = enumerator;
            return S_OK;
        }));
        AudioCaptureConfig config;
        config.loopback = loopback;
        ASSERT_TRUE(capture->initialize(config));
        ASSERT_TRUE(capture->start([this](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t rate,
                                          std::uint32_t channels) {
            std::lock_guard lock(mutex);
            deliveries.push_back({{pcm, pcm + frames * channels}, frames, rate, channels, pcm});
            if (sink) sink(pcm, frames, rate, channels);
        }));
    }
    FakeAudioClient* stream() { return speakers->latest(); }
    std::vector<Delivery> received() {
        std::lock_guard lock(mutex);
        return deliveries;
    }
    bool waitForDeliveries(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        return test::eventually([&] { return received().size() >= count; }, timeout);
    }
    static bool runsOn(FakeAudioEndpoint* endpoint, std::chrono::milliseconds timeout) {
        return test::eventually([&] { return endpoint->latest() && endpoint->latest()->running(); }, timeout);
    }
    // Every reference the capture took is given back: only the test's own and the endpoints' are left.
    void expectEverythingReleased() {
        enumerator->setDefault(eRender, nullptr);
        enumerator->setDefault(eCapture, nullptr);
        EXPECT_EQ(enumerator->references(), 1);
        EXPECT_EQ(enumerator->listenerCount(), 0u);
        for (FakeAudioEndpoint* e : {speakers, headphones}) {
            EXPECT_EQ(e->references(), 1);
            for (FakeAudioClient* c : e->activated()) EXPECT_EQ(c->references(), 1);
        }
        EXPECT_EQ(test::FakeCaptureClient::live, readersBefore);
    }
    // Feeds the deliveries on to the Opus sink the host uses and collects its packets.
    void sendToEncoder() {
        ASSERT_TRUE(encoder.initialize(OpusEncoderConfig{}));
        sink = [this](const std::int16_t* pcm, std::uint32_t frames, std::uint32_t rate, std::uint32_t channels) {
            frameBuffer.push(encoder, pcm, frames, rate, channels, [this](const std::uint8_t* data, std::size_t size) {
                packets.emplace_back(data, data + size);
            });
        };
    }
    std::vector<std::int16_t> decodedPackets() {
        std::lock_guard lock(mutex);
        test::OpusTestDecoder decoder;
        std::vector<std::int16_t> pcm;
        for (const auto& p : packets) decoder.decode(p, pcm);
        return pcm;
    }

    test::LogCapture logs;
    const int readersBefore = test::FakeCaptureClient::live;
    FakeDeviceEnumerator* enumerator = new FakeDeviceEnumerator;
    FakeAudioEndpoint* speakers = nullptr;
    // In another sample format than the speakers, so a replaced device's packets are read in their own.
    FakeAudioEndpoint* headphones = new FakeAudioEndpoint(L"Headphones", mixFormat(48000, 2, false));
    std::mutex mutex;
    std::vector<Delivery> deliveries;
    std::function<void(const std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t)> sink;
    OpusAudioEncoder encoder;
    AudioFrameBuffer frameBuffer;
    std::vector<std::vector<std::uint8_t>> packets;
    std::unique_ptr<AudioCapture> capture;  // last: stopped before what its callback uses goes
};

TEST_F(WasapiCaptureTest, FloatStereoAt48kHzIsOpenedAsItIsAndArrivesAsSixteenBit) {
    const WAVEFORMATEXTENSIBLE format = mixFormat(48000, 2);
    open(format);
    FakeAudioClient* s = stream();
    EXPECT_EQ(formatBytes(s->streamFormat()), formatBytes(&format.Format));
    EXPECT_EQ(s->streamFlags(), kLoopbackFlags);
    EXPECT_EQ(s->bufferDuration(), 200000);
    EXPECT_TRUE(logs.contains("Using audio device: Speakers"));
    EXPECT_TRUE(logs.contains("Audio capture initialized: 48000 Hz, 2 channels"));

    s->play(bytesOf(std::vector<float>{0.5f, -0.5f, 1.5f, -2.0f, 0.25f, 0.0f}));
    ASSERT_TRUE(waitForDeliveries(1));
    const Delivery d = received()[0];
    EXPECT_EQ((std::array{d.frames, d.rate, d.channels}), (std::array<std::uint32_t, 3>{3, 48000, 2}));
    EXPECT_EQ(d.samples, (std::vector<std::int16_t>{16383, -16383, 32767, -32767, 8191, 0}));
    EXPECT_TRUE(test::eventually([&] { return s->releasedFrames() == 3; }));
}

TEST_F(WasapiCaptureTest, SixteenBitSamplesArePassedOnWithoutACopy) {
    open(mixFormat(48000, 2, false));
    FakeAudioClient* s = stream();
    EXPECT_EQ(s->streamFlags(), kLoopbackFlags) << "its own format needs no conversion";
    const std::vector<std::int16_t> samples{100, -100, 32767, -32768};
    s->play(bytesOf(samples));
    ASSERT_TRUE(waitForDeliveries(1));
    const Delivery d = received()[0];
    EXPECT_EQ(d.samples, samples);
    EXPECT_EQ((std::array{d.frames, d.rate, d.channels}), (std::array<std::uint32_t, 3>{2, 48000, 2}));
    EXPECT_EQ(reinterpret_cast<const BYTE*>(d.pointer), s->lastBuffer());
}

TEST_F(WasapiCaptureTest, MonoSurroundAndOtherRatesAreConvertedByTheEngineToStereoAt48kHz) {
    const WAVEFORMATEXTENSIBLE wanted = mixFormat(48000, 2);
    for (const auto& [rate, channels] : {std::pair<DWORD, WORD>{48000, 1}, {48000, 6}, {44100, 2}}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels");
        open(mixFormat(rate, channels));
        FakeAudioClient* s = stream();
        const WAVEFORMATEX* asked = s->streamFormat();
        EXPECT_EQ((std::array<DWORD, 3>{asked->nSamplesPerSec, asked->nChannels, asked->wBitsPerSample}),
                  (std::array<DWORD, 3>{48000, 2, 32}));
        EXPECT_EQ(formatBytes(asked), formatBytes(&wanted.Format)) << "float, front left and right";
        EXPECT_EQ(s->streamFlags(),
                  kLoopbackFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY);
        EXPECT_TRUE(logs.contains("Audio converted from " + std::to_string(rate) + " Hz, " +
                                  std::to_string(channels) + " channels to 48000 Hz, 2 channels"));

        s->play(bytesOf(std::vector<float>{0.5f, -0.5f}));
        ASSERT_TRUE(waitForDeliveries(1));
        const Delivery d = received()[0];
        EXPECT_EQ((std::array{d.frames, d.rate, d.channels}), (std::array<std::uint32_t, 3>{1, 48000, 2}));
        EXPECT_EQ(d.samples, (std::vector<std::int16_t>{16383, -16383}));
    }
}

TEST_F(WasapiCaptureTest, WithoutEngineConversionSurroundAndMonoReachTheEncoderAsStereo) {
    sendToEncoder();
    // Six channels: the encoder hears front left and right, not the loud other four.
    open(mixFormat(48000, 6), false);
    EXPECT_TRUE(logs.contains("The audio engine cannot convert to 48000 Hz stereo"));
    for (int i = 0; i < 20; ++i) {
        stream()->play(bytesOf(tones(480, {440, 440, 3000, 3000, 3000, 3000}, i * 480)));
    }
    ASSERT_TRUE(waitForDeliveries(20));
    EXPECT_EQ(received()[0].channels, 6u);
    EXPECT_EQ(received()[0].rate, 48000u);
    ASSERT_TRUE(test::eventually([&] { return decodedPackets().size() == 20u * 480 * 2; }));
    const auto surround = decodedPackets();
    EXPECT_NEAR(test::dominantFrequency(surround, 2, 48000), 440.0, 4.4);
    EXPECT_NEAR(test::dominantFrequency({surround.begin() + 1, surround.end()}, 2, 48000), 440.0, 4.4);

    // Mono: on both channels.
    open(mixFormat(48000, 1), false);
    for (int i = 0; i < 20; ++i) stream()->play(bytesOf(tones(480, {1000}, i * 480)));
    ASSERT_TRUE(waitForDeliveries(20));
    EXPECT_EQ(received()[0].channels, 1u);
    ASSERT_TRUE(test::eventually([&] { return decodedPackets().size() == 20u * 480 * 2; }));
    const auto mono = decodedPackets();
    EXPECT_NEAR(test::dominantFrequency({mono.begin() + 1, mono.end()}, 2, 48000), 1000.0, 10.0);
}

TEST_F(WasapiCaptureTest, AnotherRateIsDeliveredAsItIsWhenTheEngineCannotConvertAndRefusedOnceByTheEncoder) {
    sendToEncoder();
    open(mixFormat(44100, 2), false);
    for (int i = 0; i < 5; ++i) stream()->play(bytesOf(tones(441, {440, 440})));
    ASSERT_TRUE(waitForDeliveries(5));
    EXPECT_EQ(received()[4].rate, 44100u);
    EXPECT_EQ(received()[4].frames, 441u);
    EXPECT_TRUE(decodedPackets().empty());
    EXPECT_EQ(logs.count("Audio at 44100 Hz is not sent"), 1u);
}

TEST_F(WasapiCaptureTest, SilentBuffersAreReleasedButNotDelivered) {
    open(mixFormat(48000, 2));
    FakeAudioClient* s = stream();
    s->play(bytesOf(std::vector<float>(960, 0.3f)), AUDCLNT_BUFFERFLAGS_SILENT);  // the data is to be ignored
    s->play(bytesOf(std::vector<float>{0.5f, 0.5f}));
    ASSERT_TRUE(waitForDeliveries(1));
    ASSERT_TRUE(test::eventually([&] { return s->releasedFrames() == 481; }));
    const auto all = received();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].frames, 1u);
    EXPECT_EQ(all[0].samples, (std::vector<std::int16_t>{16383, 16383}));
}

TEST_F(WasapiCaptureTest, APacketAfterADiscontinuityIsDeliveredInOrder) {
    open(mixFormat(48000, 2));
    FakeAudioClient* s = stream();
    s->play(bytesOf(std::vector<float>{0.1f, 0.1f}));
    s->play(bytesOf(std::vector<float>{0.2f, 0.2f, 0.2f, 0.2f}), AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
    s->play(bytesOf(std::vector<float>{0.3f, 0.3f}));
    ASSERT_TRUE(waitForDeliveries(3));
    const auto all = received();
    EXPECT_EQ(all[0].samples, (std::vector<std::int16_t>{3276, 3276}));
    EXPECT_EQ(all[1].samples, (std::vector<std::int16_t>{6553, 6553, 6553, 6553}));
    EXPECT_EQ(all[2].samples, (std::vector<std::int16_t>{9830, 9830}));
}

TEST_F(WasapiCaptureTest, AnInvalidatedDeviceIsReplacedByTheNewDefaultWithOneLogLine) {
    open(mixFormat(48000, 2));
    FakeAudioClient* lost = stream();
    lost->play(bytesOf(std::vector<float>{0.5f, 0.5f}));
    ASSERT_TRUE(waitForDeliveries(1));

    // Unplugged: the stream fails and stops signalling; the system already names the next default.
    enumerator->setDefault(eRender, headphones);
    speakers->invalidate();
    ASSERT_TRUE(runsOn(headphones, 3500ms));
    FakeAudioClient* next = headphones->latest();
    EXPECT_EQ(next->streamFlags(), kLoopbackFlags);
    next->play(bytesOf(std::vector<std::int16_t>{1234, -1234}));
    ASSERT_TRUE(waitForDeliveries(2));
    EXPECT_EQ(received()[1].samples, (std::vector<std::int16_t>{1234, -1234}));

    EXPECT_EQ(logs.count("Lost the audio device (0x88890004)"), 1u);
    EXPECT_EQ(logs.count("GetBuffer failed"), 0u);
    EXPECT_TRUE(logs.contains("Using audio device: Headphones"));
    EXPECT_EQ(lost->references(), 1) << "the lost stream is released";
    capture.reset();
    expectEverythingReleased();
}

TEST_F(WasapiCaptureTest, WithNoDeviceLeftTheDefaultIsTriedAgainEveryThreeSecondsAndLoggedOnce) {
    open(mixFormat(48000, 2));
    enumerator->setDefault(eRender, nullptr);
    speakers->invalidate();
    ASSERT_TRUE(test::eventually([&] { return enumerator->requests().size() >= 2; }, 2s)) << "a first try at once";
    enumerator->setDefault(eRender, headphones);
    ASSERT_TRUE(runsOn(headphones, 5s));

    const auto asked = enumerator->requests();
    ASSERT_EQ(asked.size(), 3u) << "opened, tried at once, opened again 3 s later";
    EXPECT_GE(asked[2].second - asked[1].second, 2900ms);
    EXPECT_LE(asked[2].second - asked[1].second, 4500ms);
    headphones->latest()->play(bytesOf(std::vector<std::int16_t>{1234, -1234}));
    ASSERT_TRUE(waitForDeliveries(1));
    EXPECT_EQ(received()[0].samples, (std::vector<std::int16_t>{1234, -1234}));

    EXPECT_EQ(logs.count("no sound is sent"), 1u);
    EXPECT_EQ(logs.count("Lost the audio device"), 1u);
    EXPECT_TRUE(logs.contains("Audio capture goes on: 48000 Hz, 2 channels"));
}

TEST_F(WasapiCaptureTest, AChangeOfTheDefaultOutputMovesTheCaptureToIt) {
    open(mixFormat(48000, 2));
    FakeAudioClient* old = stream();
    const std::size_t asked = enumerator->requests().size();
    // Changes of the default input or of another role's output are not followed.
    enumerator->announceDefault(eCapture, eConsole, headphones);
    enumerator->announceDefault(eRender, eCommunications, headphones);
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(enumerator->requests().size(), asked);
    EXPECT_TRUE(old->running());

    enumerator->announceDefault(eRender, eConsole, headphones);
    ASSERT_TRUE(runsOn(headphones, 2s));
    EXPECT_FALSE(old->running());
    EXPECT_EQ(old->references(), 1);
    headphones->latest()->play(bytesOf(std::vector<std::int16_t>{1234, -1234}));
    ASSERT_TRUE(waitForDeliveries(1));
    EXPECT_EQ(received()[0].samples, (std::vector<std::int16_t>{1234, -1234}));
    EXPECT_TRUE(logs.contains("The default audio device changed"));
    EXPECT_FALSE(logs.contains("Lost the audio device"));
}

TEST_F(WasapiCaptureTest, StopWhileWaitingForSoundEndsTheStreamAndReleasesEverything) {
    open(mixFormat(48000, 2));
    FakeAudioClient* s = stream();
    std::this_thread::sleep_for(50ms);  // the thread waits on the engine's event
    capture->stop();
    EXPECT_FALSE(s->running());
    EXPECT_EQ(s->stops(), 1);
    s->play(bytesOf(std::vector<float>{0.5f, 0.5f}));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(received().empty()) << "nothing is delivered after stop";

    ASSERT_TRUE(capture->start([](const std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t) {}));
    EXPECT_TRUE(s->running()) << "started again";
    capture.reset();
    expectEverythingReleased();
}

TEST_F(WasapiCaptureTest, StopWhileWaitingToTryAgainDoesNotWaitForTheNextTry) {
    open(mixFormat(48000, 2));
    enumerator->setDefault(eRender, nullptr);
    speakers->invalidate();
    ASSERT_TRUE(test::eventually([&] { return enumerator->requests().size() >= 2; }, 2s));
    const auto before = std::chrono::steady_clock::now();
    capture->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms) << "the next try is 3 s away";
    EXPECT_FALSE(capture->isCapturing());
    capture.reset();
    expectEverythingReleased();
}

TEST_F(WasapiCaptureTest, WithoutLoopbackTheDefaultInputIsRecorded) {
    open(mixFormat(48000, 2), true, false);
    EXPECT_EQ(enumerator->requests().at(0).first, eCapture);
    EXPECT_EQ(stream()->streamFlags(), DWORD{AUDCLNT_STREAMFLAGS_EVENTCALLBACK});
    stream()->play(bytesOf(std::vector<float>{0.5f, 0.5f}));
    ASSERT_TRUE(waitForDeliveries(1));
}

TEST(WasapiCaptureSetUp, AMissingEnumeratorOrDeviceFailsInitialisationWithItsError) {
    test::LogCapture logs;
    AudioCapture noEnumerator(createWasapiCapture([](IMMDeviceEnumerator**) { return REGDB_E_CLASSNOTREG; }));
    EXPECT_FALSE(noEnumerator.initialize({}));
    EXPECT_TRUE(logs.contains("Failed to create device enumerator: 0x80040154"));

    auto* enumerator = new FakeDeviceEnumerator;
    {
        AudioCapture noDevice(createWasapiCapture([&](IMMDeviceEnumerator** out) {
            enumerator->AddRef();
            *out = enumerator;
            return S_OK;
        }));
        EXPECT_FALSE(noDevice.initialize({}));
        EXPECT_EQ(logs.count("Failed to get default audio endpoint: 0x80070490"), 1u) << "not found";
    }
    EXPECT_EQ(enumerator->references(), 1);
    enumerator->Release();
}

}  // namespace
}  // namespace quillane::host::test
