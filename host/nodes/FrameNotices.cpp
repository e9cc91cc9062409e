// The record of filled-in frames: a list for the report and the keys already printed.
#include "nodes/FrameNotices.h"

#include <iostream>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

namespace Kestrel::Nodes {

namespace {

struct Record {
    std::mutex mutex;
    std::vector<FrameNotice> notices;
    std::set<std::tuple<std::string, std::string, int>> printed;
};

Record& record() {
    static Record r;
    return r;
}

} // namespace

void addFrameNotice(const FrameNotice& notice) {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    if (!r.printed.emplace(notice.node, notice.file, notice.frame).second) return;
    r.notices.push_back(notice);
    std::cerr << "warning: " << notice.node << ": no file for frame " << notice.frame << " ("
              << notice.file << "): " << notice.action << std::endl;
}

std::vector<FrameNotice> takeFrameNotices() {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    r.printed.clear();
    return std::exchange(r.notices, {});
}

} // namespace Kestrel::Nodes
