// The contact sheet of kestrel align: captioned anaglyphs before and after the correction.
#include "ContactSheet.h"

#include "UsageError.h"

#include <Kestrel/IO/ImageWriter.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Node.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;
using namespace Kx::Image;

namespace Kestrel {

namespace {

constexpr int kPanel = 640;     // width of an anaglyph
constexpr int kGap = 8;         // between panels and between rows
constexpr int kCaption = 26;    // the band above each row that holds the captions
constexpr int kTextSize = 16;   // caption height in pixels
constexpr float kPaper = 0.15f; // the sheet's grey behind the panels

// The sRGB encoding of a linear value, clamped to 0-1: how a viewer shows scene-linear
// OpenEXR pixels, which would look dark written to a PNG as they are.
float toSrgb(float linear) {
    const float v = std::clamp(linear, 0.0f, 1.0f);
    return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

// A red/cyan anaglyph of the left and right views of an op at a frame, scaled to width w;
// linear pixels go through the sRGB view transform first.
IO::ViewPixels anaglyph(Node& node, double frame, int leftView, int rightView, int w, bool linear) {
    Iop* views[2] = {node.iop(OutputContext(frame, leftView)),
                     node.iop(OutputContext(frame, rightView))};
    views[0]->validate(true);
    const Format format = views[0]->format();
    const int h = std::max(1, int(std::lround(double(w) * format.height() / format.width())));
    IO::ViewPixels out(Format(w, h), Box(0, 0, w, h), Mask_RGBA);
    for (int v = 0; v < 2; ++v) {
        Iop& op = *views[v];
        op.validate(true);
        op.request(0, 0, format.width(), format.height(), Mask_RGB);
        Row row(0, format.width());
        for (int y = 0; y < h; ++y) {
            const int sy = std::min(format.height() - 1, int((y + 0.5) * format.height() / h));
            op.get(sy, 0, format.width(), Mask_RGB, row);
            for (int x = 0; x < w; ++x) {
                const int sx = std::min(format.width() - 1, int((x + 0.5) * format.width() / w));
                const float luma = 0.3f * row[Chan_Red][sx] + 0.59f * row[Chan_Green][sx] +
                                   0.11f * row[Chan_Blue][sx];
                const float grey = linear ? toSrgb(luma) : luma;
                if (v == 0) {
                    out.row(Chan_Red, y)[x] = grey;
                } else {
                    out.row(Chan_Green, y)[x] = grey;
                    out.row(Chan_Blue, y)[x] = grey;
                }
                out.row(Chan_Alpha, y)[x] = 1.0f;
            }
        }
    }
    return out;
}

} // namespace

void requireLabelFont(const std::string& option, const std::string& font) {
    std::error_code ec;
    if (!fs::is_regular_file(font, ec))
        throw UsageError(option + ": the contact sheet's captions need the font " + font +
                         ", which is missing: install Debian's fonts-dejavu-core "
                         "(scripts/setup.sh does), or leave out " +
                         option);
}

void drawLabel(IO::ViewPixels& pixels, int x, int yFromTop, const std::string& text, int size,
               const std::string& font) {
    const Box& box = pixels.box();
    // The text's coverage, 0 to 1, in a plane of the image's size with rows top-down.
    OIIO::ImageBuf coverage(OIIO::ImageSpec(box.w(), box.h(), 1, OIIO::TypeDesc::FLOAT),
                            OIIO::InitializePixels::Yes);
    const float white[] = {1.0f};
    if (!OIIO::ImageBufAlgo::render_text(coverage, x, yFromTop, text, size, font, white,
                                         OIIO::ImageBufAlgo::TextAlignX::Left,
                                         OIIO::ImageBufAlgo::TextAlignY::Top))
        throw std::runtime_error("cannot draw the caption \"" + text + "\" with the font " + font +
                                 ": " + coverage.geterror());
    std::vector<float> line(size_t(box.w()));
    for (int top = 0; top < box.h(); ++top) {
        coverage.get_pixels(OIIO::ROI(0, box.w(), top, top + 1), OIIO::TypeDesc::FLOAT,
                            line.data());
        const int y = box.t() - 1 - top;
        for (Channel z : {Chan_Red, Chan_Green, Chan_Blue}) {
            if (!pixels.channels().contains(z)) continue;
            float* row = pixels.row(z, y);
            for (int i = 0; i < box.w(); ++i)
                if (line[size_t(i)] > 0) row[i] += (1.0f - row[i]) * line[size_t(i)];
        }
    }
}

void writeContactSheet(const AlignJob& job) {
    std::vector<int> frames = {job.frames.front()};
    const std::vector<double> keys(job.keys.begin(), job.keys.end());
    frames.push_back(int(keys[keys.size() / 2]));
    frames.push_back(job.frames.back());
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    const bool linear =
        !job.options.demo && fs::path(job.sequences.front().pattern).extension() == ".exr";
    std::vector<IO::ViewPixels> rows;
    for (int f : frames) {
        rows.push_back(anaglyph(*job.plate, f, job.leftView, job.rightView, kPanel, linear));
        rows.push_back(anaglyph(*job.result, f, job.leftView, job.rightView, kPanel, linear));
    }
    const int panelHeight = rows.front().box().h(), w = 2 * kPanel + kGap;
    const int rowHeight = kCaption + panelHeight;
    const int h = int(frames.size()) * rowHeight + (int(frames.size()) - 1) * kGap;
    IO::ViewPixels sheet(Format(w, h), Box(0, 0, w, h), Mask_RGBA);
    for (int y = 0; y < h; ++y)
        for (Channel z : Mask_RGBA) {
            float* out = sheet.row(z, y);
            std::fill(out, out + w, z == Chan_Alpha ? 1.0f : kPaper);
        }
    const std::string views = ": " + job.leftName + " in red, " + job.rightName + " in cyan";
    // The first frame's row at the top: rows of the sheet count from the bottom.
    for (size_t i = 0; i < frames.size(); ++i) {
        const int top = int(i) * (rowHeight + kGap);
        const int base = h - top - rowHeight;
        for (int y = 0; y < panelHeight; ++y)
            for (Channel z : Mask_RGBA) {
                const IO::ViewPixels& a = rows[2 * i];
                const IO::ViewPixels& b = rows[2 * i + 1];
                std::copy(a.row(z, y), a.row(z, y) + kPanel, sheet.row(z, base + y));
                std::copy(b.row(z, y), b.row(z, y) + kPanel,
                          sheet.row(z, base + y) + kPanel + kGap);
            }
        const std::string frame =
            "frame " + std::to_string(frames[i]) + (job.keys.count(frames[i]) ? " (key)" : "");
        const int textTop = top + (kCaption - kTextSize) / 2;
        drawLabel(sheet, 4, textTop, frame + ", before" + views, kTextSize);
        drawLabel(sheet, kPanel + kGap + 4, textTop, frame + ", aligned" + views, kTextSize);
    }
    fs::create_directories(job.contactSheet.parent_path());
    IO::ImageData image;
    image.addView("", std::move(sheet));
    IO::writeImage(job.contactSheet.string(), image);
}

} // namespace Kestrel
