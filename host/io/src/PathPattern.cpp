// Path patterns: #### / %04d / %d for frames, %V / %v for views.
#include "Kestrel/IO/PathPattern.h"

#include "Kestrel/IO/IOError.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace Kestrel::IO {

namespace {

constexpr const char* kAccepted =
    "use #### or %04d for the frame number (%d unpadded), %V for the view name, %v for its "
    "first letter and %% for a literal %";

// The frame as printf's %0*d writes it: a minus sign, then the digits padded with zeros so
// that sign and digits together take at least `width` characters.
std::string padded(int frame, int width) {
    const long long value = frame;
    std::string digits = std::to_string(value < 0 ? -value : value);
    const size_t sign = value < 0 ? 1 : 0;
    if (digits.size() + sign < size_t(width))
        digits.insert(0, size_t(width) - digits.size() - sign, '0');
    return (sign ? "-" : "") + digits;
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

PathPattern PathPattern::withView(const std::string& view) const {
    if (view.empty() || view.find('#') != std::string::npos)
        throw IOError("path \"" + _text + "\": the view name \"" + view +
                      "\" cannot stand for %V or %v; name views without # and not empty");
    std::string text;
    for (const Token& t : _tokens) {
        switch (t.kind) {
        case Kind::Literal:
            for (char c : t.literal) text += c == '%' ? std::string("%%") : std::string(1, c);
            break;
        case Kind::Frame:
            // printf form keeps neighbouring frame tokens apart; it takes two digits of width.
            text += t.padding == 0    ? std::string("%d")
                    : t.padding < 100 ? "%0" + std::to_string(t.padding) + "d"
                                      : std::string(size_t(t.padding), '#');
            break;
        case Kind::ViewName:
        case Kind::ViewLetter:
            for (char c : t.kind == Kind::ViewName ? view : view.substr(0, 1))
                text += c == '%' ? std::string("%%") : std::string(1, c);
            break;
        }
    }
    return PathPattern(text);
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

struct PathPattern::Match {
    std::optional<int> frame;
    std::optional<std::string> view; // from %V
    std::optional<char> letter;      // from %v
};

bool PathPattern::matches(const std::string& path, std::optional<int>& frame) const {
    Match m;
    if (!matchFrom(0, 0, path, m)) return false;
    frame = m.frame;
    return true;
}

// Tries every way the token can cover text from `position` on, longest first, and the rest of
// the tokens after each.
bool PathPattern::matchFrom(size_t token, size_t position, const std::string& path,
                            Match& m) const {
    if (token == _tokens.size()) return position == path.size();
    const Token& t = _tokens[token];
    auto rest = [&](size_t end, const Match& candidate) {
        Match next = candidate;
        if (!matchFrom(token + 1, end, path, next)) return false;
        m = next;
        return true;
    };
    switch (t.kind) {
    case Kind::Literal:
        return path.compare(position, t.literal.size(), t.literal) == 0 &&
               rest(position + t.literal.size(), m);
    case Kind::Frame: {
        const size_t digits = position + (position < path.size() && path[position] == '-');
        size_t end = digits;
        while (end < path.size() && std::isdigit(static_cast<unsigned char>(path[end]))) ++end;
        for (; end > digits; --end) {
            int value = 0;
            const char* last = path.data() + end;
            const auto [stop, ec] = std::from_chars(path.data() + position, last, value);
            if (ec != std::errc() || stop != last) continue; // does not fit an int
            if (padded(value, t.padding) != path.substr(position, end - position)) continue;
            if (m.frame && *m.frame != value) continue;
            Match candidate = m;
            candidate.frame = value;
            if (rest(end, candidate)) return true;
        }
        return false;
    }
    case Kind::ViewName: {
        const size_t slash = std::min(path.find('/', position), path.size());
        for (size_t end = slash; end > position; --end) {
            const std::string view = path.substr(position, end - position);
            if ((m.view && *m.view != view) || (m.letter && *m.letter != view[0])) continue;
            Match candidate = m;
            candidate.view = view;
            if (rest(end, candidate)) return true;
        }
        return false;
    }
    case Kind::ViewLetter: {
        if (position >= path.size() || path[position] == '/') return false;
        const char letter = path[position];
        if ((m.view && (*m.view)[0] != letter) || (m.letter && *m.letter != letter)) return false;
        Match candidate = m;
        candidate.letter = letter;
        return rest(position + 1, candidate);
    }
    }
    return false;
}

} // namespace Kestrel::IO
