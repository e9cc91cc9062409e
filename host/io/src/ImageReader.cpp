// Reading image files: EXR through OpenEXR, everything else through OpenImageIO.
#include "Kestrel/IO/ImageReader.h"

#include "ExrFile.h"
#include "Kestrel/IO/IOError.h"
#include "OiioFile.h"
#include "ReadSelection.h"

#include <algorithm>
#include <filesystem>
#include <future>
#include <list>
#include <mutex>

namespace Kestrel::IO {

using namespace Kx::Image;

namespace {

std::string viewList(const std::vector<std::string>& views) {
    std::string s;
    for (const std::string& v : views) s += (s.empty() ? "" : ", ") + v;
    return s;
}

// What a read ahead is for: the file as it was on disk when its read started, and the view
// and channels asked for.
struct AheadKey {
    std::string path, view, channels;
    std::filesystem::file_time_type time;
    uintmax_t size = 0;

    bool operator==(const AheadKey& o) const {
        return path == o.path && view == o.view && channels == o.channels && time == o.time &&
               size == o.size;
    }
};

// The key of a file as it is on disk now; false when it cannot be looked at.
bool aheadKey(const std::string& path, const std::string& view, const ChannelSet& channels,
              AheadKey& key) {
    std::error_code ec;
    key.path = path;
    key.view = view;
    key.channels = channels.toString();
    key.time = std::filesystem::last_write_time(path, ec);
    if (ec) return false;
    key.size = std::filesystem::file_size(path, ec);
    return !ec;
}

struct ReadsAhead {
    std::mutex mutex;
    std::list<std::pair<AheadKey, std::future<ImageData>>> reads; // oldest first
};

ReadsAhead& readsAhead() {
    static ReadsAhead r;
    return r;
}

ReadOptions frameOptions(const std::string& view, const ChannelSet& channels) {
    ReadOptions options;
    if (!view.empty()) options.views = {view};
    options.channels = channels;
    return options;
}

} // namespace

std::vector<SelectedView> selectViews(const std::string& path,
                                      const std::vector<std::string>& fileViews,
                                      const std::vector<std::string>& requested) {
    std::vector<SelectedView> selected;
    if (requested.empty()) {
        for (size_t i = 0; i < fileViews.size(); ++i) selected.push_back({fileViews[i], i});
        return selected;
    }
    const bool hasViews = fileViews.size() > 1 || !fileViews[0].empty();
    for (const std::string& name : requested) {
        if (!hasViews) {
            selected.push_back({name, 0});
            continue;
        }
        const auto it = std::find(fileViews.begin(), fileViews.end(), name);
        if (it == fileViews.end())
            throw IOError("cannot read " + path + ": it has no view \"" + name +
                          "\" (its views: " + viewList(fileViews) +
                          "); read one of its views, or put %V in the path to read one file "
                          "per view");
        selected.push_back({name, size_t(it - fileViews.begin())});
    }
    return selected;
}

ChannelSet selectChannels(const std::string& path, const std::string& view,
                          const ChannelSet& available, const ChannelSet& requested) {
    if (requested.empty()) return available;
    for (Channel z : requested)
        if (!available.contains(z))
            throw IOError("cannot read " + path + ": " +
                          (view.empty() ? "it" : "its view \"" + view + "\"") + " has no channel " +
                          getName(z) + " (it has: " + available.toString() +
                          "); read only channels the file has, or write them into it");
    return requested;
}

ImageData readImage(const std::string& path, const ReadOptions& options) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw IOError("cannot read " + path +
                      (std::filesystem::exists(path, ec) ? ": it is not a file"
                                                         : ": the file does not exist") +
                      "; check the path");
    try {
        return isExrFile(path) ? readExr(path, options) : readOiio(path, options);
    } catch (const IOError&) {
        throw;
    } catch (const std::exception& e) {
        throw IOError("cannot read " + path + ": " + e.what() +
                      "; check that it is a complete image file");
    }
}

bool fileHoldsViews(const std::string& path) {
    return isExrFile(path);
}

ImageData readFrame(const PathPattern& pattern, int frame, const std::string& view,
                    const ChannelSet& channels) {
    const std::string path = pattern.expand(frame, view);
    std::error_code ec;
    if (pattern.hasFrame() && !std::filesystem::exists(path, ec))
        throw IOError("frame " + std::to_string(frame) + " of the sequence " + pattern.text() +
                      (view.empty() ? "" : " (view " + view + ")") + " is missing: " + path +
                      " does not exist; render that frame or leave it out of the frame range");
    AheadKey key;
    if (aheadKey(path, view, channels, key)) {
        std::future<ImageData> ahead;
        {
            auto& r = readsAhead();
            std::lock_guard lock(r.mutex);
            for (auto it = r.reads.begin(); it != r.reads.end(); ++it)
                if (it->first == key) {
                    ahead = std::move(it->second);
                    r.reads.erase(it);
                    break;
                }
        }
        if (ahead.valid()) return ahead.get();
    }
    return readImage(path, frameOptions(view, channels));
}

void readFrameAhead(const PathPattern& pattern, int frame, const std::string& view,
                    const ChannelSet& channels) {
    const std::string path = pattern.expand(frame, view);
    AheadKey key;
    if (!aheadKey(path, view, channels, key)) return;
    auto& r = readsAhead();
    std::future<ImageData> dropped;
    {
        std::lock_guard lock(r.mutex);
        for (const auto& read : r.reads)
            if (read.first == key) return;
        if (r.reads.size() >= kMaxFilesAhead) {
            dropped = std::move(r.reads.front().second);
            r.reads.pop_front();
        }
        r.reads.emplace_back(key, std::async(std::launch::async, [path, view, channels] {
                                 return readImage(path, frameOptions(view, channels));
                             }));
    }
    // A dropped read is waited for here, outside the lock, so its memory is gone on return.
    if (dropped.valid()) dropped.wait();
}

void clearReadAhead() {
    std::list<std::pair<AheadKey, std::future<ImageData>>> reads;
    {
        auto& r = readsAhead();
        std::lock_guard lock(r.mutex);
        reads.swap(r.reads);
    }
    for (auto& read : reads) read.second.wait();
}

size_t filesReadAhead() {
    auto& r = readsAhead();
    std::lock_guard lock(r.mutex);
    return r.reads.size();
}

} // namespace Kestrel::IO
