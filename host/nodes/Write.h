// Write: renders its input and writes it to image files, one frame per execution.
//
// Knobs: file (a path pattern, Kestrel/IO/PathPattern.h: #### or %04d for the frame, %V or %v
// for the view), channels ("all", or names of layers and channels: "rgba disparityL
// stitch_map.u"), the OpenEXR layout (one part with view-prefixed channels, or one part per
// view) and sample type, the bit depth of integer formats, and views (empty: every view of
// the script).
//
// At each frame the node renders every chosen view of its input over the input's data box and
// writes them in one go: one file holding every view, or one file per view when the pattern
// names the view. The input's metadata is written with the image (as OpenEXR attributes).
// A file is written beside its name and renamed only when complete, so a failed or
// interrupted frame leaves no partial file. Failures (no input, no file name, a channel the
// input lacks, a folder that cannot be written) are the node's error, naming the node, the
// knob or the file and what to do.
#pragma once

#include <Kx/Image/Executable.h>
#include <Kx/Image/Iop.h>

#include <set>
#include <string>
#include <vector>

namespace Kestrel::Nodes {

class Write : public Kx::Image::Iop, public Kx::Image::Executable {
public:
    static constexpr const char* kClass = "Write";
    static constexpr const char* kFile = "file";
    static constexpr const char* kChannels = "channels";
    static constexpr const char* kLayout = "exr_layout";
    static constexpr const char* kDataType = "datatype";
    static constexpr const char* kBitDepth = "bit_depth";
    static constexpr const char* kViews = "views";

    explicit Write(Kx::Image::Node* node);
    const char* Class() const override { return kClass; }
    const char* node_help() const override;
    void knobs(Kx::Image::Knob_Closure& f) override;
    void _validate(bool for_real) override;
    void engine(int y, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) override;

    Kx::Image::Executable* executable() override { return this; }
    void execute() override;
    bool isWrite() const override { return true; }
    std::string filename() const override { return _file; }

    // Views (host numbers) that a render asks for, overriding the views knob; empty clears it.
    void setViewsToRender(std::set<int> views) { _renderViews = std::move(views); }

private:
    std::vector<int> chosenViews();
    bool chosenChannels(const Kx::Image::Iop& in, Kx::Image::ChannelSet& out);

    std::string _file, _channels = "all", _views;
    int _layout = 0, _dataType = 0, _bitDepth = 0;
    std::set<int> _renderViews;
};

} // namespace Kestrel::Nodes
