// Read: images from files, single frames or sequences, one view per host view.
//
// Knobs: file (a path pattern: #### or %04d for the frame, %V or %v for the view), first and
// last (the frames of the sequence), missing_frames (what a frame without its file gives).
//
// Frames. A pattern with a frame token is a sequence. The first and last knobs bound it where
// they are set; an end left at its default (as when a script or Python sets only the file) is
// the first or last frame on disk, of any view (Kestrel/IO/FramesOnDisk.h). A pattern without a
// frame token is a still that every frame reads. A frame of a sequence outside first-last, or
// inside it without its file (a hole, in the view asked), is missing, and missing_frames says
// what it gives:
//   error (the default): the node's error, naming the frame, the file and the other choices;
//   black: black, with the format, channels and metadata of the nearest frame on disk
//          (the earlier of two as near);
//   hold:  the nearest earlier frame on disk, or before the first one, the first one.
// Only frames within first-last stand in. Every frame filled in is reported as a warning line
// and kept for the job's report (nodes/FrameNotices.h). The hash holds the frame actually read.
//
// Views. For each host view the node reads that view of the file: the view of a multi-view
// OpenEXR (either layout), the file named by %V or %v, or the one image of a file without
// views. With a script of one view the file's default view is read.
//
// Channels, format, data box and metadata (OpenEXR header attributes) come from the file; rows
// are flipped to the host's bottom-up order by the image library, and reads outside the data
// box repeat its edge pixels. The metadata also holds "input/bitdepth", the bits per sample of
// the file (8, 10, 12, 16; 16 for half and 32 for float), which a Write keeps by default. A
// missing file, a missing view and a bad frame range are the node's error, naming the file or
// the knob and what to do.
//
// Reading ahead. Inside an execution over frames (a render or an analysis), reading a frame
// starts reading, on threads of their own, the files of the other views of the same frame and
// of every view of the frame the execution runs next (Kestrel/IO/ImageReader.h), so the
// views decode side by side and the next frame decodes while this one renders. A file that
// holds no views of its own (anything but OpenEXR) is the same image in every view, so it is
// read ahead once, not once per view.
//
// Decoding once. A file is decoded once for all the Read ops that read it while they hold it:
// a validation repeated for real, and the views of a file without views, share the decoded
// image. Nothing keeps it beyond the ops, so it goes with the frame that read it. The engine
// reads the decoded image where it lies (passArea): it is not copied into a kept area.
#include "nodes/FrameNotices.h"

#include <Kestrel/IO/FramesOnDisk.h>
#include <Kestrel/IO/IOError.h>
#include <Kestrel/IO/ImageReader.h>
#include <Kx/Image/Executable.h>
#include <Kx/Image/Hash.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Row.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

const char* const kMissingChoices[] = {"error", "black", "hold", nullptr};
enum Missing { Error, Black, Hold };

constexpr const char* kFillHint =
    "set missing_frames to black or hold (kestrel: --missing-frames black|hold) to fill frames "
    "without a file";

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// Decoded files, by path, view read (empty for a file without views), time and size on disk:
// held by the Read ops only, looked up here while one of them still holds it.
struct DecodedFiles {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<const IO::ImageData>> files;
};

DecodedFiles& decodedFiles() {
    static DecodedFiles d;
    return d;
}

// The key of a file as it is on disk now (empty when it cannot be looked at).
std::string decodedKey(const std::string& path, const std::string& view) {
    std::error_code ec;
    const auto time = std::filesystem::last_write_time(path, ec);
    if (ec) return {};
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return {};
    return path + '\n' + view + '\n' + std::to_string(time.time_since_epoch().count()) + '\n' +
           std::to_string(size);
}

// A black image with the views, formats, channels and metadata of `like`.
IO::ImageData blackLike(const IO::ImageData& like) {
    IO::ImageData black;
    black.metadata = like.metadata;
    black.bitDepth = like.bitDepth;
    for (size_t i = 0; i < like.viewCount(); ++i)
        black.addView(like.viewName(i),
                      IO::ViewPixels(like.view(i).format(), Box(), like.view(i).channels()));
    return black;
}

class Read : public Iop {
public:
    static constexpr const char* kClass = "Read";
    static constexpr const char* kFile = "file";
    static constexpr const char* kFirst = "first";
    static constexpr const char* kLast = "last";
    static constexpr const char* kMissingFrames = "missing_frames";

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
        intKnob(f, &_first, kFirst, "first frame", 1, std::nullopt,
                "first frame of the sequence; left at 1, the first frame on disk");
        intKnob(f, &_last, kLast, "last frame", 1, std::nullopt,
                "last frame of the sequence; left at 1, the last frame on disk");
        enumKnob(f, &_missing, kMissingFrames, kMissingChoices, "missing frames", Error,
                 "a frame outside first-last or without its file: an error, black, or the "
                 "nearest earlier frame held");
    }

    std::string viewName() const {
        return OutputContext::viewcount() > 2 ? OutputContext::viewname(view()) : "";
    }

    void append(Hash& h) override {
        h.append(_file);
        h.append(viewName());
        h.append(_sourceFrame);
        h.append(_black);
        // A file rewritten on disk is read again.
        std::error_code ec;
        const auto stamp = std::filesystem::last_write_time(_sourcePath, ec);
        if (!ec) h.append(double(stamp.time_since_epoch().count()));
    }

    void _validate(bool) override {
        clear_info();
        // The image read before stays held until this validation is done, so that reading the
        // same file again takes it rather than decoding it anew.
        const std::shared_ptr<const IO::ImageData> before = std::move(_image);
        _sourcePath.clear();
        _sourceFrame = 0;
        _black = false;
        if (_file.empty()) {
            error("%s: no file name: set its file knob", node_name().c_str());
            return;
        }
        try {
            const IO::PathPattern pattern(_file);
            if (!chooseFrame(pattern)) return;
            const std::string view = fileView(pattern);
            readAhead(pattern, view);
            std::shared_ptr<const IO::ImageData> image = decode(pattern, view);
            if (image->viewCount() == 0) {
                error("%s: %s holds no image", node_name().c_str(), _sourcePath.c_str());
                return;
            }
            if (_black) image = std::make_shared<const IO::ImageData>(blackLike(*image));
            const IO::ViewPixels& px = image->view(0);
            info().format = px.format();
            info().full_size_format = px.format();
            info().box = _black ? Box(0, 0, px.format().width(), px.format().height()) : px.box();
            info().channels = px.channels();
            info().first_frame = _range.first;
            info().last_frame = _range.second;
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

    // The decoded file is the output: the engine reads it where it lies.
    std::shared_ptr<const Plane> passArea(const Box& area, const ChannelSet& channels) override {
        if (!_image || _black) return nullptr;
        const IO::ViewPixels& px = _image->view(0);
        auto whole = std::make_shared<Plane>();
        whole->box = px.box();
        whole->channels = px.channels();
        whole->stride = px.stride();
        whole->index.assign(size_t(kMaxChannels) + 1, -1);
        for (Channel z : px.channels()) {
            whole->index[size_t(z)] = int(whole->data.size());
            whole->data.push_back({px.memory(z)});
        }
        return Plane::window(whole, area, channels, channels - px.channels());
    }

    void _fetchMetaData(const char*) override {
        _meta.clear();
        if (!_image) return;
        _meta = _image->metadata;
        if (_image->bitDepth > 0) _meta.setData("input/bitdepth", _image->bitDepth);
    }

private:
    bool knobSet(const char* name) const {
        const Knob* k = knob(name);
        return k && k->not_default();
    }

    // The view to read of the file: this op's view, or none when the file holds no views
    // of its own and the path does not name the view.
    std::string fileView(const IO::PathPattern& pattern) const {
        if (pattern.hasView() || IO::fileHoldsViews(_sourcePath)) return viewName();
        return {};
    }

    // Whether a Read op holds the decoded view of the file.
    static bool decoded(const std::string& path, const std::string& view) {
        const std::string key = decodedKey(path, view);
        DecodedFiles& d = decodedFiles();
        std::lock_guard lock(d.mutex);
        const auto it = d.files.find(key);
        return !key.empty() && it != d.files.end() && !it->second.expired();
    }

    // The image of the chosen frame in the given view of the file, decoded here or shared
    // with another Read op that holds it.
    std::shared_ptr<const IO::ImageData> decode(const IO::PathPattern& pattern,
                                                const std::string& view) {
        const std::string key = decodedKey(_sourcePath, view);
        DecodedFiles& decoded = decodedFiles();
        if (!key.empty()) {
            std::lock_guard lock(decoded.mutex);
            std::erase_if(decoded.files, [](const auto& f) { return f.second.expired(); });
            if (auto it = decoded.files.find(key); it != decoded.files.end())
                if (auto held = it->second.lock()) return held;
        }
        auto image =
            std::make_shared<const IO::ImageData>(IO::readFrame(pattern, _sourceFrame, view));
        if (!key.empty()) {
            std::lock_guard lock(decoded.mutex);
            decoded.files[key] = image;
        }
        return image;
    }

    // Starts reading the other views of this frame and the views of the next frame of the
    // execution, when there is one; `own` is the view this op reads of the file.
    void readAhead(const IO::PathPattern& pattern, const std::string& own) {
        const std::optional<double> next = executeNextFrame();
        if (!next || !pattern.hasFrame()) return;
        const int nextFrame = int(std::lround(*next));
        std::vector<std::string> views;
        if (OutputContext::viewcount() > 2 && !own.empty())
            for (int v = 1; v < OutputContext::viewcount(); ++v)
                views.push_back(OutputContext::viewname(v));
        else
            views.push_back(own);
        for (const std::string& v : views)
            if (v != own && !decoded(pattern.expand(_sourceFrame, v), v))
                IO::readFrameAhead(pattern, _sourceFrame, v);
        if (nextFrame >= _range.first && nextFrame <= _range.second)
            for (const std::string& v : views) IO::readFrameAhead(pattern, nextFrame, v);
    }

    // Sets the frame range and the frame to read (_sourceFrame, _sourcePath, _black) for the
    // frame asked; false when the frame is an error, which it reports.
    bool chooseFrame(const IO::PathPattern& pattern) {
        const std::string view = viewName();
        const int wanted = int(std::lround(frame()));
        const std::string path = pattern.expand(wanted, view);
        _range = {_first, _last};
        std::vector<int> onDisk;
        if (pattern.hasFrame() && !(knobSet(kFirst) && knobSet(kLast))) {
            try {
                onDisk = IO::framesOnDisk(pattern);
            } catch (const IO::IOError& e) {
                error("%s: frame %d: %s does not exist: %s", node_name().c_str(), wanted,
                      path.c_str(), e.what());
                return false;
            }
            if (!knobSet(kFirst)) _range.first = onDisk.front();
            if (!knobSet(kLast)) _range.second = onDisk.back();
        }
        if (_range.first > _range.second) {
            error("%s: the frame range %d-%d ends before it starts: set the first knob to at "
                  "most the last",
                  node_name().c_str(), _range.first, _range.second);
            return false;
        }
        _sourceFrame = wanted;
        _sourcePath = path;
        const bool inRange = wanted >= _range.first && wanted <= _range.second;
        if (!pattern.hasFrame() || (inRange && fileExists(path))) return true;

        if (_missing < Error || _missing > Hold) {
            error("%s: its missing_frames knob holds %d, which is not one of its choices: set it "
                  "to error, black or hold",
                  node_name().c_str(), _missing);
            return false;
        }
        if (_missing == Error) {
            if (!inRange)
                error("%s: frame %d is outside the frames %d-%d of %s, so %s is not read; render "
                      "frames %d-%d, or %s",
                      node_name().c_str(), wanted, _range.first, _range.second, _file.c_str(),
                      path.c_str(), _range.first, _range.second, kFillHint);
            else
                error("%s: frame %d is missing: %s does not exist; render it, or %s",
                      node_name().c_str(), wanted, path.c_str(), kFillHint);
            return false;
        }
        // The frames of this view within the range that have their file.
        if (onDisk.empty()) {
            try {
                onDisk = IO::framesOnDisk(pattern);
            } catch (const IO::IOError&) {
                // No frame at all: reported below.
            }
        }
        std::vector<int> present;
        for (int f : onDisk)
            if (f >= _range.first && f <= _range.second && fileExists(pattern.expand(f, view)))
                present.push_back(f);
        if (present.empty()) {
            error("%s: frame %d is missing (%s) and no frame of %s within %d-%d is on disk to "
                  "stand in for it; check the path and the first and last knobs",
                  node_name().c_str(), wanted, path.c_str(), _file.c_str(), _range.first,
                  _range.second);
            return false;
        }
        const auto later = std::upper_bound(present.begin(), present.end(), wanted);
        const bool earlier = later != present.begin();
        if (_missing == Hold || !earlier || later == present.end())
            _sourceFrame = earlier ? *(later - 1) : *later;
        else
            _sourceFrame =
                int64_t(wanted) - *(later - 1) <= int64_t(*later) - wanted ? *(later - 1) : *later;
        _black = _missing == Black;
        _sourcePath = pattern.expand(_sourceFrame, view);
        addFrameNotice({node_name(), path, wanted,
                        _black ? "black" : "held frame " + std::to_string(_sourceFrame)});
        return true;
    }

    std::string _file;
    int _first = 1, _last = 1, _missing = Error;
    std::pair<int, int> _range{1, 1};
    // What the frame asked for reads: the file, its frame, and whether only its format is used.
    std::string _sourcePath;
    int _sourceFrame = 0;
    bool _black = false;
    std::shared_ptr<const IO::ImageData> _image;
};

Op* build(Node* node) {
    return new Read(node);
}
const Op::Description description(Read::kClass, build);

} // namespace
} // namespace Kestrel::Nodes
