// kestrel align as users run it: two PNG stills in, two aligned PNGs and a report out; and
// one clear message, with nothing written, for each bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

class Align : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kestrel_align_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    int kestrel(const std::string& args, std::string* err = nullptr) {
        const std::string command = std::string(KESTREL_EXECUTABLE) + " " + args + " >" +
                                    path("stdout") + " 2>" + path("stderr") + " </dev/null";
        const int status = std::system(command.c_str());
        std::ifstream in(path("stderr"));
        std::stringstream s;
        s << in.rdbuf();
        if (err) *err = s.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A left and a right still of the synthetic plate, the right one 6 px high and rolled.
    void stills() {
        std::ofstream s(path("plate.kscript"));
        s << "kestrel_script 1\nviews left right\nframes 1 1\n"
          << "node SyntheticStereo Plate\n knob width 640\n knob height 360\n knob lastFrame 1\n"
          << " knob verticalShift 6\n knob roll 0.4\nend\n"
          << "node Write Write1\n input 0 Plate\n knob file " << path("plate_%V.png")
          << "\n knob channels rgba\nend\n";
        s.close();
        ASSERT_EQ(kestrel("render " + path("plate.kscript")), 0);
    }

    fs::path dir;
};

} // namespace

TEST_F(Align, TwoPngStillsGiveTwoAlignedStillsAndAReport) {
    stills();
    std::string err;
    ASSERT_EQ(kestrel("align " + path("plate_left.png") + " " + path("plate_right.png") + " -o " +
                          path("out/aligned_%V.png") + " --report " + path("out/report.json"),
                      &err),
              0)
        << err;
    EXPECT_TRUE(fs::exists(path("out/aligned_left.png")));
    EXPECT_TRUE(fs::exists(path("out/aligned_right.png")));
    EXPECT_TRUE(fs::exists(path("out/aligned.kscript")));
    std::ifstream f(path("out/report.json"));
    const auto report = nlohmann::json::parse(f);
    EXPECT_GT(report["before"]["rms"].get<double>(), 4.0);
    EXPECT_LT(report["after"]["rms"].get<double>(), 0.1);
    EXPECT_GT(report["keys"][0]["before"]["matches"].get<int>(), 300);
    EXPECT_THAT(report["layout"].get<std::string>(), HasSubstr("Stereo Layout"));
    // The saved script opens again.
    EXPECT_EQ(kestrel("info " + path("out/aligned.kscript") + " VerticalAligner1"), 0);
}

// Asked for, the STMap of the correction travels with the colour in each view's EXR.
TEST_F(Align, StMapIsWrittenWhenAskedFor) {
    stills();
    std::string err;
    ASSERT_EQ(kestrel("align " + path("plate_left.png") + " " + path("plate_right.png") + " -o " +
                          path("out/aligned_%V.exr") + " --stmap",
                      &err),
              0)
        << err;
    for (const char* view : {"left", "right"}) {
        std::ifstream f(path(std::string("out/aligned_") + view + ".exr"), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(f)),
                                std::istreambuf_iterator<char>());
        // Channel names stand in the EXR header as plain text.
        EXPECT_THAT(bytes, HasSubstr("stitch_map.u")) << view;
        EXPECT_THAT(bytes, HasSubstr("stitch_map.v")) << view;
    }
}

TEST_F(Align, BadInputsSayWhatToDoAndWriteNothing) {
    stills();
    std::string err;
    EXPECT_NE(kestrel("align " + path("missing.png") + " -o " + path("out/a.exr"), &err), 0);
    EXPECT_THAT(err, HasSubstr("no such file: " + path("missing.png")));
    EXPECT_NE(kestrel("align " + path("plate_left.png") + " -o " + path("out/a.exr"), &err), 0);
    EXPECT_THAT(err, HasSubstr("holds one view: give the right view as a second file"));
    EXPECT_NE(kestrel("align --demo --preset Wobbly -o " + path("out/a.exr"), &err), 0);
    EXPECT_THAT(err, HasSubstr("unknown preset \"Wobbly\": use one of \"Custom\""));
    EXPECT_NE(kestrel("align " + path("plate_left.png") + " " + path("plate_right.png") +
                          " --frames 5-9 -o " + path("out/a.exr"),
                      &err),
              0);
    EXPECT_THAT(err, HasSubstr("none of the frames 5-9 is in the plate"));
    EXPECT_FALSE(fs::exists(path("out")));
}
