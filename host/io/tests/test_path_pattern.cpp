// Path patterns: frame and view tokens, and the messages for bad patterns.
#include "ErrorOf.h"
#include "Kestrel/IO/PathPattern.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

using Kestrel::IO::PathPattern;
using Kestrel::IO::Test::errorOf;
using ::testing::HasSubstr;

// Hashes pad to their count, as do printf forms; negative frames keep the width.
TEST(KestrelIOPathPattern, FrameTokensPadTheFrame) {
    const std::pair<const char*, const char*> cases[] = {
        {"/s/a.####.exr", "/s/a.0012.exr"}, {"/s/a.#.exr", "/s/a.12.exr"},
        {"a.%04d.png", "a.0012.png"},       {"a.%d.png", "a.12.png"},
        {"a.%6d.png", "a.000012.png"},
    };
    for (const auto& [pattern, expanded] : cases)
        EXPECT_EQ(PathPattern(pattern).expand(12), expanded);
    EXPECT_EQ(PathPattern("/s/a.##.exr").expand(12345), "/s/a.12345.exr");
    EXPECT_EQ(PathPattern("/s/a.####.exr").expand(-12), "/s/a.-012.exr");
    // Wide paddings and the largest frames keep every digit.
    EXPECT_EQ(PathPattern("a.%40d.png").expand(2147483647),
              "a." + std::string(30, '0') + "2147483647.png");
    EXPECT_EQ(PathPattern("a.%d.png").expand(-2147483647 - 1), "a.-2147483648.png");
    EXPECT_EQ(PathPattern("a." + std::string(50, '#')).expand(7),
              "a." + std::string(49, '0') + "7");
}

// One view's pattern keeps the frame tokens and escapes what the view name holds.
TEST(KestrelIOPathPattern, WithViewFillsTheViewTokensOnly) {
    const PathPattern p("/seq/%V/%v_%03d.####.png");
    const PathPattern left = p.withView("left");
    EXPECT_FALSE(left.hasView());
    EXPECT_EQ(left.expand(7), "/seq/left/l_007.0007.png");
    EXPECT_EQ(PathPattern("/a/%V.#.png").withView("50%").expand(1), "/a/50%.1.png");
    EXPECT_EQ(PathPattern("/a/100%%/%V.png").withView("right").expand(1), "/a/100%/right.png");
    EXPECT_THAT(errorOf([&] { p.withView(""); }), HasSubstr("cannot stand for %V"));
    EXPECT_THAT(errorOf([&] { p.withView("a#b"); }), HasSubstr("name views without #"));
}

TEST(KestrelIOPathPattern, ViewNameAndLetter) {
    const PathPattern p("/p/%V/plate_%v.####.exr");
    EXPECT_TRUE(p.hasView());
    EXPECT_TRUE(p.hasFrame());
    EXPECT_EQ(p.expand(3, "left"), "/p/left/plate_l.0003.exr");
    EXPECT_EQ(p.expand(3, "right"), "/p/right/plate_r.0003.exr");
}

TEST(KestrelIOPathPattern, PlainPathAndLiteralPercent) {
    const PathPattern p("/p/100%%_plate.exr");
    EXPECT_FALSE(p.hasFrame());
    EXPECT_FALSE(p.hasView());
    EXPECT_EQ(p.expand(5, "left"), "/p/100%_plate.exr");
}

TEST(KestrelIOPathPattern, UnknownTokensAndAViewTokenWithoutAViewAreRefused) {
    for (const char* text : {"a.%x.exr", "a.%4V.exr", "a.%", "a.%123d.exr"}) {
        SCOPED_TRACE(text);
        const std::string message = errorOf([&] { PathPattern{text}; });
        EXPECT_THAT(message, HasSubstr(text));
        EXPECT_THAT(message, HasSubstr("use #### or %04d"));
    }
    const std::string message = errorOf([&] { PathPattern("a_%V.exr").expand(1); });
    EXPECT_THAT(message, HasSubstr("a_%V.exr"));
    EXPECT_THAT(message, HasSubstr("no view was given"));
}

// A path matches when the pattern writes it for some frame and view: digits padded as the
// pattern pads them, one frame and one view throughout.
TEST(KestrelIOPathPattern, MatchesThePathsItExpandsToAndGivesTheirFrame) {
    const std::tuple<const char*, const char*, std::optional<int>> matching[] = {
        {"a.####.exr", "a.0012.exr", 12},
        {"a.####.exr", "a.12345.exr", 12345},
        {"a.####.exr", "a.-012.exr", -12},
        {"a.%d.exr", "a.7.exr", 7},
        {"shot.%V%04d.exr", "shot.left0003.exr", 3},
        {"%V/a_%v.#.exr", "right/a_r.4.exr", 4},
        {"still_%V.exr", "still_left.exr", std::nullopt},
        {"100%%/a.%04d.exr", "100%/a.-012.exr", -12},
        {"a%%.%d%%.exr", "a%.-3%.exr", -3},
    };
    for (const auto& [pattern, path, frame] : matching) {
        SCOPED_TRACE(std::string(pattern) + " " + path);
        std::optional<int> found = -99;
        EXPECT_TRUE(PathPattern(pattern).matches(path, found));
        EXPECT_EQ(found, frame);
    }
    const std::pair<const char*, const char*> refused[] = {
        {"a.####.exr", "a.12.exr"},             // not padded
        {"a.####.exr", "a.00012.exr"},          // padded beyond the width
        {"a.####.exr", "a.99999999999.exr"},    // does not fit an int
        {"a.####.exr", "a.+012.exr"},           // a sign expand() never writes
        {"a.####.####.exr", "a.0001.0002.exr"}, // two frames
        {"%V/a_%v.#.exr", "right/a_l.4.exr"},   // two views
        {"%V.exr", "left/right.exr"},           // a view name holds no folder
    };
    for (const auto& [pattern, path] : refused) {
        SCOPED_TRACE(std::string(pattern) + " " + path);
        std::optional<int> found;
        EXPECT_FALSE(PathPattern(pattern).matches(path, found));
    }
}

// Expanding and matching are one grammar: every frame a pattern writes, negative ones and those
// wider than the padding included, reads back as that frame, with literal % signs around it.
TEST(KestrelIOPathPattern, EveryExpandedPathMatchesBackToItsFrame) {
    const char* patterns[] = {"a.####.exr",  "a.%04d.exr",     "a.%d.exr",
                              "a.#.exr",     "100%%/a.##.exr", "%V/a_%v.%03d",
                              "a%%%d%%.exr", "x%%y.####",      "%V.%V.#.exr"};
    const int frames[] = {-2147483647 - 1, -1234, -12, -1, 0, 1, 7, 12, 999, 12345, 2147483647};
    for (const char* pattern : patterns)
        for (int frame : frames) {
            SCOPED_TRACE(std::string(pattern) + " frame " + std::to_string(frame));
            const PathPattern p(pattern);
            const std::string path = p.expand(frame, "left");
            std::optional<int> found;
            EXPECT_TRUE(p.matches(path, found)) << path;
            EXPECT_EQ(found, frame) << path;
        }
}
