// Create Camera and Create Rig on a real analysis: the aligner analysed through a data
// provider that knows the cameras of the aligned views, registered for the node in the stereo
// library as any part of a pipeline may, then the two buttons pressed as a user would. The
// cameras the scripts build carry, at every analysis key, the cameras the provider gave.
#include "AlignerStage.h"
#include "mwVerticalAlignerDataProvider.h"

#include "Kestrel/Python/Interpreter.h"
#include "Kestrel/Python/Session.h"
#include "Kx/Image/Matrix.h"
#include "VireonShared/CameraProjection.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kx::Image;
using namespace Marrow::Research;
using Kestrel::Python::Session;

namespace {

constexpr int kW = 320, kH = 180;
constexpr double kSensorWidth = 36, kSensorHeight = 36.0 * kH / kW; // square pixels
constexpr int kLeft = 1, kRight = 2;

// The camera of a view at a frame: both move and turn with the frame, each its own way.
struct Camera {
    Eigen::Vector3d position, rotation; // rotation: Euler angles, degrees
    double focal;                       // millimetres
};
Camera cameraOf(int view, double frame) {
    const double side = view == kLeft ? -1 : 1;
    return {{0.03 * side, 0.01 * frame, 2.0}, {1 + 0.1 * frame, 2 * side, 0.5 * frame}, 30 + frame};
}

// The node's provider, but with the camera projections of the aligned views at the node's
// current frame. Built after the node, it replaces the node's own in the stereo library.
class CameraProvider : public VerticalAlignerDataProvider {
public:
    explicit CameraProvider(VerticalAlignerPlugin* node)
        : VerticalAlignerDataProvider(node), _node(node) {}
    bool cameraProjections(Marrow::Vireon::Matrix34d& left, Marrow::Vireon::Matrix34d& right,
                           double& sensorWidth, double& sensorHeight) override {
        const double f = _node->outputContext().frame();
        sensorWidth = kSensorWidth;
        sensorHeight = kSensorHeight;
        return project(cameraOf(kLeft, f), left) && project(cameraOf(kRight, f), right);
    }

private:
    static bool project(const Camera& c, Marrow::Vireon::Matrix34d& out) {
        constexpr double kRadians = M_PI / 180;
        Matrix4 toWorld;
        toWorld.translate(float(c.position.x()), float(c.position.y()), float(c.position.z()));
        toWorld.rotateY(float(c.rotation.y() * kRadians));
        toWorld.rotateX(float(c.rotation.x() * kRadians));
        toWorld.rotateZ(float(c.rotation.z() * kRadians));
        Matrix4 lens;
        lens.projection(float(c.focal / kSensorWidth), 0.1f, 1000.0f);
        return Marrow::Vireon::BuildProjection(out, toWorld.inverse(), lens, Format(kW, kH));
    }
    VerticalAlignerPlugin* _node;
};

class CreationScriptsOnAnAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        Kestrel::Python::startInterpreter();
        Session& s = Session::current();
        s.clear();
        OutputContext::setViews({"left", "right"});
        Node* source = s.createNode("SyntheticStereo", "Source");
        source->knob("width")->setValue(kW);
        source->knob("height")->setValue(kH);
        source->knob("lastFrame")->setValue(11);
        aligner = s.createNode("Q_VerticalAligner2_1", "V_VerticalAligner1");
        ASSERT_TRUE(aligner->setInput(0, source));
        // The plate's views are "left" and "right", no rig cameras: the stereo layout.
        aligner->knob("layoutType")->setValue(VerticalAlignerKnobManager::StereoLayout);
        for (double key : {1.0, 11.0}) aligner->knob("analysisKeyframe")->setValueAt(key, key);
        provider = std::make_unique<CameraProvider>(&AlignerTest::plugin(*aligner));
        s.press(*aligner->knob("analyse"));
    }
    void TearDown() override {
        provider.reset();
        Session::current().clear();
    }

    Node* aligner = nullptr;
    std::unique_ptr<CameraProvider> provider;
};

// The values are single-precision projections split again into cameras: a thousandth of a
// unit, degree or millimetre is far inside what a wrong view, frame or component would give.
constexpr double kTolerance = 1e-3;

void expectCamera(Node& camera, int cameraView, int alignerView, double frame) {
    SCOPED_TRACE(camera.name() + " at frame " + std::to_string(int(frame)));
    const Camera c = cameraOf(alignerView, frame);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(camera.knob("translate")->value(i, cameraView, frame), c.position[i],
                    kTolerance)
            << "translate[" << i << "]";
        EXPECT_NEAR(camera.knob("rotate")->value(i, cameraView, frame), c.rotation[i], kTolerance)
            << "rotate[" << i << "]";
    }
    EXPECT_NEAR(camera.knob("focal")->value(0, cameraView, frame), c.focal, kTolerance);
    EXPECT_NEAR(camera.knob("haperture")->value(0, cameraView, frame), kSensorWidth, kTolerance);
    EXPECT_NEAR(camera.knob("vaperture")->value(0, cameraView, frame), kSensorHeight, kTolerance);
}

} // namespace

TEST_F(CreationScriptsOnAnAnalysis, AnalysisWritesTheProvidersCamerasAtTheKeys) {
    EXPECT_EQ(aligner->knob("analysed")->value(), 1);
    EXPECT_EQ(aligner->knob("analysedWithCamera")->value(), 1);
    for (int view : {kLeft, kRight})
        for (double key : {1.0, 11.0}) {
            SCOPED_TRACE("view " + std::to_string(view) + " key " + std::to_string(int(key)));
            const Camera c = cameraOf(view, key);
            EXPECT_NEAR(aligner->knob("focalLength")->value(0, view, key), c.focal, kTolerance);
            EXPECT_NEAR(aligner->knob("translate")->value(1, view, key), c.position.y(),
                        kTolerance);
            EXPECT_NEAR(aligner->knob("rotate")->value(2, view, key), c.rotation.z(), kTolerance);
            EXPECT_TRUE(aligner->knob("focalLength")->isKeyAt(key, 0, view));
        }
    // Between the keys the outputs are the host's interpolation, not keys of their own.
    EXPECT_FALSE(aligner->knob("focalLength")->isKeyAt(6, 0, kLeft));
}

TEST_F(CreationScriptsOnAnAnalysis, CreateCameraSplitsOneCameraPerView) {
    Session& s = Session::current();
    s.press(*aligner->knob("createCamera"));
    Node& camera = s.node("Camera1");
    for (int view : {kLeft, kRight})
        for (double key : {1.0, 11.0}) expectCamera(camera, view, view, key);
}

TEST_F(CreationScriptsOnAnAnalysis, CreateRigJoinsTheLeftAndRightCameras) {
    Session& s = Session::current();
    s.press(*aligner->knob("createRig"));
    Node& join = s.node("JoinViews1");
    Node& left = s.node("left");
    Node& right = s.node("right");
    EXPECT_EQ(join.input(0), &left);
    EXPECT_EQ(join.input(1), &right);
    for (double key : {1.0, 11.0}) {
        expectCamera(left, 0, kLeft, key);
        expectCamera(right, 0, kRight, key);
    }
}
