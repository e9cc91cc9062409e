#include "DisparityStage.h"

#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>

#include <memory>
#include <sstream>
#include <stdexcept>

using namespace Kx::Image;

namespace Kestrel {

namespace {

constexpr const char* kGenerator = "Q_DisparityGenerator";

Iop& plateImage(Node& plate, int view, double frame) {
    Iop* op = plate.iop(OutputContext(frame, view));
    if (!op) throw std::runtime_error(plate.name() + " makes no image");
    op->validate(true);
    if (op->hasError()) throw std::runtime_error(plate.name() + ": " + op->errorMessage());
    return *op;
}

} // namespace

Node* addDisparityStage(Graph& graph, Node* plate, const AlignOptions& o, int leftView,
                        int rightView, double frame) {
    const Iop& left = plateImage(*plate, leftView, frame);
    if (o.fixPoint) {
        const auto [x, y] = *o.fixPoint;
        const int w = left.format().width(), h = left.format().height();
        if (!(x >= 0 && x <= w && y >= 0 && y <= h)) {
            std::ostringstream m;
            m << "--fix-point " << x << "," << y << " lies outside the " << w << " x " << h
              << " frame: give x from 0 to " << w << " and y from 0 to " << h
              << " (pixels, y upward from the bottom row)";
            throw std::runtime_error(m.str());
        }
    }
    const bool hasDisparity =
        left.channels().contains(Chan_DisparityL_X) && left.channels().contains(Chan_DisparityR_X);
    if (!o.local && (hasDisparity || !(o.disparity || o.fixPoint))) return plate;
    if (!Op::Description::find(kGenerator))
        throw std::runtime_error(std::string("the plug-in ") + kGenerator +
                                 " is not loaded: put Q_DisparityGenerator.so in the plug-in "
                                 "folder beside kestrel, or name it with --plugin-path");
    Node* generator = graph.add(std::make_unique<Node>(kGenerator, "DisparityGenerator1"));
    generator->setInput(0, plate);
    generator->knob("leftView")->setValue(leftView);
    generator->knob("rightView")->setValue(rightView);
    return generator;
}

} // namespace Kestrel
