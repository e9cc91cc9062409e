// Paths of image sequences and per-view files.
//
// A pattern is a path with tokens that expand per frame and per view:
//   ####    the frame number padded with zeros to the count of # (#### gives 0012, -012)
//   %04d    the same in printf form, any width; %d is the frame number without padding
//   %V      the view name (left)
//   %v      the first letter of the view name (l)
//   %%      a literal %
// Any other % sequence is an error, so that a typing mistake does not write stray files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Kestrel::IO {

class PathPattern {
public:
    // Throws IOError naming the pattern and the accepted tokens when a % token is unknown.
    explicit PathPattern(std::string text);

    const std::string& text() const { return _text; }
    bool hasFrame() const;
    bool hasView() const;

    // The pattern of one view: %V and %v replaced by the view's name and its first letter,
    // the frame tokens kept. Throws IOError for an empty view name.
    PathPattern withView(const std::string& view) const;

    // The path of `frame` in view `view`. Throws IOError when the pattern has %V or %v and the
    // view name is empty.
    std::string expand(int frame, const std::string& view = {}) const;

    // Whether the pattern expands to `path` for some frame and view, such as a file name found
    // on disk. A frame's digits must be written as expand() writes them (plate.012.exr is not
    // frame 12 of plate.####.exr) and fit an int; every frame token must give the same frame and
    // every view token the same view. On a match, `frame` receives the frame (left empty when
    // the pattern has no frame token).
    bool matches(const std::string& path, std::optional<int>& frame) const;

private:
    enum class Kind { Literal, Frame, ViewName, ViewLetter };
    struct Token {
        Kind kind;
        std::string literal;
        int padding = 0;
    };
    struct Match;
    bool matchFrom(size_t token, size_t position, const std::string& path, Match& m) const;

    std::string _text;
    std::vector<Token> _tokens;
};

} // namespace Kestrel::IO
