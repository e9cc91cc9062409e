// Path patterns: #### / %04d / %d for frames, %V / %v for views.
#include "Kestrel/IO/PathPattern.h"

#include "Kestrel/IO/IOError.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace Kestrel::IO {

namespace {

constexpr const char* kAccepted =
    "use #### or %04d for the frame number (%d unpadded), %V for the view name, %v for its "
    "first letter and %% for a literal %";

std::string padded(int frame, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*d", width, frame);
    return buffer;
}

} // namespace

PathPattern::PathPattern(std::string text) : _text(std::move(text)) {
    auto literal = [&](const std::string& s) {
        if (_tokens.empty() || _tokens.back().kind != Kind::Literal)
            _tokens.push_back({Kind::Literal, {}, 0});
        _tokens.back().literal += s;
    };
    size_t i = 0;
    while (i < _text.size()) {
        const char c = _text[i];
        if (c == '#') {
            const size_t end = _text.find_first_not_of('#', i);
            const size_t n = (end == std::string::npos ? _text.size() : end) - i;
            _tokens.push_back({Kind::Frame, {}, int(n)});
            i += n;
        } else if (c == '%') {
            size_t j = i + 1;
            while (j < _text.size() && std::isdigit(static_cast<unsigned char>(_text[j]))) ++j;
            const std::string digits = _text.substr(i + 1, j - i - 1);
            const char kind = j < _text.size() ? _text[j] : '\0';
            if (kind == 'd' && digits.size() <= 2) {
                _tokens.push_back({Kind::Frame, {}, digits.empty() ? 0 : std::stoi(digits)});
            } else if (digits.empty() && kind == 'V') {
                _tokens.push_back({Kind::ViewName, {}, 0});
            } else if (digits.empty() && kind == 'v') {
                _tokens.push_back({Kind::ViewLetter, {}, 0});
            } else if (digits.empty() && kind == '%') {
                literal("%");
            } else {
                throw IOError("bad path \"" + _text + "\": \"" +
                              _text.substr(i, std::min(j + 1, _text.size()) - i) +
                              "\" is not a known token; " + kAccepted);
            }
            i = j + 1;
        } else {
            literal(std::string(1, c));
            ++i;
        }
    }
}

bool PathPattern::hasFrame() const {
    return std::any_of(_tokens.begin(), _tokens.end(),
                       [](const Token& t) { return t.kind == Kind::Frame; });
}

bool PathPattern::hasView() const {
    return std::any_of(_tokens.begin(), _tokens.end(), [](const Token& t) {
        return t.kind == Kind::ViewName || t.kind == Kind::ViewLetter;
    });
}

std::string PathPattern::expand(int frame, const std::string& view) const {
    std::string path;
    for (const Token& t : _tokens) {
        switch (t.kind) {
        case Kind::Literal:
            path += t.literal;
            break;
        case Kind::Frame:
            path += padded(frame, t.padding);
            break;
        case Kind::ViewName:
        case Kind::ViewLetter:
            if (view.empty())
                throw IOError("path \"" + _text +
                              "\" has %V or %v but no view was given; name the view to read or "
                              "write, or take %V and %v out of the path");
            path += t.kind == Kind::ViewName ? view : view.substr(0, 1);
            break;
        }
    }
    return path;
}

} // namespace Kestrel::IO
