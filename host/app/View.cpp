#include "View.h"

#include "AlignerKnobs.h"
#include "UsageError.h"
#include "Verbosity.h"

#include <Kestrel/IO/ImageData.h>
#include <Kestrel/IO/ImageWriter.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/GL.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>
#include <Kx/Image/Script.h>
#include <Kx/Image/ViewerContext.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;
using namespace Kx::Image;

namespace Kestrel {

namespace {

// The aligner's knobs that the fix-point drag reads and reports.
constexpr const char* kFixPoint = "fixPoint";
constexpr const char* kOffset = "offset";

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

const char* const kEventForms = "\"click X,Y\", \"shift-click X,Y\", \"box X0,Y0,X1,Y1\", "
                                "\"key Delete|Backspace|Escape\" or \"drag-fix-point X,Y\"";

// Reads n comma-separated numbers and nothing else.
bool numbers(const std::string& text, int n, double* out) {
    std::istringstream in(text);
    for (int i = 0; i < n; ++i) {
        if (!(in >> out[i])) return false;
        if (i + 1 < n) {
            char comma = 0;
            if (!(in >> comma) || comma != ',') return false;
        }
    }
    in >> std::ws;
    return in.eof();
}

// The node's output at a full-size context: red, green, blue and alpha (1 where the node
// has no alpha) over its format.
IO::ViewPixels render(Node& node, const OutputContext& c) {
    Iop* op = node.iop(c);
    if (!op) fail("node " + node.name() + " has no image output to view");
    op->validate(true);
    if (op->hasError()) fail(node.name() + ": " + op->errorMessage());
    const Format format = op->format();
    const int w = format.width(), h = format.height();
    if (w < 1 || h < 1) fail("node " + node.name() + " has an empty format: nothing to view");
    const ChannelSet channels = op->channels() & Mask_RGBA;
    op->request(0, 0, w, h, channels);
    IO::ViewPixels out(format, Box(0, 0, w, h), Mask_RGBA);
    Row row(0, w);
    for (int y = 0; y < h; ++y) {
        op->get(y, 0, w, channels, row);
        for (Channel z : Mask_RGBA) {
            float* dst = out.row(z, y);
            if (channels.contains(z))
                std::copy(row[z], row[z] + w, dst);
            else
                std::fill(dst, dst + w, z == Chan_Alpha ? 1.0f : 0.0f);
        }
    }
    if (op->hasError()) fail(node.name() + ": " + op->errorMessage());
    return out;
}

// The image reduced to width x height by averaging the full-size pixels under each pixel.
IO::ViewPixels reduce(const IO::ViewPixels& full, int width, int height) {
    const int w = full.box().w(), h = full.box().h();
    if (width == w && height == h) return full;
    IO::ViewPixels out(Format(width, height), Box(0, 0, width, height), full.channels());
    for (int j = 0; j < height; ++j) {
        const int y0 = int(int64_t(j) * h / height);
        const int y1 = std::max(y0 + 1, int(int64_t(j + 1) * h / height));
        for (int i = 0; i < width; ++i) {
            const int x0 = int(int64_t(i) * w / width);
            const int x1 = std::max(x0 + 1, int(int64_t(i + 1) * w / width));
            for (Channel z : full.channels()) {
                double sum = 0;
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x) sum += full.row(z, y)[x];
                out.row(z, j)[i] = float(sum / double((y1 - y0) * (x1 - x0)));
            }
        }
    }
    return out;
}

// The overlay laid over the image by its alpha.
void composite(IO::ViewPixels& image, const OffscreenGL& overlay) {
    for (int y = 0; y < overlay.height(); ++y)
        for (int x = 0; x < overlay.width(); ++x) {
            const uint8_t* o = overlay.pixel(x, y);
            if (o[3] == 0) continue;
            const float a = float(o[3]) / 255.0f;
            for (int c = 0; c < 3; ++c) {
                float& v = image.row(Channel(Chan_Red + c), y)[x];
                v = float(o[c]) / 255.0f * a + v * (1.0f - a);
            }
            float& alpha = image.row(Chan_Alpha, y)[x];
            alpha = a + alpha * (1.0f - a);
        }
}

// The points the node drew (the handles of its position knobs left out).
int pointHandles(const ViewerContext& v) {
    return int(std::count_if(v.handles().begin(), v.handles().end(), [](const auto& h) {
        return h.type == ViewerContext::kPointHandle && !(h.knob && h.knob->kind() == KnobKind::XY);
    }));
}

void saveScript(const Graph& graph, const std::string& path) {
    const fs::path tmp = path + ".tmp";
    std::ofstream f(tmp, std::ios::binary);
    f << Script::write(graph);
    f.close();
    if (!f) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        fail(path + ": cannot write the script; check that the folder exists and is writable");
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) fail(path + ": cannot write the script: " + ec.message());
}

// Whether a node that stores matches (the aligner's controlPoints) has some at the frame;
// true for nodes that store none. The text is the knob's script text: "Frame F tracks N" per
// frame.
bool hasStoredMatchesAt(Node& node, double frame) {
    const Knob* matches = node.knob(AlignerKnobs::kControlPoints);
    if (!matches) return true;
    std::istringstream in(matches->scriptText(false));
    std::string word;
    while (in >> word)
        if (word == "Frame") {
            double f = 0;
            long long tracks = 0;
            if ((in >> f >> word >> tracks) && f == frame) return tracks > 0;
        }
    return false;
}

} // namespace

ViewerEvent parseViewerEvent(const std::string& text) {
    ViewerEvent e;
    e.text = text;
    std::istringstream in(text);
    std::string word, rest;
    in >> word;
    std::getline(in, rest);
    double v[4] = {0, 0, 0, 0};
    if ((word == "click" || word == "shift-click" || word == "drag-fix-point") &&
        numbers(rest, 2, v)) {
        e.kind = word == "click"         ? ViewerEvent::Kind::Click
                 : word == "shift-click" ? ViewerEvent::Kind::AddClick
                                         : ViewerEvent::Kind::DragFixPoint;
    } else if (word == "box" && numbers(rest, 4, v)) {
        e.kind = ViewerEvent::Kind::Box;
    } else if (word == "key") {
        std::istringstream k(rest);
        std::string name, extra;
        k >> name >> extra;
        e.kind = ViewerEvent::Kind::Key;
        if (name == "Delete")
            e.key = ViewerContext::kKeyDelete;
        else if (name == "Backspace")
            e.key = ViewerContext::kKeyBackspace;
        else if (name == "Escape")
            e.key = ViewerContext::kKeyEscape;
        if (e.key == 0 || !extra.empty())
            fail("--event \"" + text + "\": the keys are Delete, Backspace and Escape");
    } else {
        fail("--event \"" + text + "\" is not a viewer event: use " + kEventForms +
             ", positions in full-size pixels");
    }
    e.x0 = v[0], e.y0 = v[1], e.x1 = v[2], e.y1 = v[3];
    return e;
}

void runView(const ViewOptions& o, std::ostream& out) {
    if (o.output.empty()) fail("no output: give the PNG to write with -o, such as -o view.png");
    if (!(o.proxy > 0 && o.proxy <= 1))
        fail("--proxy must be above 0 and at most 1, such as 0.5, not " + std::to_string(o.proxy));
    {
        std::string ext = std::filesystem::path(o.output).extension().string();
        for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".png")
            throw UsageError("-o " + o.output +
                             ": kestrel view writes a PNG; end the name in .png");
    }
    std::vector<ViewerEvent> events;
    for (const auto& text : o.events) events.push_back(parseViewerEvent(text));

    auto& session = Python::Session::current();
    session.load(o.script);
    for (const std::string& w : applyKnobSettings(session.graph(), o.settings)) warn(w);
    Node& node = session.node(o.node);
    int view = 1;
    if (!o.view.empty()) {
        view = OutputContext::lookup_view(o.view);
        if (view == 0) {
            std::string names;
            for (const auto& n : OutputContext::views()) names += (names.empty() ? "" : ", ") + n;
            fail("--view " + o.view + ": the script " + o.script +
                 " has no such view; its views are " + names);
        }
    }
    const double frame = o.frame ? *o.frame : session.graph().firstFrame;
    session.setFrame(frame);
    if (!hasStoredMatchesAt(node, frame))
        std::cerr << "kestrel: warning: " << node.name() << " has no stored matches at frame "
                  << formatNumber(frame) << ", so none are drawn: press its Match at that frame "
                  << "(kestrel press SCRIPT " << node.name() << ".match) or view a key frame\n";

    // The node's panel is open, as when a user looks at its handles.
    node.setPanelOpen(true);
    // The image, at full size and then at the proxy size the viewer shows.
    const OutputContext full(frame, view);
    // The viewer's refresh before it shows the node: the node may update its knobs.
    node.setContext(full);
    node.firstOp()->updateUI(full);
    node.firstOp()->doPreValidate();
    IO::ViewPixels image = render(node, full);
    const int width = std::max(1, int(std::lround(image.box().w() * o.proxy)));
    const int height = std::max(1, int(std::lround(image.box().h() * o.proxy)));
    image = reduce(image, width, height);

    OutputContext context = full;
    context.proxyscale(o.proxy, o.proxy);
    ViewerContext viewer(ViewerContext::Mode::Viewer2D, context);
    viewer.setViewport(width, height);
    auto draw = [&] {
        node.setContext(context);
        node.firstOp()->validate(true);
        viewer.build(*node.firstOp());
        viewer.draw();
    };
    draw();
    out << std::fixed << std::setprecision(2);
    for (const ViewerEvent& e : events) {
        out << e.text << ": ";
        switch (e.kind) {
        case ViewerEvent::Kind::Click:
        case ViewerEvent::Kind::AddClick:
            viewer.click(e.x0, e.y0, e.kind == ViewerEvent::Kind::AddClick);
            out << viewer.selectedCount() << " selected\n";
            break;
        case ViewerEvent::Kind::Box:
            viewer.boxSelect(e.x0, e.y0, e.x1, e.y1);
            out << viewer.selectedCount() << " selected\n";
            break;
        case ViewerEvent::Kind::Key:
            out << (viewer.keyPress(e.key) ? "taken by the node\n" : "not taken\n");
            break;
        case ViewerEvent::Kind::DragFixPoint: {
            Knob* fix = node.knob(kFixPoint);
            if (!fix) fail("node " + node.name() + " has no fix point (knob fixPoint) to drag");
            const auto handle = std::find_if(viewer.handles().begin(), viewer.handles().end(),
                                             [&](const auto& h) { return h.knob == fix; });
            if (handle == viewer.handles().end())
                fail("the fix point of " + node.name() +
                     " is not in the viewer: it moves only with fixParallax on and lockOffset "
                     "off; set them in the script");
            // The host's sources render at full size only, so the node measures the
            // disparity under the fix point at full size.
            node.setContext(full);
            node.firstOp()->validate(true);
            Knob* offset = node.knob(kOffset);
            const double before = offset ? offset->value(0, view, frame) : 0;
            const double hx = handle->x, hy = handle->y;
            viewer.push(hx, hy);
            viewer.drag(e.x0, e.y0);
            viewer.release(e.x0, e.y0);
            out << "fix point (" << hx << ", " << hy << ") -> (" << fix->value(0, view, frame)
                << ", " << fix->value(1, view, frame) << ")";
            if (offset) out << ", offset " << before << " -> " << offset->value(0, view, frame);
            out << "\n";
            break;
        }
        }
        draw();
    }

    if (o.overlays) composite(image, *viewer.overlay());
    IO::ImageData data;
    data.addView("", std::move(image));
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::absolute(o.output).parent_path(), made);
    if (made) fail("cannot make the folder of " + o.output + ": " + made.message());
    IO::writeImage(o.output, data);
    out << "wrote " << o.output << " (" << width << " x " << height << ", frame "
        << formatNumber(frame) << ", view " << OutputContext::viewname(view) << ", "
        << pointHandles(viewer) << " points drawn" << (o.overlays ? "" : ", overlays off") << ")\n";
    if (!o.save.empty()) {
        saveScript(session.graph(), o.save);
        out << "saved " << o.save << "\n";
    }
}

} // namespace Kestrel
