// Path patterns: frame and view tokens, and the messages for bad patterns.
#include "ErrorOf.h"
#include "Kestrel/IO/PathPattern.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Kestrel::IO::PathPattern;
using Kestrel::IO::Test::errorOf;
using ::testing::HasSubstr;

TEST(KestrelIOPathPattern, HashesPadToTheirCount) {
    EXPECT_EQ(PathPattern("/s/a.####.exr").expand(12), "/s/a.0012.exr");
    EXPECT_EQ(PathPattern("/s/a.#.exr").expand(12), "/s/a.12.exr");
    EXPECT_EQ(PathPattern("/s/a.##.exr").expand(12345), "/s/a.12345.exr");
    EXPECT_EQ(PathPattern("/s/a.####.exr").expand(-12), "/s/a.-012.exr");
}

TEST(KestrelIOPathPattern, PrintfFrameForms) {
    EXPECT_EQ(PathPattern("a.%04d.png").expand(7), "a.0007.png");
    EXPECT_EQ(PathPattern("a.%d.png").expand(7), "a.7.png");
    EXPECT_EQ(PathPattern("a.%6d.png").expand(7), "a.000007.png");
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

TEST(KestrelIOPathPattern, UnknownTokenIsRefused) {
    for (const char* text : {"a.%x.exr", "a.%4V.exr", "a.%", "a.%123d.exr"}) {
        SCOPED_TRACE(text);
        const std::string message = errorOf([&] { PathPattern{text}; });
        EXPECT_THAT(message, HasSubstr(text));
        EXPECT_THAT(message, HasSubstr("use #### or %04d"));
    }
}

TEST(KestrelIOPathPattern, ViewTokenWithoutViewIsRefused) {
    const std::string message = errorOf([&] { PathPattern("a_%V.exr").expand(1); });
    EXPECT_THAT(message, HasSubstr("a_%V.exr"));
    EXPECT_THAT(message, HasSubstr("no view was given"));
}
