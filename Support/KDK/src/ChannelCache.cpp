// Channel cache files.
#include "ChannelCache.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace Marrow::Support::KDK::ChannelCache {

namespace {

struct Settings {
    bool interactive = false;
    std::filesystem::path directory = std::filesystem::temp_directory_path() / "kestrel-cache";
};

Settings& settings() {
    static Settings s;
    return s;
}

} // namespace

void setInteractive(bool on) {
    settings().interactive = on;
}
bool interactive() {
    return settings().interactive;
}
void setDirectory(const std::filesystem::path& dir) {
    settings().directory = dir;
}
std::filesystem::path directory() {
    return settings().directory;
}

std::filesystem::path fileFor(const Kx::Image::Hash& key, Kx::Image::Channel z) {
    Kx::Image::Hash h = key;
    h.append(int32_t(z));
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.kxc", static_cast<unsigned long long>(h.value()));
    return directory() / name;
}

bool write(const std::filesystem::path& file, const float* samples, size_t count) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    unsigned char header[8];
    std::memcpy(header, kMagic, 4);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<unsigned char>(kVersion >> (8 * i));
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    static_assert(sizeof(float) == 4, "samples are 32-bit floats");
    const char* bytes = reinterpret_cast<const char*>(samples);
    size_t total = count * sizeof(float);
    for (size_t done = 0; done < total && out; done += kPieceBytes)
        out.write(bytes + done, std::streamsize(std::min(kPieceBytes, total - done)));
    out.close();
    if (out) return true;
    std::filesystem::remove(file, ec);
    return false;
}

bool read(const std::filesystem::path& file, float* samples, size_t count) {
    std::ifstream in(file, std::ios::binary);
    unsigned char header[8];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    uint32_t version = 0;
    for (int i = 0; i < 4; ++i) version |= uint32_t(header[4 + i]) << (8 * i);
    if (std::memcmp(header, kMagic, 4) != 0 || version != kVersion) return false;
    std::vector<float> data(count);
    if (!in.read(reinterpret_cast<char*>(data.data()), std::streamsize(count * sizeof(float))))
        return false;
    std::memcpy(samples, data.data(), count * sizeof(float));
    return true;
}

std::string describe(const Kx::Image::ChannelSet& channels) {
    std::string s;
    for (Kx::Image::Channel z : channels) {
        if (!s.empty()) s += ' ';
        s += Kx::Image::getName(z);
    }
    return s.empty() ? "none" : s;
}

} // namespace Marrow::Support::KDK::ChannelCache
