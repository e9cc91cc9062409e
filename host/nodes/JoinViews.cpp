// JoinViews: one input per host view; the output at view v is input v - 1 at view v.
//
// The inputs follow the host's views in order (input 0 is view 1, "left" in a stereo
// script). An input may also be a Camera, which makes the node a camera rig: each view's
// camera is its input of that view. An image output comes only from image inputs; a view
// whose input is missing or is a camera is empty (black, no channels). The input's kept area
// is passed on, not copied.
#include <Kx/Image/Iop.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>

#include <algorithm>
#include <cstdio>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

class JoinViews : public Iop {
public:
    static constexpr const char* kClass = "JoinViews";

    explicit JoinViews(Node* node) : Iop(node) {}
    const char* Class() const override { return kClass; }
    const char* node_help() const override {
        return "Joins one input per view (in the order of the script's views) into one "
               "multi-view stream, or one camera per view into a camera rig.";
    }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return std::max(2, OutputContext::viewcount() - 1); }
    bool test_input(int, Op*) const override { return true; }
    const char* input_label(int n, char* buffer) const override {
        const int view = n + 1;
        std::snprintf(buffer, 64, "%s",
                      view < OutputContext::viewcount() ? OutputContext::viewname(view) : "");
        return buffer;
    }

    // The input serving the current view, when it makes images.
    Iop* source() const {
        const int n = view() - 1;
        return n >= 0 && n < inputs() ? input_iop(n) : nullptr;
    }

    void _validate(bool) override {
        if (Iop* in = source()) {
            in->validate(true);
            copy_info(view() - 1);
        } else {
            clear_info();
        }
    }
    void _request(int x, int y, int r, int t, ChannelSet channels, int count) override {
        if (Iop* in = source()) in->request(x, y, r, t, channels, count);
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        if (Iop* in = source())
            row.get(*in, y, x, r, channels);
        else
            row.erase(channels);
    }
    // The view's input passes its kept area on unchanged.
    std::shared_ptr<const Plane> passArea(const Box& area, const ChannelSet& channels) override {
        return passInput(source(), area, channels);
    }
    void _fetchMetaData(const char* key) override {
        _meta.clear();
        if (Iop* in = source()) _meta = in->fetchMetaData(key);
    }
};

Op* build(Node* node) {
    return new JoinViews(node);
}
const Op::Description description(JoinViews::kClass, build);

} // namespace
} // namespace Kestrel::Nodes
