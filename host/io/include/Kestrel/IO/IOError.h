// The one exception of the image-file layer. Its message is complete and meant for the user:
// it names the file (and the view, channel or text at fault) and says what to do. The host's
// command line and its nodes catch it at their boundary and show the message as it is.
#pragma once

#include <stdexcept>
#include <string>

namespace Kestrel::IO {

class IOError : public std::runtime_error {
public:
    explicit IOError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace Kestrel::IO
