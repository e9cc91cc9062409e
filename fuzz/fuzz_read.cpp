// The Read node's file handling: an image file of each kind the host reads, through the
// project's reader, must be read or refused with an IOError naming the file. The first byte of
// the input chooses the kind (its extension), the rest is the file.
#include "Kestrel/IO/IOError.h"
#include "Kestrel/IO/ImageReader.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const kExtensions[] = {".png", ".exr", ".dpx", ".tif", ".jpg"};
    const std::string path =
        (std::filesystem::temp_directory_path() / ("kx_fuzz_read_" + std::to_string(::getpid()) +
                                                   kExtensions[data[0] % std::size(kExtensions)]))
            .string();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
    }
    try {
        const Kestrel::IO::ImageData image = Kestrel::IO::readImage(path);
        if (image.viewCount() == 0) std::abort();
    } catch (const Kestrel::IO::IOError& e) {
        // A refusal names the file and says something about it.
        const std::string message = e.what();
        if (message.find(path) == std::string::npos ||
            message.find(path + ": ;") != std::string::npos)
            std::abort();
    }
    return 0;
}
