// Listing a sequence's frames: the pattern is followed one folder level at a time, listing only
// the levels that hold tokens.
#include "Kestrel/IO/FramesOnDisk.h"

#include "Kestrel/IO/IOError.h"

#include <algorithm>
#include <filesystem>

namespace Kestrel::IO {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> splitAtSlashes(const std::string& text) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t slash = text.find('/', start);
        parts.push_back(text.substr(start, slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

} // namespace

std::vector<int> framesOnDisk(const PathPattern& pattern) {
    const std::vector<std::string> parts = splitAtSlashes(pattern.text());
    // Paths matched so far, written as the pattern writes them, so that the whole path can be
    // checked against the pattern at the end (a frame or view repeated across levels).
    std::vector<std::string> candidates{""};
    // The folder listed first: the last one the pattern names without tokens.
    std::string searched = ".";
    bool literalSoFar = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        const PathPattern level(parts[i]);
        const bool tokens = level.hasFrame() || level.hasView();
        std::vector<std::string> next;
        for (const std::string& prefix : candidates) {
            const std::string joined = i == 0 ? "" : prefix + "/";
            if (!tokens) {
                next.push_back(joined + level.expand(0));
                continue;
            }
            const fs::path folder =
                i == 0 ? fs::path(".") : fs::path(prefix.empty() ? "/" : prefix);
            // A folder that is missing or cannot be listed holds no frames.
            std::error_code ec;
            for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                const std::string name = it->path().filename().string();
                std::optional<int> frame;
                if (level.matches(name, frame)) next.push_back(joined + name);
            }
        }
        if (tokens && literalSoFar && i > 0)
            searched = candidates.front().empty() ? "/" : candidates.front();
        literalSoFar = literalSoFar && !tokens;
        candidates = std::move(next);
    }

    std::vector<int> frames;
    for (const std::string& path : candidates) {
        std::optional<int> frame;
        std::error_code ec;
        if (pattern.matches(path, frame) && fs::is_regular_file(path, ec))
            frames.push_back(frame.value_or(1));
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    if (frames.empty()) {
        if (!pattern.hasFrame() && !pattern.hasView())
            throw IOError("no such file: " + pattern.text() + "; check the path");
        std::error_code ec;
        const bool folderExists = fs::is_directory(searched, ec);
        throw IOError("no frames of " + pattern.text() + " in " +
                      (searched == "." ? "the current folder" : searched) +
                      (folderExists ? "" : " (the folder does not exist)") +
                      "; check the path and its frame token (#### or %04d)");
    }
    return frames;
}

std::vector<int> framesOnDisk(const std::string& pattern) {
    return framesOnDisk(PathPattern(pattern));
}

} // namespace Kestrel::IO
