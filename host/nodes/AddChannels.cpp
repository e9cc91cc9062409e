// AddChannels: its input unchanged, with further channels added to the stream, all zero.
//
// Some nodes write only into channels that reach them: the aligner writes its STMap into
// "stitch_map.u" and "stitch_map.v" when the stream carries them. This node puts them there.
// The knob names the channels, separated by blanks ("stitch_map.u stitch_map.v"); a name the
// host does not know yet becomes a new channel. Channels the input already has pass through,
// and the input's kept area is read as it is rather than copied.
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Row.h>

#include <algorithm>
#include <sstream>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

class AddChannels : public Iop {
public:
    static constexpr const char* kClass = "AddChannels";

    explicit AddChannels(Node* node) : Iop(node) {}
    const char* Class() const override { return kClass; }
    const char* node_help() const override {
        return "Adds channels, all zero, to its input; channels the input has pass through.";
    }
    void knobs(Knob_Closure& f) override {
        stringKnob(f, &_names, "channels", "channels", {},
                   "Channels to add, separated by blanks, such as \"stitch_map.u stitch_map.v\"");
    }
    void append(Hash& h) override { h.append(_names); }

    void _validate(bool for_real) override {
        Iop::_validate(for_real);
        _added = ChannelSet();
        std::istringstream words(_names);
        for (std::string word; words >> word;) _added.insert(getChannel(word));
        _added -= info().channels;
        info().channels += _added;
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        const ChannelSet zero = channels & _added;
        for (Channel z : zero) std::fill(row.writable(z) + x, row.writable(z) + r, 0.0f);
        if (Iop* in = input_iop(0)) in->get(y, x, r, channels - zero, row);
    }

    // The input's kept area is passed on, the added channels reading as zero.
    std::shared_ptr<const Plane> passArea(const Box& area, const ChannelSet& channels) override {
        return passInput(input_iop(0), area, channels, channels & _added);
    }

private:
    std::string _names;
    ChannelSet _added;
};

Op* build(Node* node) {
    return new AddChannels(node);
}
const Op::Description description(AddChannels::kClass, build);

} // namespace

} // namespace Kestrel::Nodes
