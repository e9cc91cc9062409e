// A fresh session with a scratch folder per test, and small coded images on disk.
#pragma once

#include "Kestrel/Python/Session.h"

#include <Kestrel/IO/ImageWriter.h>
#include <Kx/Image/Engine.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace Kestrel::Python::Test {

// value = x + 10 y + 100 c + 1000 v + 1: every pixel says where it came from, exact in half.
inline float coded(int x, int y, int c, int v) {
    return float(x + 10 * y + 100 * c + 1000 * v + 1);
}

inline IO::ViewPixels codedView(int w, int h, const Kx::Image::ChannelSet& channels, int v) {
    IO::ViewPixels px(Kx::Image::Format(w, h), Kx::Image::Box(0, 0, w, h), channels);
    int c = 0;
    for (Kx::Image::Channel z : channels) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) px.row(z, y)[x] = coded(x, y, c, v);
        ++c;
    }
    return px;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("kestrel_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
               std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        Kx::Image::Engine::resetInterrupt();
        Session::current().clear();
    }
    void TearDown() override {
        Session::current().clear();
        std::filesystem::remove_all(dir);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    // Names of the files in the scratch folder, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir;
};

} // namespace Kestrel::Python::Test
