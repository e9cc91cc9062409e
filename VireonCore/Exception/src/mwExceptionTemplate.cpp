// The template registry and the core library's codes. Checking template text, checking the codes
// and formatting are defined in mwException.cpp.

#include "mwExceptionTemplate.h"

#include <mutex>

namespace Marrow::Exceptions {

namespace {

// Line recorded as the source of a duplicate code; it stays fixed when this file is edited.
constexpr std::int32_t kDuplicateCodeLine = 34;

// Built on first use, so that no initialisation order between source files matters.
MwExceptionTemplates& processRegistryStorage() {
    static MwExceptionTemplates registry;
    return registry;
}

// Builds the process registry while the library loads, before any exception can be formatted.
struct BuildAtLoad {
    BuildAtLoad() { MwExceptionTemplates::buildProcessRegistry(); }
} buildAtLoad;

} // namespace

void MwExceptionTemplates::registerCode(std::int32_t code,
                                        std::initializer_list<std::string_view> templates) {
    if (_codes.contains(code)) {
        raiseException<ExException::DuplicateTemplate>(
            {kUnknownFunction, __FILE__, kDuplicateCodeLine}, "error code " + std::to_string(code));
    }
    MwErrorTemplates entry(code);
    for (const std::string_view text : templates) entry.add(text);
    _codes.emplace(code, std::move(entry));
}

const MwErrorTemplates* MwExceptionTemplates::find(std::int32_t code) const {
    const auto entry = _codes.find(code);
    return entry == _codes.end() ? nullptr : &entry->second;
}

const std::string* MwErrorTemplates::select(std::size_t count) const {
    auto found = _byCount.find(static_cast<std::int32_t>(count));
    if (found == _byCount.end()) found = _byCount.find(0);
    return found == _byCount.end() ? nullptr : &found->second;
}

void MwExceptionTemplates::registerBuiltInCodes(MwExceptionTemplates& registry) {
    const auto add = [&registry](MwErrorCode code,
                                 std::initializer_list<std::string_view> templates) {
        registry.registerCode(static_cast<std::int32_t>(code), templates);
    };
    add(MwErrorCode::TooMany, {"@1 exceeds maximum allowable '@2'",
                               "@1 exceeds maximum allowable 'items'", "Too many items"});
    add(MwErrorCode::Duplicate, {"@1 is a duplicate @2 and is not allowed",
                                 "Duplicate @1 not allowed", "Duplicate not allowed"});
    add(MwErrorCode::NeedsDefault, {"@1 requires a default.", "A default is needed."});
    add(MwErrorCode::Ok, {"OK"});
    add(MwErrorCode::OutOfRange, {"@1 == @2 not in range @3 to @4", "@1 not in range @2 to @3",
                                  "Range is @1 to @2", "@1 out of range", "Out of range"});
    add(MwErrorCode::UnknownError, {"Unknown error"});
    add(MwErrorCode::WrongType, {"@1 should be @2 or @3", "@1 should be @2", "@1 required",
                                 "Wrong type supplied/requested"});
    add(MwErrorCode::Failed, {"Failed to @1 @2 - @3", "Failed to @1 @2", "@1 failed", "Failed"});
    add(MwErrorCode::OutOfMemory, {"@2 failed to allocate @1 bytes", "Failed to allocate @1 bytes",
                                   "Failed to allocate memory"});
    add(MwErrorCode::Overflow,
        {"@1 overflowed with result @2.", "@1 overflowed.", "Arithmetic Overflow"});
    add(MwErrorCode::Underflow, {"@1 arithmetic Underflow", "Arithmetic Underflow"});
    add(MwErrorCode::Undefined,
        {"@1 is undefined for @2", "@1 is undefined", "Item was Undefined"});
    add(MwErrorCode::NullPointer, {"@1 is null", "Null pointer"});
    add(MwErrorCode::NotRegistered,
        {"@1 @2 is not registered", "@1 is not registered", "Not registered"});
    add(MwErrorCode::NotSupported,
        {"@1 does/do not support @2", "@1 are/is not supported", "Not supported"});
    add(MwErrorCode::Missing, {"@1 is missing @2", "@1 is missing.", "Missing item."});
    add(MwErrorCode::UnknownItem, {"@1 is an unknown @2.", "@1 is an unknown.", "Missing item."});
    add(MwErrorCode::Interrupted, {"Interrupted."});
    add(MwErrorCode::BadValue, {"@1 has a bad value @2.", "@1 is a bad value.", "Bad value."});
    add(MwErrorCode::TooBig, {"@1 is greater than @2.", "@1 is too big.", "Too big."});
    add(MwErrorCode::TooSmall, {"@1 is less than @2.", "@1 is too small.", "Too small."});
    add(MwErrorCode::Busy,
        {"@1 is busy doing @2.", "@1 is busy doing something else.", "Busy doing something else."});
    add(MwErrorCode::Locked, {"@1 is locked, cannot @2.", "@1 is locked.", "Locked object."});
    add(MwErrorCode::AssertionFailed, {"Assertion failed: @1", "Assertion failed."});
    add(MwErrorCode::RuntimeError,
        {"[@1] '@2'", "Runtime error [@1]", "Unspecified runtime error"});
}

void MwExceptionTemplates::buildProcessRegistry() {
    static std::once_flag built;
    std::call_once(built, [] {
        MwExceptionTemplates& registry = processRegistryStorage();
        registerBuiltInCodes(registry);
        registry.checkCodes(static_cast<std::int32_t>(MwErrorCode::Interrupted));
    });
}

const MwExceptionTemplates& MwExceptionTemplates::processRegistry() {
    buildProcessRegistry();
    return processRegistryStorage();
}

} // namespace Marrow::Exceptions
