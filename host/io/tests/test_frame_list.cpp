// Frame lists: the farm forms, and one message per kind of bad text.
#include "ErrorOf.h"
#include "Kestrel/IO/FrameList.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Kestrel::IO::formatFrameList;
using Kestrel::IO::parseFrameList;
using Kestrel::IO::Test::errorOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Ranges include both ends; a step that overshoots the end stops before it; the list comes
// sorted without repeats, and frames may be negative.
TEST(KestrelIOFrameList, FarmForms) {
    const std::vector<int> frames = parseFrameList("1-100");
    ASSERT_EQ(frames.size(), 100u);
    EXPECT_EQ(frames.front(), 1);
    EXPECT_EQ(frames.back(), 100);
    EXPECT_THAT(parseFrameList("1-3,5,7-20x2"), ElementsAre(1, 2, 3, 5, 7, 9, 11, 13, 15, 17, 19));
    EXPECT_THAT(parseFrameList("10-15x4"), ElementsAre(10, 14));
    EXPECT_THAT(parseFrameList(" 9, 1-3 ,2 "), ElementsAre(1, 2, 3, 9));
    EXPECT_THAT(parseFrameList("-5--3,-1"), ElementsAre(-5, -4, -3, -1));
    EXPECT_THAT(parseFrameList("2147483646-2147483647,-2147483648"),
                ElementsAre(-2147483648, 2147483646, 2147483647));
    EXPECT_EQ(parseFrameList("1-1000000").size(), 1'000'000u);
    EXPECT_THAT(parseFrameList("-2147483648-2147483647x2147483647"),
                ElementsAre(-2147483648, -1, 2147483646));
}

// Written back, frames join into runs and read back the same, negative frames included.
TEST(KestrelIOFrameList, WrittenListsReadBackTheSameFrames) {
    const std::vector<std::pair<std::vector<int>, std::string>> cases = {
        {{1, 2, 3, 4, 6, 8, 9, 10}, "1-4,6,8-10"},
        {{7}, "7"},
        {{-5, -4, -3, -1, 0, 1}, "-5--3,-1-1"},
        {{}, ""},
    };
    for (const auto& [frames, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(formatFrameList(frames), text);
        if (!frames.empty()) {
            EXPECT_EQ(parseFrameList(text), frames);
        }
    }
}

// Each bad text gives a message that names the text, the item and the accepted forms.
TEST(KestrelIOFrameList, BadTextNamesTheItemAndTheForms) {
    struct Case {
        const char* text;
        const char* item;
        const char* why;
    };
    for (const Case& c :
         {Case{"", "", "holds no frame"}, Case{"1-3,a", "a", "is not a frame or a range"},
          Case{"1-3,,5", "", "is not a frame or a range"},
          Case{"5-", "5-", "is not a frame or a range"},
          Case{"1-10y2", "1-10y2", "is not a frame or a range"},
          Case{"1-10x2x", "1-10x2x", "is not a frame or a range"},
          Case{"20-10", "20-10", "ends before it starts"},
          Case{"1-10x0", "1-10x0", "has a step below 1"},
          Case{"1-1000000000", "1-1000000000", "takes the list past 1000000 frames"},
          Case{"1-600000,1-600000", "1-600000", "takes the list past 1000000 frames"},
          Case{"-2147483648-2147483647", "-2147483648-2147483647", "takes the list past"},
          Case{"1-99999999999", "1-99999999999", "is not a frame or a range"}}) {
        SCOPED_TRACE(c.text);
        const std::string message = errorOf([&] { parseFrameList(c.text); });
        EXPECT_THAT(message, HasSubstr("\"" + std::string(c.text) + "\""));
        EXPECT_THAT(message, HasSubstr("\"" + std::string(c.item) + "\" " + c.why));
        EXPECT_THAT(message, HasSubstr("1-3,5,7-20x2"));
    }
}
