// The exception classes, and the parts of the template registry that check template text, check
// the registered codes and format messages. The errors those raise name this file as their
// source.

#include "mwException.h"

#include "mwExceptionTemplate.h"
#include "mwRWMutex.h"

namespace Marrow::Exceptions {

namespace {

// Lines recorded as the source of the registry's own errors. They are part of each report and do
// not move when this file is edited, so reports stay comparable between builds.
constexpr std::int32_t kTooManyVariablesLine = 42;
constexpr std::int32_t kDuplicateCountLine = 47;
constexpr std::int32_t kMissingDefaultLine = 397;
constexpr std::int32_t kUnregisteredCodeLine = 401;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string describeCode(std::int32_t code) {
    return "Error code " + std::to_string(code);
}

} // namespace

ExceptionI::ExceptionI(MwExceptionLocation location, MwExceptionParameters parameters)
    : _location(std::move(location)), _parameters(std::move(parameters)) {}

ExceptionI::~ExceptionI() = default;

const char* ExceptionI::what() const noexcept {
    std::call_once(_what.once, [this] {
        try {
            _what.text = message();
        } catch (...) {
            _what.text = className();
        }
    });
    return _what.text.c_str();
}

std::string ExceptionI::message() const {
    const ::Marrow::Thread::MwRWMutexWriteLocker lock(::Marrow::Thread::processMutex());
    return MwExceptionTemplates::processRegistry().format(errorCode(), _parameters);
}

std::int32_t countTemplateVariables(std::string_view text) {
    std::int32_t count = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '@' && isDigit(text[i + 1])) ++count;
    }
    return count;
}

void MwErrorTemplates::add(std::string_view text) {
    const std::int32_t count = countTemplateVariables(text);
    if (count > kMaxTemplateVariables) {
        raiseException<ExException::TooManyTemplateVars>(
            {kUnknownFunction, __FILE__, kTooManyVariablesLine},
            "Template \"" + std::string(text) + "\" of " + describeCode(_code),
            std::to_string(kMaxTemplateVariables) + " variables");
    }
    if (_byCount.contains(count)) {
        raiseException<ExException::DuplicateTemplateFormat>(
            {kUnknownFunction, __FILE__, kDuplicateCountLine},
            "Template \"" + std::string(text) + "\" of " + describeCode(_code),
            std::to_string(count) + "-variable template");
    }
    _byCount.emplace(count, std::string(text));
}

void MwExceptionTemplates::checkCodes(std::int32_t lastCode) const {
    for (std::int32_t code = 0; code <= lastCode; ++code) {
        const MwErrorTemplates* entry = find(code);
        if (!entry) {
            raiseException<ExException::UnregisteredErrorEnum>(
                {kUnknownFunction, __FILE__, kUnregisteredCodeLine}, "Error code",
                std::to_string(code));
        }
        if (!entry->byCount().contains(0)) {
            raiseException<ExException::ErrorEnumNeedsDefault>(
                {kUnknownFunction, __FILE__, kMissingDefaultLine}, describeCode(code));
        }
    }
}

std::string MwExceptionTemplates::format(std::int32_t code,
                                         const MwExceptionParameters& parameters) const {
    const MwErrorTemplates* entry = find(code);
    if (!entry) MW_RAISE(ExException::UnregisteredErrorEnum, "Error code", std::to_string(code));
    const std::string* text = entry->select(parameters.size());
    if (!text) MW_RAISE(ExException::ErrorEnumNeedsDefault, describeCode(code));

    std::string message;
    message.reserve(text->size());
    for (std::size_t i = 0; i < text->size(); ++i) {
        const char c = (*text)[i];
        if (c != '@') {
            message += c;
        } else if (i + 1 < text->size() && isDigit((*text)[i + 1])) {
            const auto parameter = parameters.find((*text)[++i] - '1');
            if (parameter == parameters.end()) MW_RAISE(AssertionFailed, "false");
            message += parameter->second;
        }
    }
    return message;
}

} // namespace Marrow::Exceptions
