// Plug-in files load with dlopen and register their classes; a bad file is reported by
// name and reason and loading goes on.
#include "TestImages.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Plugins.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace Kx::Image;

namespace {

std::string testPlugin() {
    return std::string(KX_TEST_PLUGIN_DIR) + "/KxTestPlugin.so";
}

class PassSource : public KxTest::CoordinateSource {
public:
    explicit PassSource(Node*) : CoordinateSource(12, 6) {}
};
const Op::Description sourceDescription("PluginTestSource",
                                        [](Node* n) -> Op* { return new PassSource(n); });

} // namespace

TEST(Plugins, TestPluginLoadsRegistersBuildsAndRenders) {
    ASSERT_TRUE(Plugins::load(testPlugin())) << Plugins::failures().back().reason;
    const Op::Description* d = Op::Description::find("KxTestShift");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->file, std::filesystem::absolute(testPlugin()).lexically_normal().string());
    EXPECT_NE(std::string(d->compileStamp).find("KxImage"), std::string::npos);

    Node source("PluginTestSource", "Source1");
    Node shift("KxTestShift", "Shift1");
    ASSERT_TRUE(shift.setInput(0, &source));
    Iop* op = shift.iop(OutputContext(1.0, 1));
    ASSERT_NE(op, nullptr);
    op->validate(true);
    EXPECT_EQ(op->box(), Box(3, 0, 15, 6)); // moved right by the plug-in's 3 pixels
    std::vector<float> red(12);
    ASSERT_TRUE(Engine::renderRows(*op, Box(3, 2, 15, 3), Mask_Red, [&](int, const Row& row) {
        for (int i = 3; i < 15; ++i) red[size_t(i - 3)] = row[Chan_Red][i];
    }));
    EXPECT_EQ(red[0], 2.0f * (0 + 20 + 1000)); // gain 2 of the source pixel (0, 2)
    EXPECT_EQ(red[11], 2.0f * (11 + 20 + 1000));
    // Loading the same file again is not an error and does not load it twice.
    EXPECT_TRUE(Plugins::load(testPlugin()));
    EXPECT_EQ(std::count(Plugins::loaded().begin(), Plugins::loaded().end(),
                         std::filesystem::absolute(testPlugin()).lexically_normal().string()),
              1);
}

TEST(Plugins, CorruptFileIsReportedAndLoadingGoesOn) {
    auto dir = std::filesystem::temp_directory_path() / "kx_plugins_test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "Broken.so") << "this is not a shared library";
    std::filesystem::copy_file(testPlugin(), dir / "Good.so",
                               std::filesystem::copy_options::overwrite_existing);
    size_t failuresBefore = Plugins::failures().size();
    EXPECT_EQ(Plugins::loadFolder(dir.string()), 1);
    ASSERT_EQ(Plugins::failures().size(), failuresBefore + 1);
    const auto& f = Plugins::failures().back();
    EXPECT_EQ(std::filesystem::path(f.file).filename(), "Broken.so");
    EXPECT_NE(f.reason.find("Broken.so"), std::string::npos) << f.reason;
    EXPECT_FALSE(Plugins::load((dir / "Missing.so").string()));
    EXPECT_EQ(Plugins::failures().back().reason, "no such file");
    std::filesystem::remove_all(dir);
}
