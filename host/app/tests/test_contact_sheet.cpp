// Captions of the contact sheet: text drawn where it is asked for and nowhere else, and a
// missing font named, with the package to install, before any work.
#include "ContactSheet.h"
#include "UsageError.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace Kx::Image;
using ::testing::HasSubstr;

namespace {

constexpr float kGrey = 0.25f;

Kestrel::IO::ViewPixels greyImage(int w, int h) {
    Kestrel::IO::ViewPixels px(Format(w, h), Box(0, 0, w, h), Mask_RGBA);
    for (Channel z : Mask_RGBA)
        for (int y = 0; y < h; ++y) std::fill(px.row(z, y), px.row(z, y) + w, kGrey);
    return px;
}

// The caption lands in the box below and right of its top-left corner (rows counted from the
// top, the image's rows from the bottom), brightens only there, and leaves alpha alone.
TEST(ContactSheet, CaptionIsDrawnBelowAndRightOfItsCornerOnly) {
    constexpr int w = 240, h = 60, x = 20, top = 10, size = 16;
    Kestrel::IO::ViewPixels px = greyImage(w, h);
    Kestrel::drawLabel(px, x, top, "frame 12, before", size);
    int lit = 0;
    for (int y = 0; y < h; ++y) {
        const int fromTop = h - 1 - y;
        for (int i = 0; i < w; ++i) {
            SCOPED_TRACE("column " + std::to_string(i) + ", row from the top " +
                         std::to_string(fromTop));
            const float r = px.row(Chan_Red, y)[i];
            ASSERT_EQ(px.row(Chan_Alpha, y)[i], kGrey);
            ASSERT_EQ(r, px.row(Chan_Green, y)[i]);
            ASSERT_EQ(r, px.row(Chan_Blue, y)[i]);
            ASSERT_GE(r, kGrey);
            ASSERT_LE(r, 1.0f);
            // A descender or an antialiased edge may reach a few pixels past the nominal size.
            const bool inside = i >= x - 1 && fromTop >= top - 1 && fromTop < top + size + 6;
            if (!inside) {
                ASSERT_EQ(r, kGrey);
            }
            if (r > 0.9f) ++lit;
        }
    }
    EXPECT_GT(lit, 50) << "the caption drew hardly anything";
}

// Without its font the caption is refused by name, and the job's check says what to install.
TEST(ContactSheet, AMissingFontIsNamedWithThePackage) {
    const std::string font = "/nonexistent/fonts/Missing.ttf";
    Kestrel::IO::ViewPixels px = greyImage(40, 20);
    try {
        Kestrel::drawLabel(px, 0, 0, "frame 1", 12, font);
        FAIL() << "drawn without a font";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr(font));
    }
    try {
        Kestrel::requireLabelFont("--contact-sheet", font);
        FAIL() << "the missing font went through";
    } catch (const Kestrel::UsageError& e) {
        EXPECT_THAT(e.what(), HasSubstr("--contact-sheet: the contact sheet's captions need the "
                                        "font " +
                                        font));
        EXPECT_THAT(e.what(), HasSubstr("fonts-dejavu-core"));
    }
    EXPECT_NO_THROW(Kestrel::requireLabelFont("--contact-sheet"));
}

} // namespace
