// Write: renders its input and writes it to image files, one frame per execution.
//
// Knobs:
//   file         a path pattern (Kestrel/IO/PathPattern.h): #### or %04d for the frame, %V or %v
//                for the view;
//   channels     "all", or names of layers and channels: "rgba disparityL stitch_map.u";
//   exr_layout   OpenEXR: one part with view-prefixed channels, or one part per view;
//   datatype     OpenEXR sample type of colour (rgba): 16 bit half (default) or 32 bit float.
//                Every other channel (depth, motion, disparity, the STMap, any named layer) is
//                always 32 bit float, as half would move positions by up to a pixel;
//   bit_depth    PNG, TIFF and DPX: auto (default) keeps the input's depth, which a Read
//                publishes as the metadata "input/bitdepth": the smallest depth the file type
//                holds at or above it (8 or 16 in PNG and TIFF; 8, 10, 12 or 16 in DPX), 8 when
//                the input does not say. 8 bit, 16 bit and 10 bit (DPX only) force a depth.
//                Scripts store the item's number, so the items keep the numbers they had
//                before auto and 10 bit were added (8 bit 0, 16 bit 1);
//   compression  default (zip in OpenEXR and TIFF), or a name: none, rle, zips, zip, piz,
//                pxr24, b44, b44a, dwaa, dwab for OpenEXR, none, lzw, zip for TIFF; other names,
//                and any name for PNG, JPEG and DPX, are the node's error;
//   overscan     off (default): the file holds exactly the format, black where the input's
//                data box does not reach and nothing outside the format; on (OpenEXR only):
//                the OpenEXR data window is the input's data box, outside the format included;
//   views        empty: every view of the script.
//
// At each frame the node renders every chosen view of its input over the input's data box
// (within the format unless overscan is on) and writes them in one go: one file holding every
// view, or one file per view when the pattern names the view. The input's metadata is written
// with the image (as OpenEXR attributes). A file is written beside its name and renamed only
// when complete, so a failed or interrupted frame leaves no partial file. Failures (no input,
// no file name, a channel the input lacks, an option the file type does not take, a folder that
// cannot be written) are the node's error, naming the node, the knob or the file and what to do.
//
// Writing behind. Inside an execution over frames (beginExecuting to endExecuting) a frame's
// files are written on a thread of their own while the next frame renders; the node waits
// for that write before it hands over the next frame, so at most one frame is held for
// writing, and endExecuting waits for the last. A frame counts as done once its files are
// written (framesInFlight), so an interrupted run leaves every frame it counted on disk.
// A write that fails is the node's error at the next frame, or at the end of the execution,
// and its message names the file; outside an execution the node writes before it returns.
#pragma once

#include <Kx/Image/Executable.h>
#include <Kx/Image/Iop.h>

#include <future>
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
    static constexpr const char* kCompression = "compression";
    static constexpr const char* kOverscan = "overscan";
    static constexpr const char* kViews = "views";

    explicit Write(Kx::Image::Node* node);
    const char* Class() const override { return kClass; }
    const char* node_help() const override;
    void knobs(Kx::Image::Knob_Closure& f) override;
    void _validate(bool for_real) override;
    void engine(int y, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) override;

    Kx::Image::Executable* executable() override { return this; }
    void beginExecuting() override;
    void execute() override;
    void endExecuting() override;
    int framesInFlight() const override { return _writing.valid() ? 1 : 0; }
    bool isWrite() const override { return true; }
    std::string filename() const override { return _file; }

    // Views (host numbers) that a render asks for, overriding the views knob; empty clears it.
    void setViewsToRender(std::set<int> views) { _renderViews = std::move(views); }

private:
    std::vector<int> chosenViews();
    bool chosenChannels(const Kx::Image::Iop& in, Kx::Image::ChannelSet& out);
    // Waits for the write under way, if any; its failure's message, empty when it succeeded.
    std::string finishWriting();

    std::string _file, _channels = "all", _views;
    int _layout = 0, _dataType = 0, _bitDepth = 0, _compression = 0;
    bool _overscan = false;
    std::set<int> _renderViews;
    bool _writeBehind = false;
    std::future<void> _writing;
};

} // namespace Kestrel::Nodes
