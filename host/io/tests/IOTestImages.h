// Tiny images for the file tests, whose values encode where they came from, and a scratch
// folder per test.
#pragma once

#include "ErrorOf.h"
#include "Kestrel/IO/ImageData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace Kestrel::IO::Test {

// value = x + 8 y + 32 c + 256 v for the c-th channel of `channels` in view v, shifted by one
// so that no stored value is 0 (0 is what lies outside a box). Every value is a small integer,
// exact in half as well as float.
inline float codedValue(int x, int y, int c, int v) {
    return float(x + 8 * y + 32 * c + 256 * v + 1);
}

inline ViewPixels codedView(const Kx::Image::Format& format, const Kx::Image::Box& box,
                            const std::vector<Kx::Image::Channel>& channels, int v) {
    ViewPixels view(format, box, {});
    for (size_t c = 0; c < channels.size(); ++c) {
        view.addChannel(channels[c]);
        for (int y = box.y(); y < box.t(); ++y)
            for (int x = box.x(); x < box.r(); ++x)
                view.row(channels[c], y)[x - box.x()] = codedValue(x, y, int(c), v);
    }
    return view;
}

// Pixel-for-pixel equality of two views over their boxes, channel sets, boxes and formats.
inline void expectSameView(const ViewPixels& a, const ViewPixels& b) {
    EXPECT_EQ(a.format().width(), b.format().width());
    EXPECT_EQ(a.format().height(), b.format().height());
    EXPECT_EQ(a.box(), b.box());
    ASSERT_EQ(a.channels(), b.channels())
        << a.channels().toString() << " vs " << b.channels().toString();
    for (Kx::Image::Channel z : a.channels())
        for (int y = a.box().y(); y < a.box().t(); ++y)
            for (int x = a.box().x(); x < a.box().r(); ++x)
                ASSERT_EQ(a.at(z, x, y), b.at(z, x, y))
                    << Kx::Image::getName(z) << " at " << x << "," << y;
}

// A fresh, empty folder for one test, removed afterwards.
class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("kestrelio_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
               std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string file(const std::string& name) const { return (dir / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir;
};

} // namespace Kestrel::IO::Test
