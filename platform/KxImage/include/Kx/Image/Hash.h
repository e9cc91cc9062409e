// A 64-bit hash of everything that decides an op's output. Two ops whose hashes are
// equal produce the same pixels, so the engine reuses cached results by hash.
// The mixing is FNV-1a over the bytes appended, in order.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace Kx::Image {

class Hash {
public:
    static constexpr uint64_t kSeed = 0xcbf29ce484222325ull;

    void reset() { _value = kSeed; }
    uint64_t value() const { return _value; }
    void value(uint64_t v) { _value = v; }

    void append(const void* data, size_t n) {
        auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) {
            _value ^= p[i];
            _value *= 0x100000001b3ull;
        }
    }
    template <class T>
    requires std::is_arithmetic_v<T>
    void append(T v) { append(&v, sizeof v); }
    void append(std::string_view s) {
        append(uint64_t(s.size()));
        append(s.data(), s.size());
    }
    void append(const std::string& s) { append(std::string_view(s)); }
    void append(const char* s) { append(std::string_view(s ? s : "")); }
    void append(const Hash& h) { append(h._value); }

    bool operator==(const Hash&) const = default;

private:
    uint64_t _value = kSeed;
};

} // namespace Kx::Image
