// Read: images from files, single frames or sequences, one view per host view.
//
// Knobs: file (a path pattern: #### or %04d for the frame, %V or %v for the view), first and
// last (the frames of the sequence; frames outside hold the nearest end). For each host view
// the node reads that view of the file: the view of a multi-view OpenEXR (either layout), the
// file named by %V or %v, or the one image of a file without views. With a script of one view
// the file's default view is read. Channels, format, data box and metadata (OpenEXR header
// attributes) come from the file; rows are flipped to the host's bottom-up order by the image
// library. A missing file, a missing view and a bad frame range are the node's error, naming
// the file or the knob and what to do.
#include <Kestrel/IO/IOError.h>
#include <Kestrel/IO/ImageReader.h>
#include <Kx/Image/Hash.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Row.h>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

class Read : public Iop {
public:
    static constexpr const char* kClass = "Read";
    static constexpr const char* kFile = "file";
    static constexpr const char* kFirst = "first";
    static constexpr const char* kLast = "last";

    explicit Read(Node* node) : Iop(node) {}
    const char* Class() const override { return kClass; }
    const char* node_help() const override {
        return "Reads image files and sequences (#### or %04d), one file per view (%V, %v) "
               "or multi-view OpenEXR, with named layers and metadata.";
    }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }

    void knobs(Knob_Closure& f) override {
        stringKnob(f, &_file, kFile, "file", {},
                   "the file to read: #### or %04d for the frame, %V or %v for the view");
        intKnob(f, &_first, kFirst, "first frame", 1, std::nullopt, "first frame of the sequence");
        intKnob(f, &_last, kLast, "last frame", 1, std::nullopt, "last frame of the sequence");
    }

    int fileFrame() const { return std::clamp(int(std::lround(frame())), _first, _last); }

    std::string viewName() const {
        return OutputContext::viewcount() > 2 ? OutputContext::viewname(view()) : "";
    }

    void append(Hash& h) override {
        h.append(_file);
        h.append(fileFrame());
        h.append(viewName());
        // A file rewritten on disk is read again.
        std::error_code ec;
        try {
            const std::string path = IO::PathPattern(_file).expand(fileFrame(), viewName());
            auto stamp = std::filesystem::last_write_time(path, ec);
            if (!ec) h.append(double(stamp.time_since_epoch().count()));
        } catch (const IO::IOError&) {
            // The pattern's error is reported by validation.
        }
    }

    void _validate(bool) override {
        clear_info();
        _image.reset();
        if (_file.empty()) {
            error("%s: no file name: set its file knob", node_name().c_str());
            return;
        }
        if (_first > _last) {
            error("%s: the frame range %d-%d ends before it starts: set the first knob to at "
                  "most the last",
                  node_name().c_str(), _first, _last);
            return;
        }
        try {
            auto image = std::make_shared<IO::ImageData>(
                IO::readFrame(IO::PathPattern(_file), fileFrame(), viewName()));
            if (image->viewCount() == 0) {
                error("%s: %s holds no image", node_name().c_str(), _file.c_str());
                return;
            }
            const IO::ViewPixels& px = image->view(0);
            info().format = px.format();
            info().full_size_format = px.format();
            info().box = px.box();
            info().channels = px.channels();
            info().first_frame = _first;
            info().last_frame = _last;
            _image = std::move(image);
        } catch (const IO::IOError& e) {
            error("%s: %s", node_name().c_str(), e.what());
        }
    }

    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        if (!_image) {
            row.erase(channels);
            return;
        }
        const IO::ViewPixels& px = _image->view(0);
        const Box& b = px.box();
        if (b.w() <= 0 || b.h() <= 0) {
            row.erase(channels);
            return;
        }
        // Outside the data box the edge pixels repeat.
        const int sy = std::clamp(y, b.y(), b.t() - 1);
        for (Channel z : channels) {
            float* out = row.writable(z);
            if (!px.channels().contains(z)) {
                std::fill(out + x, out + r, 0.0f);
                continue;
            }
            const float* src = px.row(z, sy);
            for (int i = x; i < r; ++i) out[i] = src[std::clamp(i, b.x(), b.r() - 1) - b.x()];
        }
    }

    void _fetchMetaData(const char*) override {
        _meta.clear();
        if (_image) _meta = _image->metadata;
    }

private:
    std::string _file;
    int _first = 1, _last = 1;
    std::shared_ptr<const IO::ImageData> _image;
};

Op* build(Node* node) {
    return new Read(node);
}
const Op::Description description(Read::kClass, build);

} // namespace
} // namespace Kestrel::Nodes
