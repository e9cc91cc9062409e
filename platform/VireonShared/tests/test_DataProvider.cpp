#include <VireonShared/DataProvider.h>

#include <gtest/gtest.h>

using namespace Marrow::Vireon;

namespace {

// A provider that answers nothing; only its registration is under test.
class NullProvider : public DataProvider {
public:
    using DataProvider::DataProvider;
    bool updateAlignment(VireonAlignmentSampler&, VireonAlignmentSampler&, double) override {
        return false;
    }
    bool isAnalysisKey(int) override { return false; }
    bool cameraProjections(Matrix34d&, Matrix34d&, double&, double&) override { return false; }
    bool globalTransforms(Eigen::Matrix3d&, Eigen::Matrix3d&, double) override { return false; }
    int64_t keyCount() override { return 0; }
    bool bracketingKeys(double, double&, double&) override { return false; }
    int64_t matchedPairCount(int) override { return 0; }
    bool matchedPairs(std::vector<MatchedFeaturePair>&, int) override { return false; }
    bool camerasAtKey(Marrow::Research::CameraDefinition&, Marrow::Research::CameraDefinition&,
                      double) override {
        return false;
    }
    bool projectionsAtKey(Matrix34d&, Matrix34d&, double&, double) override { return false; }
};

const auto* kNodeA = reinterpret_cast<const Kx::Image::Op*>(0x1000);
const auto* kNodeB = reinterpret_cast<const Kx::Image::Op*>(0x2000);

} // namespace

TEST(DataProvider, ProvidersRegisterUnderTheirNodeUntilReplacedUnregisteredOrDestroyed) {
    {
        NullProvider a(kNodeA), b(kNodeB);
        EXPECT_EQ(FindDataProvider(kNodeA), &a);
        EXPECT_EQ(FindDataProvider(kNodeB), &b);
        UnregisterDataProvider(kNodeB);
        EXPECT_EQ(FindDataProvider(kNodeB), nullptr);
        UnregisterDataProvider(kNodeB); // a second time does nothing
    }
    EXPECT_EQ(FindDataProvider(kNodeA), nullptr);
    // A new provider replaces the old one, which then leaves it alone when destroyed.
    auto first = std::make_unique<NullProvider>(kNodeA);
    NullProvider second(kNodeA);
    EXPECT_EQ(FindDataProvider(kNodeA), &second);
    first.reset();
    EXPECT_EQ(FindDataProvider(kNodeA), &second);
    dummyFunc();
}
