// The kestrel Python module: graphs built and rendered from Python, the node's own button
// scripts run against the module, tracebacks, and undoing a failed run.
#include "HostTest.h"

#include "Kestrel/Python/Interpreter.h"
#include "mwButtonScripts.h"

#include <Kestrel/IO/ImageReader.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Question.h>
#include <Kx/Image/Row.h>

#include <gmock/gmock.h>

#include <unistd.h>

using namespace Kx::Image;
using namespace Kestrel::Python;
using namespace Kestrel::Python::Test;
namespace IO = Kestrel::IO;
using ::testing::HasSubstr;

namespace {

// Stands in for an analysed aligner: the output knobs the camera and rig scripts read, and
// the scripts on buttons of the same names.
class AnalysedStub : public Iop {
public:
    explicit AnalysedStub(Node* node) : Iop(node) {}
    const char* Class() const override { return "AnalysedStub"; }
    void knobs(Knob_Closure& f) override {
        viewKnob(f, &left, "leftView", "left");
        viewKnob(f, &right, "rightView", "right");
        floatKnob(f, &focal, "focalLength", "focal", 35);
        xyKnob(f, aperture, "aperture", "aperture");
        xyzKnob(f, translate, "translate", "translate");
        xyzKnob(f, rotate, "rotate", "rotate");
        xyKnob(f, winTranslate, "windowTranslate", "window translate");
        xyKnob(f, winScale, "windowScale", "window scale", {1, 1});
        floatKnob(f, &skew, "skew", "skew", 0);
        if (Knob* k = intKnob(f, &steps, "steps", "steps", 1, Range{1, 10}))
            k->set_flag(KnobFlag::Clamp);
        scriptButton(f, "createCamera", "Create Camera",
                     Marrow::Research::ButtonScripts::kCreateCamera);
        scriptButton(f, "createRig", "Create Rig", Marrow::Research::ButtonScripts::kCreateRig);
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        row.get(*input_iop(0), y, x, r, channels);
    }

    int left = 1, right = 2;
    float focal = 35, aperture[2] = {0, 0}, translate[3] = {}, rotate[3] = {};
    float winTranslate[2] = {}, winScale[2] = {1, 1}, skew = 0;
    int steps = 1;
};

const Op::Description stubDescription("AnalysedStub",
                                      [](Node* n) -> Op* { return new AnalysedStub(n); });

class PythonModule : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        startInterpreter();
    }
    // A coded RGBA image w x h on disk.
    std::string plate(int w, int h) {
        IO::ImageData image;
        image.addView("", codedView(w, h, Mask_RGBA, 0));
        std::string p = path("plate.exr");
        IO::writeImage(p, image);
        return p;
    }
};

TEST_F(PythonModule, BuildsReadCornerPinWriteRendersAndReadsPixels) {
    const std::string out = path("pinned.exr");
    runCode("src, out = '" + plate(16, 12) + "', '" + out + R"PY('
read = kestrel.createNode('Read')
read['file'].setValue(src)
pin = kestrel.nodes.CornerPin2D()
pin.setInput(0, read)
pin['filter'].setValue('Impulse')
for i, (x, y) in enumerate([(0, 0), (16, 0), (16, 12), (0, 12)]):
    pin['from%d' % (i + 1)].setValue(x, 0)
    pin['from%d' % (i + 1)].setValue(y, 1)
    pin['to%d' % (i + 1)].setValue(x + 3, 0)
    pin['to%d' % (i + 1)].setValue(y + 2, 1)
# Rows count from the bottom: the source's pixel (0, 0) is now at column 3 of row 2.
red = kestrel.pixels(pin, channels=['rgba.red'])
assert red.shape == (1, 12, 16), red.shape
assert red[0, 2, 3] == 1.0 and red[0, 0, 0] == 0.0, (red[0, 2, 3], red[0, 0, 0])
assert kestrel.channels(pin) == ['rgba.red', 'rgba.green', 'rgba.blue', 'rgba.alpha']
write = kestrel.nodes.Write()
write.setInput(0, pin)
write['file'].setValue(out)
write['datatype'].setValue(1)
kestrel.render(write, '1')
)PY",
            "pin.py");
    IO::ImageData written = IO::readImage(out);
    const IO::ViewPixels& px = written.view(0);
    // An integer shift with the impulse filter moves pixels exactly; what came from outside
    // the source is black.
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            for (int c = 0; c < 4; ++c) {
                const float expected = x >= 3 && y >= 2 ? coded(x - 3, y - 2, c, 0) : 0.0f;
                ASSERT_EQ(px.at(Chan_Red + c, x, y), expected) << x << "," << y << " c" << c;
            }
}

// The same animation: animated alike with equal keys (the constant of an animated curve is
// not used), or the same constant.
::testing::AssertionResult sameAnimation(const Curve& a, const Curve& b) {
    if (a.animated != b.animated) return ::testing::AssertionFailure() << "animated differs";
    if (a.animated ? a.keys == b.keys : a.constant == b.constant)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "keys or constant differ";
}

// An analysed node: per-view animation on the outputs the creation scripts copy.
Node& analysedNode(const std::string& platePath) {
    Session& s = Session::current();
    OutputContext::setViews({"left", "right"});
    Node* read = s.createNode("Read");
    read->knob("file")->setText(platePath);
    Node* n = s.createNode("AnalysedStub", "V_VerticalAligner1");
    n->setInput(0, read);
    for (const char* k : {"focalLength", "aperture", "translate", "rotate", "windowTranslate",
                          "windowScale", "skew"}) {
        Knob* knob = n->knob(k);
        for (int v : {1, 2}) {
            knob->split(v);
            for (int c = 0; c < knob->components(); ++c) {
                knob->setValueAt(10.0 * v + c, 1, c, v);
                knob->setValueAt(20.0 * v + c + 0.5, 10, c, v, Interpolation::Linear);
            }
        }
    }
    // The apertures are copied as constants at the current frame.
    Knob* aperture = n->knob("aperture");
    aperture->clearAnimation();
    for (int v : {1, 2})
        for (int c : {0, 1}) aperture->setValue((c ? 25 : 37) - v, c, v); // 36 x 24, 35 x 23
    return *n;
}

TEST_F(PythonModule, CreateCameraCopiesEachViewsAnimationIntoSplitKnobs) {
    Session& s = Session::current();
    Node& aligner = analysedNode(plate(64, 48));
    s.press(*aligner.knob("createCamera"));
    Node& camera = s.node("Camera1");
    for (int v : {1, 2}) {
        for (auto [target, source, components] : {std::tuple{"focal", "focalLength", 1},
                                                  {"translate", "translate", 3},
                                                  {"rotate", "rotate", 3},
                                                  {"win_translate", "windowTranslate", 2},
                                                  {"win_scale", "windowScale", 2},
                                                  {"skew", "skew", 1}}) {
            Knob* k = camera.knob(target);
            ASSERT_TRUE(k->isSplit(v)) << target << " view " << v;
            for (int c = 0; c < components; ++c)
                EXPECT_TRUE(sameAnimation(k->curve(c, v), aligner.knob(source)->curve(c, v)))
                    << target << "[" << c << "] view " << v;
        }
        EXPECT_FALSE(camera.knob("haperture")->isAnimated(0, v));
        EXPECT_EQ(camera.knob("haperture")->value(0, v), 37 - v);
        EXPECT_EQ(camera.knob("vaperture")->value(0, v), 25 - v);
    }
}

TEST_F(PythonModule, CreateRigJoinsOneUnsplitCameraPerView) {
    Session& s = Session::current();
    Node& aligner = analysedNode(plate(64, 48));
    s.press(*aligner.knob("createRig"));
    Node& join = s.node("JoinViews1");
    Node& left = s.node("left");
    Node& right = s.node("right");
    EXPECT_EQ(join.input(0), &left);
    EXPECT_EQ(join.input(1), &right);
    for (auto [camera, view] : {std::pair{&left, 1}, {&right, 2}}) {
        EXPECT_TRUE(camera->knob("translate")->splitViews().empty());
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(sameAnimation(camera->knob("translate")->curve(c, 0),
                                      aligner.knob("translate")->curve(c, view)));
        EXPECT_TRUE(sameAnimation(camera->knob("focal")->curve(0, 0),
                                  aligner.knob("focalLength")->curve(0, view)));
    }
    EXPECT_EQ(uint32_t(left.knob("gl_color")->value()), 0xFF0000FFu);
    EXPECT_EQ(uint32_t(right.knob("tile_color")->value()), 0x00FF00FFu);
    EXPECT_EQ(s.position(right).x - s.position(left).x, Session::kScreenWidth);
}

TEST_F(PythonModule, AnErrorShowsItsTracebackAndUndoesTheRun) {
    Session& s = Session::current();
    s.createNode("CornerPin2D", "kept");
    try {
        runCode("kestrel.toNode('kept')['label'].setValue('changed')\n"
                "kestrel.createNode('Camera', 'name extra')\n"
                "kestrel.toNode('kept').setName('renamed')\n"
                "1 / 0\n",
                "broken.py");
        FAIL() << "the error did not come through";
    } catch (const PythonError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Traceback"));
        EXPECT_THAT(e.what(), HasSubstr("File \"broken.py\", line 4"));
        EXPECT_THAT(e.what(), HasSubstr("ZeroDivisionError"));
    }
    ASSERT_EQ(s.graph().nodes().size(), 1u);
    EXPECT_EQ(s.findNode("extra"), nullptr);
    EXPECT_EQ(s.node("kept").knob("label")->text(), "");
    // Objects Python held across the failure follow the restored nodes.
    runCode("n = kestrel.toNode('kept')\nn['label'].setValue('after')\n", "after.py");
    EXPECT_EQ(s.node("kept").knob("label")->text(), "after");
}

TEST_F(PythonModule, BadCallsNameTheNodeAndKnob) {
    Session::current().createNode("Camera", "cam");
    auto message = [](const std::string& code) {
        try {
            runCode(code, "bad.py");
        } catch (const PythonError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_THAT(message("kestrel.toNode('cam')['nope']"), HasSubstr("cam has no knob nope"));
    EXPECT_THAT(message("kestrel.toNode('cam')['translate'].setValue(1, 3)"),
                HasSubstr("cam.translate has 3 component(s); index 3 is out of range"));
    EXPECT_THAT(message("kestrel.toNode('cam')['focal'].getValue(0, 5)"),
                HasSubstr("cam.focal: view 5 is not a view"));
    EXPECT_THAT(message("kestrel.thisNode()"), HasSubstr("only known while a node's button runs"));
    EXPECT_THAT(message("kestrel.createNode('NoSuchClass')"), HasSubstr("unknown node class"));
    EXPECT_THAT(message("kestrel.execute('cam', 1, 3)"), HasSubstr("cannot be executed"));
    EXPECT_THAT(message("kestrel.setCacheMemory('lots')"),
                HasSubstr("setCacheMemory \"lots\" is not a positive size"));
    EXPECT_THAT(message("kestrel.setCacheMemory('2M')"), HasSubstr("is below 16M"));
    EXPECT_THAT(message("kestrel.setMissingFrames('grey')"),
                HasSubstr("setMissingFrames \"grey\" is not a choice"));
    // Views by name as well as number; enumerations by item, with the items listed.
    Session::current().createNode("Write", "out");
    EXPECT_THAT(message("kestrel.toNode('cam')['focal'].value(view='middle')"),
                HasSubstr("cam.focal: there is no view \"middle\"; the views are"));
    EXPECT_THAT(message("kestrel.toNode('out')['exr_layout'].setValue('sideways')"),
                HasSubstr("out.exr_layout has no item \"sideways\": use one of \"single part\", "
                          "\"multi-part\""));
    EXPECT_THAT(message("kestrel.toNode('cam')['focal'].valueName()"),
                HasSubstr("cam.focal is not an enumeration"));
    EXPECT_THAT(message("kestrel.pixels('cam', layout='whc')"),
                HasSubstr("layout \"whc\" is not one"));
}

// Views by name, enumeration items by name, and pixels laid out for numpy and OpenCV.
TEST_F(PythonModule, ViewsByNameItemNamesAndPixelsForNumpy) {
    runCode(R"PY(
kestrel.setViews(['left', 'right'])
s = kestrel.createNode('SyntheticStereo', 'name S')
s['width'].setValue(8)
s['height'].setValue(4)
assert s['width'].value(view='right') == s['width'].value(view=2) == 8
w = kestrel.createNode('Write', 'name W')
assert w['exr_layout'].valueName() == 'single part'
w['exr_layout'].setValue('multi-part')
assert w['exr_layout'].valueName() == 'multi-part'
bottom = kestrel.pixels(s, view='right', channels=['rgba.red', 'rgba.green'])
top = kestrel.pixels(s, view=2, channels=['rgba.red', 'rgba.green'], layout='hwc', origin='top')
assert bottom.shape == (2, 4, 8) and top.shape == (4, 8, 2), (bottom.shape, top.shape)
# The top row of the file convention is the host's last row; channels come last.
assert (top[0, :, 1] == bottom[1, 3, :]).all() and (top[3, :, 0] == bottom[0, 0, :]).all()
)PY",
            "views.py");
}

// help(kestrel) reads as a manual: the module, every class and every public function and
// method says what it does beyond its signature.
TEST_F(PythonModule, EveryPublicCallableHasADocstring) {
    runCode(R"PY(
import inspect
def described(name, obj):
    doc = (obj.__doc__ or '').strip()
    # pybind11 starts a function's doc with its signature line; the description follows it.
    first = doc.split('\n', 1)[0]
    if first.startswith(name.rsplit('.', 1)[-1] + '('):
        doc = doc[len(first):].strip()
    return bool(doc)
lacking = []
for module in (kestrel, kestrel.nodes):
    if not described(module.__name__, module):
        lacking.append(module.__name__)
    for name, obj in vars(module).items():
        if name.startswith('_') or not callable(obj):
            continue
        if not described(name, obj):
            lacking.append(module.__name__ + '.' + name)
        if inspect.isclass(obj):
            for attr, member in vars(obj).items():
                if not attr.startswith('_') and callable(member) and not described(attr, member):
                    lacking.append(module.__name__ + '.' + name + '.' + attr)
made = kestrel.nodes.CornerPin2D
if not described('CornerPin2D', made):
    lacking.append('kestrel.nodes.CornerPin2D')
assert not lacking, 'no docstring: ' + ', '.join(lacking)
assert 'Conventions of every call' in kestrel.__doc__
)PY",
            "docs.py");
}

// kestrel.nodes.CLASS() creates a node; keyword arguments set its knobs, name= names it, and a
// bad knob or value leaves no node behind.
TEST_F(PythonModule, NodeClassesTakeKnobsAsKeywords) {
    runCode(R"PY(
plain = kestrel.nodes.CornerPin2D()
assert plain.Class() == 'CornerPin2D' and plain.name() == 'CornerPin2D1', plain.name()
w = kestrel.nodes.Write(name='W2', file='x.exr', exr_layout='multi-part')
assert w.name() == 'W2' and w['exr_layout'].valueName() == 'multi-part'
assert w['file'].value() == 'x.exr'
assert 'Write' in dir(kestrel.nodes) and 'Write' in kestrel.classes()
for knobs, message in (({'nope': 1}, 'W3 has no knob nope'),
                       ({'exr_layout': 'sideways'}, 'W3.exr_layout has no item "sideways"'),
                       ({'file': 3}, 'W3.file holds text')):
    try:
        kestrel.nodes.Write(name='W3', **knobs)
        raise AssertionError('taken: %r' % knobs)
    except (ValueError, TypeError) as e:
        assert message in str(e), (message, str(e))
    assert kestrel.toNode('W3') is None, knobs
try:
    kestrel.nodes.NoSuchClass
    raise AssertionError('a class that does not exist was found')
except AttributeError as e:
    assert 'has no class "NoSuchClass"' in str(e), e
)PY",
            "classes.py");
}

// Values a knob cannot hold: an enumeration's number out of its items and a value of the
// wrong type are errors that list what the knob takes; a number outside a clamped range is
// clamped with a warning saying what was set.
TEST_F(PythonModule, BadValuesListWhatTheKnobTakesAndClampingWarns) {
    Session::current().createNode("AnalysedStub", "stub");
    Session::current().createNode("Write", "out");
    runCode(R"PY(
import warnings
stub, out = kestrel.toNode('stub'), kestrel.toNode('out')
cases = (
    (lambda: out['exr_layout'].setValue(2), ValueError,
     'out.exr_layout has no item 2: use one of "single part", "multi-part" or its number (0 to 1)'),
    (lambda: out['exr_layout'].setValue(0.5), ValueError, 'out.exr_layout has no item 0.5'),
    (lambda: stub['focalLength'].setValue([1, 2]), TypeError,
     'stub.focalLength holds numbers: give it a number, not list'),
    (lambda: stub['focalLength'].setValue(float('nan')), ValueError,
     'stub.focalLength takes finite numbers'),
)
for call, kind, message in cases:
    try:
        call()
        raise AssertionError('taken: ' + message)
    except kind as e:
        assert message in str(e), (message, str(e))
assert out['exr_layout'].valueName() == 'single part'
out['exr_layout'].setValue(1)
assert out['exr_layout'].valueName() == 'multi-part'
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter('always')
    stub['steps'].setValue(7)
    assert not caught, [str(w.message) for w in caught]
    stub['steps'].setValue(25)
    assert stub['steps'].value() == 10
    stub['steps'].setValueAt(-3, 4)
texts = [str(w.message) for w in caught]
assert texts == ['stub.steps: 25 is outside its range 1 to 10; it is set to 10',
                 'stub.steps: -3 is outside its range 1 to 10; it is set to 1'], texts
assert all(w.category is UserWarning for w in caught)
assert stub['steps'].value(time=4) == 1
assert stub['steps'].range() == (1, 10)
)PY",
            "values.py");
}

// A pipeline sets the render cache's budget as the command line's --cache-memory does.
TEST_F(PythonModule, CacheMemoryTakesSizesAndShares) {
    const size_t before = Engine::cacheBudget();
    runCode("kestrel.setCacheMemory('1.5G')\nassert kestrel.cacheMemory() == 1536 * 2**20\n"
            "kestrel.setCacheMemory(64 * 2**20)\nassert kestrel.cacheMemory() == 64 * 2**20\n"
            "kestrel.setCacheMemory('512mb')\nassert kestrel.cacheMemory() == 512 * 2**20\n",
            "cache.py");
    runCode("kestrel.setCacheMemory('10%')\n", "share.py");
    const double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
    EXPECT_NEAR(double(Engine::cacheBudget()), memory / 10, 1.0);
    Engine::setCacheBudget(before);
}

TEST_F(PythonModule, AnswerHandlerAnswersTheHostsQuestions) {
    runCode("kestrel.setAnswerHandler(lambda q: 'reset' in q)\n", "answers.py");
    EXPECT_TRUE(Question::ask("This will reset the matches. Are you sure?"));
    runCode("assert not kestrel.ask('Delete everything?')\n"
            "kestrel.setAnswerHandler(None)\n",
            "answers.py");
}

// execute runs a Write over frames; render writes only the chosen views of a split pin.
TEST_F(PythonModule, ExecuteAndRenderWriteTheChosenFramesAndViews) {
    runCode("src, seq, out = '" + plate(8, 6) + "', '" + path("seq.%04d.exr") + "', '" +
                path("v_%V.exr") + R"PY('
a = kestrel.createNode('Read')
a['file'].setValue(src)
w = kestrel.nodes.Write()
w.setInput(0, a)
w['file'].setValue(seq)
kestrel.execute(w, 2, 4)
kestrel.setViews(['left', 'right'])
pin = kestrel.nodes.CornerPin2D()
pin.setInput(0, a)
pin['to1'].splitView(1)
pin['to1'].setValue(-1, 0, view=2)
pin['filter'].setValue('Impulse')
assert pin['to1'].isSplit(2) and not pin['to1'].isSplit(1)
assert pin['to1'].getValue(0, 2) == -1 and pin['to1'].getValue(0, 1) == 0
w.setInput(0, pin)
w['file'].setValue(out)
kestrel.render(w, [1], views=['right'])
)PY",
            "write.py");
    EXPECT_EQ(files(), (std::vector<std::string>{"plate.exr", "seq.0002.exr", "seq.0003.exr",
                                                 "seq.0004.exr", "v_right.exr"}));
}

} // namespace
