#include "Progress.h"

#include <unistd.h>

#include <algorithm>

namespace Kestrel {

Progress::Progress(std::string task, int total, std::FILE* out)
    : _task(std::move(task)), _total(std::max(total, 1)), _out(out),
      _terminal(isatty(fileno(out)) != 0), _start(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    if (!_finished) finish("stopped");
}

void Progress::update(int done) {
    const int percent = std::clamp(done * 100 / _total, 0, 100);
    if (percent == _lastPercent) return;
    _lastPercent = percent;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    if (_terminal) {
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(_out, "\r%s [%s%s] %3d%% %d/%d %.1fs", _task.c_str(),
                     std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(kWidth - filled), '.').c_str(), percent, done, _total,
                     seconds);
    } else {
        std::fprintf(_out, "%s: %d/%d (%d%%) %.1fs\n", _task.c_str(), done, _total, percent,
                     seconds);
    }
    std::fflush(_out);
}

void Progress::finish(const std::string& how) {
    if (_finished) return;
    _finished = true;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    std::fprintf(_out, "%s%s: %s in %.1fs\n", _terminal ? "\r\033[K" : "", _task.c_str(),
                 how.c_str(), seconds);
    std::fflush(_out);
}

} // namespace Kestrel
