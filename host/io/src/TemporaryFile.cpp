// Temporary output files renamed over their final path when complete.
#include "TemporaryFile.h"

#include "Kestrel/IO/IOError.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Kestrel::IO {

namespace fs = std::filesystem;

namespace {

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
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
    static std::atomic<unsigned> counter{0};
    const std::string name = "." + _final.filename().string() + ".tmp" +
                             std::to_string(::getpid()) + "_" + std::to_string(counter++);
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
