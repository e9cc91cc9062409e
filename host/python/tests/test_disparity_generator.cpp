// The disparity generator from Python: loaded from the plug-in folder like any plug-in,
// created and wired like any node, its knobs set by name, its output read as pixels and
// compared with the synthetic plate's exact disparity.
#include "HostTest.h"

#include "Kestrel/Python/Interpreter.h"

#include <Kx/Image/Plugins.h>

using namespace Kestrel::Python;
using namespace Kestrel::Python::Test;

class PythonDisparityGenerator : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        startInterpreter();
        ASSERT_TRUE(Kx::Image::Plugins::load(KX_PLUGIN_DIR "/Q_DisparityGenerator.so"));
    }
};

TEST_F(PythonDisparityGenerator, CreatesTheNodeAndReadsItsDisparity) {
    runCode(R"PY(
import numpy
kestrel.setViews(['left', 'right'])
plate = kestrel.createNode('SyntheticStereo')
for name, value in [('width', 320), ('height', 240), ('verticalShift', 3), ('roll', 0.4)]:
    plate[name].setValue(value)
gen = kestrel.createNode('Q_DisparityGenerator')
gen.setInput(0, plate)
gen['quality'].setValue('Fine')
gen['maxDisparity'].setValue(100)
channels = kestrel.channels(gen)
for c in ['disparityL.x', 'disparityL.y', 'disparityR.x', 'disparityR.y', 'occlusion.left']:
    assert c in channels, (c, channels)
names = ['disparityL.x', 'disparityL.y', 'occlusion.left']
got = kestrel.pixels(gen, frame=1, view=1, channels=names)
truth = kestrel.pixels(plate, frame=1, view=1, channels=names)
visible = truth[2] == 0
error = numpy.hypot(got[0] - truth[0], got[1] - truth[1])[visible]
assert numpy.median(error) < 0.25, numpy.median(error)
assert numpy.mean((got[2] != 0) == (truth[2] != 0)) > 0.9
gen['rightView'].setValue(1)
try:
    kestrel.pixels(gen, frame=1, view=1, channels=names)
    raise AssertionError('one view twice was accepted')
except ValueError as e:
    assert 'Left View and Right View' in str(e), str(e)
)PY",
            "generator.py");
}
