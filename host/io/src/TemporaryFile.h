// All-or-nothing output: a file is written under a temporary name in its final folder and
// renamed over the final path when complete, so that readers (and a crashed run) never see a
// half-written file.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace Kestrel::IO {

// Throws IOError naming `path` when its folder does not exist or is not a folder, or when the
// path itself is a folder.
void checkOutputPath(const std::filesystem::path& path);

class TemporaryFile {
public:
    // Checks the output path (checkOutputPath) and creates a file under a hidden name beside it,
    // unique to this process and object (.NAME.tmpPID_N). Temporary files of the same final
    // path whose process no longer runs (it was killed mid-write) are removed first. Throws
    // IOError when the folder refuses it.
    explicit TemporaryFile(std::filesystem::path finalPath);
    // Removes the temporary file unless commit() succeeded.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // The stream to write the file's bytes to.
    std::ofstream& stream() { return _stream; }

    // Closes the stream and renames the temporary file over the final path; throws IOError when
    // any write failed (a full disk) or the rename fails.
    void commit();

private:
    std::filesystem::path _final;
    std::string _temporary;
    std::ofstream _stream;
    bool _committed = false;
};

} // namespace Kestrel::IO
