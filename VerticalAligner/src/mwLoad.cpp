// What the plug-in file exports besides its node: dummyFunc, which only makes a loader bind
// the stereo library. The companion libraries sit beside the plug-in file and are found
// there through the file's run path ($ORIGIN), the way a plug-in's own folder is searched
// first for its libraries.
#include "VireonShared/DataProvider.h"

extern "C" __attribute__((visibility("default"))) void dummyFunc() {
    Marrow::Vireon::dummyFunc();
}
