// The frames of a sequence on disk: only names that the pattern writes count, views and frames
// may stand in folder names, and nothing found names the pattern and the folder.
#include "IOTestImages.h"

#include "Kestrel/IO/FramesOnDisk.h"

#include <gmock/gmock.h>

#include <fstream>

namespace Kestrel::IO::Test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class KestrelIOFramesOnDisk : public ScratchFolder {
protected:
    void touch(const std::string& name) const {
        std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
        std::ofstream(file(name)) << "x";
    }
};

TEST_F(KestrelIOFramesOnDisk, ListsTheFramesTheNamesHoldAscendingAndOnce) {
    for (const char* name : {"plate.0010.exr", "plate.0002.exr", "plate.-003.exr",
                             "plate.12345.exr", "plate.0001.exr"})
        touch(name);
    // Names that only look like frames: other padding, numbers beyond an int, other files and
    // a folder with a frame's name.
    for (const char* name : {"plate.12.exr", "plate.99999999999.exr", "plate.0004.exr.tmp",
                             "other.0005.exr", "plate.0006.png"})
        touch(name);
    std::filesystem::create_directory(dir / "plate.0007.exr");
    EXPECT_THAT(framesOnDisk(file("plate.####.exr")), ElementsAre(-3, 1, 2, 10, 12345));
    EXPECT_THAT(framesOnDisk(file("plate.%04d.exr")), ElementsAre(-3, 1, 2, 10, 12345));
}

TEST_F(KestrelIOFramesOnDisk, ViewsInFoldersAndNamesAddTheirFramesTogether) {
    for (const char* name :
         {"left/shot_l.0001.exr", "left/shot_l.0002.exr", "right/shot_r.0002.exr",
          "right/shot_r.0003.exr", "right/shot_l.0009.exr"})
        touch(name);
    EXPECT_THAT(framesOnDisk(file("%V/shot_%v.####.exr")), ElementsAre(1, 2, 3));
    EXPECT_THAT(framesOnDisk(file("right/shot_%v.####.exr")), ElementsAre(2, 3, 9));
}

TEST_F(KestrelIOFramesOnDisk, AFileWithoutFrameTokenIsFrameOne) {
    touch("still.exr");
    touch("still_left.exr");
    EXPECT_THAT(framesOnDisk(file("still.exr")), ElementsAre(1));
    EXPECT_THAT(framesOnDisk(file("still_%V.exr")), ElementsAre(1));
    EXPECT_THAT(errorOf([&] { framesOnDisk(file("gone.exr")); }),
                HasSubstr("no such file: " + file("gone.exr") + "; check the path"));
}

TEST_F(KestrelIOFramesOnDisk, NothingFoundNamesThePatternAndTheFolder) {
    touch("plate.12.exr");
    EXPECT_THAT(errorOf([&] { framesOnDisk(file("plate.####.exr")); }),
                HasSubstr("no frames of " + file("plate.####.exr") + " in " + dir.string() +
                          "; check the path"));
    EXPECT_THAT(errorOf([&] { framesOnDisk(file("absent/%V/plate.####.exr")); }),
                HasSubstr("in " + file("absent") + " (the folder does not exist)"));
}

} // namespace
} // namespace Kestrel::IO::Test
