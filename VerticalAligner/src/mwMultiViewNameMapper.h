// The view-name mapper: turns host view names into rig camera numbers and back.
//
// Camera views are named "cam" followed by a camera number from 1 and an optional suffix
// "_left" or "_right" (cam1, cam2_left, cam12_right). The plain views "main", "left" and
// "right" are no camera views. A mapper may limit the cameras to a count; -1 (the default)
// means every camera number counts.
#pragma once

#include <string>

namespace Marrow::Research {

class MultiViewNameMapper {
public:
    explicit MultiViewNameMapper(int cameraCount = -1) : _cameraCount(cameraCount) {}

    int cameraCount() const { return _cameraCount; }
    void setCameraCount(int n) { _cameraCount = n; }

    // The camera number of a host view (0 when it is no camera view or beyond the count).
    int cameraNumberOfView(int view) const;
    int cameraNumberOfName(const std::string& name) const;
    bool isRigView(int view) const;
    // The count when it is set; otherwise the number of distinct camera numbers among the
    // host's views.
    int numViewsForRig() const;
    // 1: the view named "left"; 2: "right"; any other number: "main"; a name that does not
    // exist falls back to "main".
    static int viewOfCameraNumber(int camera);

private:
    int _cameraCount;
};

// A camera view's name split into its camera number and suffix; false for other names.
// The suffix is the next whitespace-delimited word after the number ("" when none).
bool parseCameraView(const std::string& name, int& camera, std::string& suffix);

} // namespace Marrow::Research
