#pragma once

// The core library's exceptions.
//
// Every exception carries an error code (fixed per class), the place it was raised from (function,
// source file, line) and numbered text parameters. Its message is the registered template of its
// code for its number of parameters (or its default template when it has none for that count),
// with "@1", "@2" … replaced by parameters 0, 1 … (mwExceptionTemplate.h holds the registry).
// Exceptions are thrown by value; a catcher that keeps one beyond the catch block takes a clone
// and owns its single reference.
//
// Every exception is also a std::exception, so that a boundary that knows nothing of this tree
// (a plug-in framework, a command-line host) still reports it with its message; what() is the
// formatted message, made once on first use.
//
// Raising:
//   MW_RAISE(OutOfRange, "x", "0", "10");        // function "unknown()", this file and line
//   MW_ASSERT(index < 2 && index >= 0);          // AssertionFailed with the condition's text
//   raiseException<AssertionFailed>({kUnknownFunction, __FILE__, 125}, "condition");
//                                                // a fixed location

#include "mwRefCounter.h"

#include <concepts>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace Marrow::Exceptions {

// The error codes of the core library. Each one has message templates in the registry.
enum class MwErrorCode : std::int32_t {
    Ok = 0,
    UnknownError = 1,
    OutOfRange = 2,
    WrongType = 3,
    Failed = 4,
    OutOfMemory = 5,
    Overflow = 6,
    Underflow = 7,
    Undefined = 8,
    NullPointer = 9,
    TooMany = 10,
    Duplicate = 11,
    NotRegistered = 12,
    NeedsDefault = 13,
    NotSupported = 14,
    Missing = 15,
    UnknownItem = 16,
    BadValue = 17,
    TooBig = 18,
    TooSmall = 19,
    Busy = 20,
    Locked = 21,
    AssertionFailed = 22,
    RuntimeError = 23,
    Interrupted = 24,
};

// The function name recorded when the raising code does not give one.
inline constexpr const char* kUnknownFunction = "unknown()";

// Where an exception was raised. The file is the source file as the compiler names it (__FILE__).
struct MwExceptionLocation {
    std::string function = kUnknownFunction;
    std::string file;
    std::int32_t line = 0;
};

// Parameter k replaces the placeholder "@" followed by the digit k + 1.
using MwExceptionParameters = std::map<std::int32_t, std::string>;

// Root of the exception tree. The classes below fill in the four identifying operations.
class ExceptionI : public MwRefCounter, public std::exception {
public:
    ExceptionI(MwExceptionLocation location, MwExceptionParameters parameters);
    ~ExceptionI() override;

    // The formatted message; the class name when the message cannot be formatted.
    const char* what() const noexcept override;

    virtual std::int32_t errorCode() const = 0;
    // A new heap copy with the same code, location and parameters, holding one reference.
    virtual MwRefOwner<ExceptionI> clone() const = 0;
    virtual const char* className() const = 0;
    // The name of the exception's branch of the tree.
    virtual const char* groupName() const = 0;

    const MwExceptionLocation& location() const { return _location; }
    const MwExceptionParameters& parameters() const { return _parameters; }

    // The formatted message, made under the process-wide lock. Raises AssertionFailed ("false")
    // when the template names a parameter the exception does not have.
    std::string message() const;

private:
    // The text what() returns, formatted once by whichever thread asks first. A copy of the
    // exception formats its own.
    struct WhatText {
        WhatText() = default;
        WhatText(const WhatText&) {}
        WhatText& operator=(const WhatText&) { return *this; }
        std::once_flag once;
        std::string text;
    };

    MwExceptionLocation _location;
    MwExceptionParameters _parameters;
    mutable WhatText _what;
};

// Fills in the identifying operations of a concrete class from its code and from the names it
// declares (kClassName, and kGroupName from its branch).
template <class Derived, class Branch, MwErrorCode Code> class MwConcreteException : public Branch {
public:
    static constexpr MwErrorCode kCode = Code;

    using Branch::Branch;

    std::int32_t errorCode() const final { return static_cast<std::int32_t>(Code); }
    MwRefOwner<ExceptionI> clone() const final {
        return MwRefOwner<ExceptionI>(new Derived(static_cast<const Derived&>(*this)));
    }
    const char* className() const final { return Derived::kClassName; }
    const char* groupName() const final { return Derived::kGroupName; }
};

// General failures.
class Exception : public ExceptionI {
public:
    static constexpr const char* kGroupName = "Exception";
    using ExceptionI::ExceptionI;
};

class AssertionFailed final
    : public MwConcreteException<AssertionFailed, Exception, MwErrorCode::AssertionFailed> {
public:
    static constexpr const char* kClassName = "AssertionFailed";
    using MwConcreteException::MwConcreteException;
};

class OutOfMemory final
    : public MwConcreteException<OutOfMemory, Exception, MwErrorCode::OutOfMemory> {
public:
    static constexpr const char* kClassName = "OutOfMemory";
    using MwConcreteException::MwConcreteException;
};

class OutOfRange final
    : public MwConcreteException<OutOfRange, Exception, MwErrorCode::OutOfRange> {
public:
    static constexpr const char* kClassName = "OutOfRange";
    using MwConcreteException::MwConcreteException;
};

// Failures of the template registry itself.
namespace ExException {

class ExException : public ExceptionI {
public:
    static constexpr const char* kGroupName = "ExException";
    using ExceptionI::ExceptionI;
};

class TooManyTemplateVars final
    : public MwConcreteException<TooManyTemplateVars, ExException, MwErrorCode::TooMany> {
public:
    static constexpr const char* kClassName = "TooManyTemplateVars";
    using MwConcreteException::MwConcreteException;
};

class DuplicateTemplateFormat final
    : public MwConcreteException<DuplicateTemplateFormat, ExException, MwErrorCode::Duplicate> {
public:
    static constexpr const char* kClassName = "DuplicateTemplateFormat";
    using MwConcreteException::MwConcreteException;
};

class DuplicateTemplate final
    : public MwConcreteException<DuplicateTemplate, ExException, MwErrorCode::Duplicate> {
public:
    static constexpr const char* kClassName = "DuplicateTemplate";
    using MwConcreteException::MwConcreteException;
};

class UnregisteredErrorEnum final
    : public MwConcreteException<UnregisteredErrorEnum, ExException, MwErrorCode::NotRegistered> {
public:
    static constexpr const char* kClassName = "UnregisteredErrorEnum";
    using MwConcreteException::MwConcreteException;
};

class ErrorEnumNeedsDefault final
    : public MwConcreteException<ErrorEnumNeedsDefault, ExException, MwErrorCode::NeedsDefault> {
public:
    static constexpr const char* kClassName = "ErrorEnumNeedsDefault";
    using MwConcreteException::MwConcreteException;
};

} // namespace ExException

// Failures of threads.
namespace Thread {

class ThreadException : public ExceptionI {
public:
    static constexpr const char* kGroupName = "ThreadException";
    using ExceptionI::ExceptionI;
};

class ThreadFailed final
    : public MwConcreteException<ThreadFailed, ThreadException, MwErrorCode::Failed> {
public:
    static constexpr const char* kClassName = "ThreadFailed";
    using MwConcreteException::MwConcreteException;
};

} // namespace Thread

// Constructs an exception of class E raised at the given location, with the parameters numbered
// from 0 in the order given, and throws it by value.
template <class E, class... Parameters>
requires std::derived_from<E, ExceptionI> &&(std::constructible_from<std::string, Parameters>&&...)
    [[noreturn]] void raiseException(MwExceptionLocation location, Parameters&&... parameters) {
    MwExceptionParameters numbered;
    std::int32_t index = 0;
    (numbered.emplace(index++, std::string(std::forward<Parameters>(parameters))), ...);
    throw E(std::move(location), std::move(numbered));
}

} // namespace Marrow::Exceptions

// Raises an exception of the given class at the current file and line; the function is recorded
// as "unknown()".
#define MW_RAISE(ExceptionClass, ...)                                                              \
    ::Marrow::Exceptions::raiseException<ExceptionClass>(                                          \
        ::Marrow::Exceptions::MwExceptionLocation{::Marrow::Exceptions::kUnknownFunction,          \
                                                  __FILE__, __LINE__} __VA_OPT__(, ) __VA_ARGS__)

// Raises AssertionFailed with the text of the condition when the condition does not hold. For
// impossible internal states; it is active in every build type.
#define MW_ASSERT(condition)                                                                       \
    do {                                                                                           \
        if (!(condition)) MW_RAISE(::Marrow::Exceptions::AssertionFailed, #condition);             \
    } while (false)
