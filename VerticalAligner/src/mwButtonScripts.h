// The Python run by the node's script buttons, in the host's interpreter (module kestrel).
// Match and Analyse Sequence set the kind of run and execute the node over its frame range;
// the three creation scripts build host nodes from the values an Analyse run keyed.
#pragma once

namespace Marrow::Research::ButtonScripts {

inline constexpr const char* kMatch = R"PY(aligner = kestrel.thisNode()
aligner['executeType'].setValue(0)
kestrel.execute(aligner, aligner.firstFrame(), aligner.lastFrame())
)PY";

inline constexpr const char* kAnalyse = R"PY(aligner = kestrel.thisNode()
aligner['executeType'].setValue(1)
kestrel.execute(aligner, aligner.firstFrame(), aligner.lastFrame())
)PY";

inline constexpr const char* kCreatePin = R"PY(import math
aligner = kestrel.thisNode()
x = aligner.xpos()
y = aligner.ypos()
w = aligner.screenWidth()
h = aligner.screenHeight()
m = int(x + w/2)
numviews = len( kestrel.views() )
left = int(aligner['leftView'].value())
right = int(aligner['rightView'].value())
label = aligner['analysisSummary'].getValue()
name = 'CornerPin2D_%s_'%(aligner.name().replace('V_VerticalAligner','VA'))
pin = kestrel.createNode('CornerPin2D', 'name ' + name, False)
pin['label'].setValue(label)
pin.setInput(0,None)
pin.setXYpos(m + 2*w, y + w)
pin['filter'].setValue(aligner['filter'].value())
width = aligner.input(0).width()
height = aligner.input(0).height()
inset = math.ceil( width * 0.005 ) * 10
corners = [(inset, inset), (width-inset, inset), (width-inset, height-inset), (inset, height-inset)]
for i, (cx, cy) in enumerate(corners):
    pin['from%d' % (i + 1)].setValue(cx, 0)
    pin['from%d' % (i + 1)].setValue(cy, 1)
for view in (left, right):
    for i in range(4):
        pin['to%d' % (i + 1)].splitView(view - 1)
sources = ['pinBL', 'pinBR', 'pinTR', 'pinTL']
for view in (left, right):
    for i, source in enumerate(sources):
        for c in (0, 1):
            pin['to%d' % (i + 1)].copyAnimation(c, aligner[source].animation(c, view), view)
)PY";

// Copies the camera values of one view of the node into a camera; view None copies into
// the camera's unsplit knobs.
#define MW_CAMERA_COPY_HELPER                                                                      \
    "def copyCamera(camera, view, source):\n"                                                      \
    "    def animation(knob, c):\n"                                                                \
    "        return aligner[knob].animation(c, source)\n"                                          \
    "    def copy(target, c, knob, kc):\n"                                                         \
    "        if view is None:\n"                                                                   \
    "            camera[target].copyAnimation(c, animation(knob, kc))\n"                           \
    "        else:\n"                                                                              \
    "            camera[target].copyAnimation(c, animation(knob, kc), view)\n"                     \
    "    copy('focal', 0, 'focalLength', 0)\n"                                                     \
    "    for target, c in (('haperture', 0), ('vaperture', 1)):\n"                                 \
    "        value = aligner['aperture'].getValue(c, source)\n"                                    \
    "        if view is None:\n"                                                                   \
    "            camera[target].setValue(value, 0, 0)\n"                                           \
    "        else:\n"                                                                              \
    "            camera[target].setValue(value, 0, 0, view)\n"                                     \
    "    for c in (0, 1, 2):\n"                                                                    \
    "        copy('translate', c, 'translate', c)\n"                                               \
    "        copy('rotate', c, 'rotate', c)\n"                                                     \
    "    for c in (0, 1):\n"                                                                       \
    "        copy('win_translate', c, 'windowTranslate', c)\n"                                     \
    "        copy('win_scale', c, 'windowScale', c)\n"                                             \
    "    copy('skew', 0, 'skew', 0)\n"

#define MW_SCRIPT_HEAD                                                                             \
    "aligner = kestrel.thisNode()\n"                                                               \
    "x = aligner.xpos()\n"                                                                         \
    "y = aligner.ypos()\n"                                                                         \
    "w = aligner.screenWidth()\n"                                                                  \
    "h = aligner.screenHeight()\n"                                                                 \
    "m = int(x + w/2)\n"                                                                           \
    "numviews = len( kestrel.views() )\n"                                                          \
    "left = int(aligner['leftView'].value())\n"                                                    \
    "right = int(aligner['rightView'].value())\n"

inline constexpr const char* kCreateCamera = MW_SCRIPT_HEAD MW_CAMERA_COPY_HELPER
    "camera = kestrel.nodes.Camera()\n"
    "camera.setInput(0,None)\n"
    "camera.setXYpos(m + w, y + w)\n"
    "for view in (left, right):\n"
    "    for knob in ('focal', 'haperture', 'vaperture', 'translate', 'rotate', 'win_translate', "
    "'win_scale', 'skew'):\n"
    "        camera[knob].splitView(view - 1)\n"
    "for view in (left, right):\n"
    "    copyCamera(camera, view, view)\n";

inline constexpr const char* kCreateRig = MW_SCRIPT_HEAD MW_CAMERA_COPY_HELPER
    "join = kestrel.nodes.JoinViews()\n"
    "join.setInput(0,None)\n"
    "join.setXYpos(m + int(w*1.5) + int(w * numviews/2), y + w)\n"
    "camera = kestrel.nodes.Camera()\n"
    "camera.setInput(0,None)\n"
    "copyCamera(camera, None, left)\n"
    "camera.setXYpos(m + 2*w, y)\n"
    "camera.knob('gl_color').setValue(0xFF0000FF)\n"
    "camera.knob('tile_color').setValue(0xFF0000FF)\n"
    "camera.setName( 'left' )\n"
    "join.setInput(0,camera)\n"
    "camera = kestrel.nodes.Camera()\n"
    "camera.setInput(0,None)\n"
    "copyCamera(camera, None, right)\n"
    "camera.setXYpos(m + 2*w + w, y)\n"
    "camera.knob('gl_color').setValue(0x00FF00FF)\n"
    "camera.knob('tile_color').setValue(0x00FF00FF)\n"
    "camera.setName( 'right' )\n"
    "join.setInput(1,camera)\n";

#undef MW_SCRIPT_HEAD
#undef MW_CAMERA_COPY_HELPER

} // namespace Marrow::Research::ButtonScripts
