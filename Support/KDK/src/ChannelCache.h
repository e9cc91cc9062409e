// The channel cache: processed full frames kept on disk between sessions of an interactive
// host, one file per channel.
//
// A file holds the four bytes 6E 61 68 43, the version 1 as a 32-bit little-endian integer,
// then the channel's 32-bit float samples, row by row (width x height), written in pieces
// of at most 33554432 bytes. A file is accepted only with those four bytes, version 1 and
// the full number of samples. Files are named by the frame's key (a hash) extended with
// the channel number.
#pragma once

#include "Kx/Image/Channel.h"
#include "Kx/Image/Hash.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace Marrow::Support::KDK::ChannelCache {

inline constexpr unsigned char kMagic[4] = {0x6E, 0x61, 0x68, 0x43};
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kPieceBytes = 33554432;

// The host's cache is used only when the host runs interactively (a user waits on the
// viewer); the command-line host leaves it off.
void setInteractive(bool on);
bool interactive();
// The folder of the cache files (a folder of the system's temporary folder by default).
void setDirectory(const std::filesystem::path& dir);
std::filesystem::path directory();

std::filesystem::path fileFor(const Kx::Image::Hash& key, Kx::Image::Channel z);
bool write(const std::filesystem::path& file, const float* samples, size_t count);
// Reads exactly count samples; false (and the buffer untouched) for any other file.
bool read(const std::filesystem::path& file, float* samples, size_t count);

// "name name ..." of the channels of a set ("none" when it is empty).
std::string describe(const Kx::Image::ChannelSet& channels);

} // namespace Marrow::Support::KDK::ChannelCache
