// What the command-line tests share: a fresh folder per test, kestrel run in it with its exit
// code and what it printed, and a bit-for-bit comparison of two image files.
#pragma once

#include <Kestrel/IO/ImageReader.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace KestrelTest {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out, err;
};

class Folder : public ::testing::Test {
protected:
    // A folder named after the kind of test, the test and the process, made empty.
    void makeFolder(const std::string& kind) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("kestrel_" + kind + "_" + std::string(info->name()) +
                                           "_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    static std::string slurp(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // kestrel with these arguments, each quoted, without input; what it prints goes through
    // files in folder d.
    static Outcome runIn(const fs::path& d, const std::vector<std::string>& args) {
        std::string command = KESTREL_EXECUTABLE;
        for (const auto& a : args) command += " '" + a + "'";
        const fs::path out = d / "stdout", err = d / "stderr";
        command += " >" + out.string() + " 2>" + err.string() + " </dev/null";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }
    Outcome run(const std::vector<std::string>& args) { return runIn(dir, args); }

    // Whether the aligner plug-in was built next to kestrel; tests of its buttons need it.
    static bool alignerBuilt() {
        return fs::exists(fs::path(KESTREL_EXECUTABLE).parent_path().parent_path() / "plugins" /
                          "Q_VerticalAligner2_1.so");
    }

    fs::path dir;
};

// Two image files hold the same views, boxes, channels and bits in every pixel.
inline void expectSamePixels(const std::string& a, const std::string& b) {
    SCOPED_TRACE(a + " against " + b);
    const Kestrel::IO::ImageData x = Kestrel::IO::readImage(a), y = Kestrel::IO::readImage(b);
    ASSERT_EQ(x.viewCount(), y.viewCount());
    for (size_t v = 0; v < x.viewCount(); ++v) {
        const Kestrel::IO::ViewPixels &p = x.view(v), &q = y.view(v);
        ASSERT_EQ(p.box(), q.box());
        ASSERT_EQ(p.channels(), q.channels());
        for (Kx::Image::Channel z : p.channels())
            for (int row = p.box().y(); row < p.box().t(); ++row)
                ASSERT_EQ(0, std::memcmp(p.row(z, row), q.row(z, row), size_t(p.box().w()) * 4))
                    << "view " << v << ", channel " << z << ", row " << row;
    }
}

} // namespace KestrelTest
