#include "mwExceptionTemplate.h"
#include "mwRaised.h"

#include <gtest/gtest.h>

namespace {

using namespace Marrow::Exceptions;

TEST(MwExceptionTemplate, CountsAtSignsFollowedByADigit) {
    EXPECT_EQ(countTemplateVariables("mail@home"), 0);
    EXPECT_EQ(countTemplateVariables("@1 exceeds maximum allowable 'items'"), 1);
    EXPECT_EQ(countTemplateVariables("@@1"), 1);
    EXPECT_EQ(countTemplateVariables("@10"), 1);
    EXPECT_EQ(countTemplateVariables("@0 and @9"), 2);
}

TEST(MwExceptionTemplate, AtSignNotBeforeADigitIsDropped) {
    MwExceptionTemplates registry;
    registry.registerCode(0, {"mail@home for @1@", "no@body"});
    registry.registerCode(1, {"@@1", "-"});
    EXPECT_EQ(registry.format(0, {{0, "x"}}), "mailhome for x");
    EXPECT_EQ(registry.format(0, {}), "nobody");
    EXPECT_EQ(registry.format(1, {{0, "a"}}), "a");
}

TEST(MwExceptionTemplate, RejectsMoreThanSixVariablesOrTwoTemplatesOfOneCount) {
    MwExceptionTemplates registry;
    EXPECT_NO_THROW(registry.registerCode(1, {"@1 @2 @3 @4 @5 @6", "-"}));
    EXPECT_THROW(registry.registerCode(2, {"-", "@1 @2 @3 @4 @5 @6 @7"}),
                 ExException::TooManyTemplateVars);
    EXPECT_EQ(registry.find(2), nullptr);
    // Two templates of one code with one variable count are refused.
    EXPECT_THROW(registry.registerCode(15, {"@1 is missing.", "Missing item.", "Gone."}),
                 ExException::DuplicateTemplateFormat);
    // The same text under two codes is fine.
    registry.registerCode(15, {"Missing item."});
    EXPECT_NO_THROW(registry.registerCode(16, {"Missing item."}));
}

TEST(MwExceptionTemplate, RejectsACodeRegisteredTwice) {
    MwExceptionTemplates registry;
    MwExceptionTemplates::registerBuiltInCodes(registry);
    EXPECT_NO_THROW(registry.checkCodes(24));
    const auto e = raisedBy<ExException::DuplicateTemplate>(
        [&registry] { MwExceptionTemplates::registerBuiltInCodes(registry); });
    EXPECT_EQ(e.message(), "Duplicate error code 10 not allowed"); // 10 is registered first
}

TEST(MwExceptionTemplate, CheckFindsMissingCodesAndDefaultsInAscendingOrder) {
    MwExceptionTemplates registry;
    registry.registerCode(1, {"@1 only"});
    registry.registerCode(3, {"Three"});
    const auto missing =
        raisedBy<ExException::UnregisteredErrorEnum>([&registry] { registry.checkCodes(3); });
    EXPECT_EQ(missing.message(), "Error code 0 is not registered");

    registry.registerCode(0, {"OK"});
    const auto noDefault =
        raisedBy<ExException::ErrorEnumNeedsDefault>([&registry] { registry.checkCodes(3); });
    EXPECT_EQ(noDefault.message(), "Error code 1 requires a default.");
    EXPECT_THROW((void)registry.format(1, {}), ExException::ErrorEnumNeedsDefault);
    EXPECT_THROW((void)registry.format(2, {}), ExException::UnregisteredErrorEnum);
}

} // namespace
