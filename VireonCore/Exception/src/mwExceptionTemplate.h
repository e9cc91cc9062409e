#pragma once

// The registry of message templates, keyed by error code and, within a code, by the number of
// variables a template holds.
//
// A template's variables are the placeholders "@" followed directly by a decimal digit d; when a
// message is formatted, each is replaced by parameter d - 1 of the exception. An "@" that is not
// followed by a digit is dropped and the character after it kept; every other character is copied.
// A template holds at most kMaxTemplateVariables variables.
//
// An exception with n parameters is formatted with its code's template of n variables. When the
// code has none of that count, the default template (0 variables) serves, so a message never
// fails for lack of a matching template.
//
// The process registry holds the core library's codes 0 to 24. It is filled and checked once,
// while the library loads, and only read afterwards. Other registries can be built and checked
// the same way; building one never touches the process registry.

#include "mwException.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace Marrow::Exceptions {

inline constexpr std::int32_t kMaxTemplateVariables = 6;

// The number of "@" characters in text that are followed directly by a decimal digit.
std::int32_t countTemplateVariables(std::string_view text);

// The templates of one error code, keyed by their variable count.
class MwErrorTemplates {
public:
    explicit MwErrorTemplates(std::int32_t code) : _code(code) {}

    // Stores a template under its variable count. Raises TooManyTemplateVars above
    // kMaxTemplateVariables and DuplicateTemplateFormat when the count is already taken.
    void add(std::string_view text);

    // The template for count variables, else the default template, else null.
    const std::string* select(std::size_t count) const;

    const std::map<std::int32_t, std::string>& byCount() const { return _byCount; }

private:
    std::int32_t _code;
    std::map<std::int32_t, std::string> _byCount;
};

class MwExceptionTemplates {
public:
    // Adds a code with its templates, in the order given. Raises DuplicateTemplate when the code is
    // registered already, and the errors of MwErrorTemplates::add; a failed call changes nothing.
    void registerCode(std::int32_t code, std::initializer_list<std::string_view> templates);

    // Null when the code is not registered.
    const MwErrorTemplates* find(std::int32_t code) const;

    // Checks that every code from 0 to lastCode is registered (else UnregisteredErrorEnum) and
    // has a default template (else ErrorEnumNeedsDefault), code by code in ascending order.
    void checkCodes(std::int32_t lastCode) const;

    // The message for an exception of the given code and parameters. Raises UnregisteredErrorEnum
    // for an unknown code, ErrorEnumNeedsDefault when no template serves, and AssertionFailed
    // ("false") when the template names a missing parameter.
    std::string format(std::int32_t code, const MwExceptionParameters& parameters) const;

    // Registers the core library's codes 0 to 24 with their templates.
    static void registerBuiltInCodes(MwExceptionTemplates& registry);

    // Fills and checks the process registry; calls after the first do nothing. The library calls
    // it while it loads.
    static void buildProcessRegistry();

    // The process registry, built.
    static const MwExceptionTemplates& processRegistry();

private:
    std::map<std::int32_t, MwErrorTemplates> _codes;
};

} // namespace Marrow::Exceptions
