// The framework's image op: channel flags, default validation and requests, the full-frame
// path with its channel cache files and messages, and the sampling path.
#include "TestPlugins.h"

#include "ChannelCache.h"
#include "TestImages.h"

#include "Kx/Image/Row.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace KdkTest;
namespace fs = std::filesystem;

TEST(ChannelFlags, MasksToFlagsOnAnyChannelOfAGroup) {
    ChannelSet extra{Chan_FirstNamed + 3};
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_Alpha}, extra), 1u);
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_Forward_V}, extra), 1u << 2);
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_Backward_U}, extra), 1u << 3);
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_DisparityL_Y}, extra), (1u << 4) | (1u << 5));
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_Z}, extra), 1u << 6);
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_Mask}, extra), 1u << 7);
    EXPECT_EQ(flagsFromChannels(extra, extra), 1u << 9);
    EXPECT_EQ(flagsFromChannels(ChannelSet{Chan_FirstNamed + 4}, extra), 0u);
    // Both ways: every group comes back as itself.
    for (uint32_t f : {1u, 1u << 2, 1u << 3, 3u << 4, 1u << 6, 1u << 7, 1u << 9})
        EXPECT_EQ(flagsFromChannels(channelsFromFlags(f, extra), extra), f);
}

namespace {

class FullFrame : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kdk_cache_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        ChannelCache::setDirectory(dir);
        ChannelCache::setInteractive(true);
        wire(first);
    }
    void TearDown() override {
        ChannelCache::setInteractive(false);
        fs::remove_all(dir);
    }
    void wire(Processor& p) {
        p.set_input(0, &source);
        p.setCacheEnabled(true);
        p.validate(true);
        p.request(0, 0, 8, 4, Mask_RGBA);
    }
    // Renders row y of red and green; returns red. The messages it prints go to *log.
    std::vector<float> row(Processor& p, int y, std::string* log = nullptr,
                           std::vector<float>* green = nullptr) {
        Row r(0, 8);
        testing::internal::CaptureStderr();
        p.engine(y, 0, 8, Mask_Red + ChannelSet{Chan_Green}, r);
        const std::string printed = testing::internal::GetCapturedStderr();
        if (log) *log = printed;
        if (green) green->assign(r[Chan_Green], r[Chan_Green] + 8);
        return std::vector<float>(r[Chan_Red], r[Chan_Red] + 8);
    }
    static constexpr const char* kMissed =
        "KdkProcessor - loaded channels none, didn't load rgba.red\n";

    fs::path dir;
    KxTest::CoordinateSource source{8, 4};
    Processor first{nullptr};
};

} // namespace

TEST_F(FullFrame, ProcessesTheRequestedAreaOnceAndPassesOtherChannelsThrough) {
    std::vector<float> green;
    auto red = row(first, 2, nullptr, &green);
    row(first, 3);
    EXPECT_EQ(first.processCalls, 1);
    EXPECT_EQ(red[5], 1 + 5 + 20 + 1000.0f);
    EXPECT_EQ(green[5], 5 + 20 + 2000.0f); // straight from input 0
    // Rows and columns outside the processed area are zero.
    Processor part(nullptr);
    part.set_input(0, &source);
    part.validate(true);
    part.request(2, 1, 6, 3, Mask_Red);
    auto outside = row(part, 3);
    auto inside = row(part, 1);
    EXPECT_EQ(outside, std::vector<float>(8, 0.0f));
    EXPECT_EQ(inside[1], 0.0f);
    EXPECT_EQ(inside[2], 1 + 2 + 10 + 1000.0f);
    EXPECT_EQ(inside[6], 0.0f);
}

TEST_F(FullFrame, CacheFilesAreWrittenThenLoadedWithTheirLines) {
    std::string log;
    row(first, 0, &log);
    EXPECT_EQ(log, kMissed);
    ASSERT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    auto file = fs::directory_iterator(dir)->path();
    std::ifstream in(file, std::ios::binary);
    unsigned char header[8];
    in.read(reinterpret_cast<char*>(header), 8);
    EXPECT_EQ(std::vector<unsigned char>(header, header + 8),
              (std::vector<unsigned char>{0x6E, 0x61, 0x68, 0x43, 1, 0, 0, 0}));
    EXPECT_EQ(fs::file_size(file), 8u + 8 * 4 * 4);

    Processor second(nullptr);
    wire(second);
    auto red = row(second, 2, &log);
    EXPECT_EQ(log, "KdkProcessor - loaded channels rgba.red, didn't load none\n");
    EXPECT_EQ(second.processCalls, 0);
    EXPECT_EQ(red[5], 1 + 5 + 20 + 1000.0f);
}

TEST_F(FullFrame, CacheFilesWithAnotherMagicVersionOrLengthAreRejected) {
    row(first, 0);
    auto file = fs::directory_iterator(dir)->path();
    std::string good;
    {
        std::ifstream in(file, std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto damaged = [&](size_t at, char byte) {
        std::string s = good;
        s[at] = byte;
        return s;
    };
    std::vector<float> samples(32, -1.0f);
    for (const std::string& bad :
         {damaged(0, 'N'), damaged(4, 2), good.substr(0, good.size() - 1)}) {
        std::ofstream(file, std::ios::binary) << bad;
        EXPECT_FALSE(ChannelCache::read(file, samples.data(), samples.size()));
        EXPECT_EQ(samples[0], -1.0f); // untouched
    }
    std::ofstream(file, std::ios::binary) << good;
    EXPECT_TRUE(ChannelCache::read(file, samples.data(), samples.size()));
    EXPECT_EQ(samples[0], 1 + 0 + 0 + 1000.0f);

    std::ofstream(file, std::ios::binary) << damaged(4, 2);
    Processor second(nullptr);
    wire(second);
    std::string log;
    row(second, 0, &log);
    EXPECT_EQ(log, kMissed);
    EXPECT_EQ(second.processCalls, 1);
}

TEST_F(FullFrame, AChannelThatCannotBeSavedIsReported) {
    fs::create_directories(dir.parent_path());
    std::ofstream(dir.string() + ".file") << "not a folder";
    ChannelCache::setDirectory(dir.string() + ".file");
    std::string log;
    row(first, 0, &log);
    EXPECT_EQ(log,
              std::string(kMissed) +
                  "KdkProcessor warning - unable to save some channels to the cache: rgba.red\n");
    fs::remove(dir.string() + ".file");
}

TEST_F(FullFrame, NoCacheWithoutAnInteractiveHostOrWhenDisabled) {
    ChannelCache::setInteractive(false);
    std::string log;
    row(first, 0, &log);
    EXPECT_EQ(log, "");
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(FullFrame, TooLargeAnAreaIsRefused) {
    first.request(0, 0, 20000, 20000, Mask_Red);
    row(first, 0);
    EXPECT_TRUE(first.hasError());
    EXPECT_EQ(first.errorMessage(), "Output image is too-large 20000 x 20000");
    EXPECT_EQ(first.processCalls, 0);
}

TEST(IopPlugin, ProcessWithoutOverrideSaysSo) {
    KxTest::CoordinateSource source(4, 2);
    Lazy lazy(nullptr);
    lazy.set_input(0, &source);
    lazy.validate(true);
    lazy.request(0, 0, 4, 2, Mask_Red);
    Row r(0, 4);
    testing::internal::CaptureStderr();
    lazy.engine(0, 0, 4, Mask_Red, r);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "IopPlugin::process called. Did you mean to override this?\n");
}

TEST(IopPlugin, ValidationAddsAndRemovesChannelsAndRequestsInputs) {
    KxTest::CoordinateSource source(8, 4, Mask_RGB);
    Processor p(nullptr);
    p.setAddedChannels(Mask_Alpha);
    p.set_input(0, &source);
    p.validate(true);
    EXPECT_EQ(p.channels(), Mask_RGBA);
    EXPECT_EQ(p.box(), Box(0, 0, 8, 4));
    p.request(1, 1, 5, 3, Mask_RGBA);
    EXPECT_EQ(p.requestedFlags(), 1u);
    EXPECT_EQ(p.requestedArea(), Box(1, 1, 5, 3));
    EXPECT_EQ(source.requestedBox(), Box(1, 1, 5, 3));
    EXPECT_TRUE(source.requested_channels().contains(Mask_RGB));
}

namespace {

// Samples its input two pixels to the right.
class Shifter : public IopPlugin {
public:
    explicit Shifter(Node* node) : IopPlugin(node) {
        setSampleMode(true);
        _filter.type(Filter::Impulse);
    }
    const char* Class() const override { return "KdkShifter"; }
    const char* pluginDisplayName() const override { return "Shifter"; }
    const char* pluginHelp() const override { return ""; }
    void mapPoint(float& x, float&) override { x += 2; }
};

} // namespace

TEST(IopPlugin, SamplingPathMapsEachPixelCentreAndClampsToTheRequest) {
    KxTest::CoordinateSource source(8, 4);
    Shifter s(nullptr);
    s.set_input(0, &source);
    s.validate(true);
    s.request(0, 0, 8, 4, Mask_Red);
    Row r(0, 8);
    s.engine(1, 0, 8, Mask_Red, r);
    EXPECT_EQ(r[Chan_Red][0], 2 + 10 + 1000.0f);
    EXPECT_EQ(r[Chan_Red][5], 7 + 10 + 1000.0f);
    // Mapped beyond the requested area, the position is clamped to its edge.
    EXPECT_EQ(r[Chan_Red][7], 7 + 10 + 1000.0f);
}
