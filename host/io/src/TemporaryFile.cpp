// Temporary output files renamed over their final path when complete.
#include "TemporaryFile.h"

#include "Kestrel/IO/IOError.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace Kestrel::IO {

namespace fs = std::filesystem;

namespace {

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// The prefix of the temporary names of `final`; a name goes on with PID_N.
std::string temporaryPrefix(const fs::path& final) {
    return "." + final.filename().string() + ".tmp";
}

// Removes the temporary files of `final` that a process killed before it could remove them
// left behind (its process id is no longer in use). Those of live processes are theirs.
void removeAbandoned(const fs::path& final) {
    const std::string prefix = temporaryPrefix(final);
    std::error_code ec;
    for (fs::directory_iterator it(folderOf(final), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) continue;
        const char* first = name.data() + prefix.size();
        const char* last = name.data() + name.size();
        long long pid = 0;
        const auto [stop, error] = std::from_chars(first, last, pid);
        if (error != std::errc() || stop == first || stop == last || *stop != '_') continue;
        if (pid <= 0 || pid == ::getpid() || pid > std::numeric_limits<pid_t>::max()) continue;
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        fs::remove(it->path(), ignored);
    }
}

} // namespace

void checkOutputPath(const fs::path& path) {
    const fs::path folder = folderOf(path);
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status))
        throw IOError("cannot write " + path.string() + ": the folder " + folder.string() +
                      " does not exist; create it or choose another output path");
    if (!fs::is_directory(status))
        throw IOError("cannot write " + path.string() + ": " + folder.string() +
                      " is not a folder; choose another output path");
    if (fs::is_directory(path, ec))
        throw IOError("cannot write " + path.string() +
                      ": a folder of that name exists; remove it or choose another output path");
}

TemporaryFile::TemporaryFile(fs::path finalPath) : _final(std::move(finalPath)) {
    checkOutputPath(_final);
    removeAbandoned(_final);
    static std::atomic<unsigned> counter{0};
    const std::string name =
        temporaryPrefix(_final) + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    _temporary = (folderOf(_final) / name).string();
    _stream.open(_temporary, std::ios::binary);
    if (!_stream)
        throw IOError("cannot write " + _final.string() +
                      ": no file can be created in the folder " + folderOf(_final).string() + " (" +
                      std::strerror(errno) +
                      "); check its permissions or choose another output path");
}

TemporaryFile::~TemporaryFile() {
    if (_committed) return;
    _stream.close();
    std::error_code ec;
    fs::remove(_temporary, ec);
}

void TemporaryFile::commit() {
    _stream.close();
    if (_stream.fail())
        throw IOError("cannot write " + _final.string() +
                      ": writing the file failed; check that its disk has free space");
    std::error_code ec;
    fs::rename(_temporary, _final, ec);
    if (ec)
        throw IOError("cannot write " + _final.string() +
                      ": renaming the finished file into place failed (" + ec.message() +
                      "); check the permissions of its folder or choose another output path");
    _committed = true;
}

} // namespace Kestrel::IO
