#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

// Intrusive reference count shared by effects, exceptions and image handles.
//
// A new object starts with one reference, held by whoever created it. addRef() takes another
// reference, release() gives one up and deletes the object when the last one goes; both may be
// called from any thread. Only objects created with new may be released. A copy is a new object
// and starts with its own single reference; assignment leaves the target's count alone.
class MwRefCounter {
public:
    MwRefCounter() = default;
    MwRefCounter(const MwRefCounter& other) noexcept;
    MwRefCounter& operator=(const MwRefCounter& other) noexcept;
    virtual ~MwRefCounter();

    void addRef() noexcept;
    void release() noexcept;
    std::int32_t refCount() const noexcept;

private:
    std::atomic<std::int32_t> _refCount{1};
};

// Deleter through which a std::unique_ptr owns one reference rather than the object itself.
struct MwRefReleaser {
    void operator()(MwRefCounter* object) const noexcept { object->release(); }
};

// Owner of one reference to a reference-counted object.
template <class T> using MwRefOwner = std::unique_ptr<T, MwRefReleaser>;
