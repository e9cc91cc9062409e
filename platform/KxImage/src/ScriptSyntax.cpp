// Tokens and values of knob texts and script files.
#include "ScriptSyntax.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace Kx::Image::Syntax {

namespace {

// Deeper nesting than any knob text needs is refused rather than followed: the item tree is
// freed and read recursively, so its depth is bounded here.
constexpr size_t kMaxDepth = 1000;

struct Reader {
    std::string_view s;
    size_t pos = 0;
    int line = 1;

    void skipBlanks() {
        while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) {
            if (s[pos] == '\n') ++line;
            ++pos;
        }
    }

    // Reads values until the end. The lists still open are kept outermost first; a list left
    // open at the end is reported at the line of the outermost one, where the text first went
    // wrong, not at the end of the text.
    bool values(std::vector<Item>& out, std::string& why, int& where) {
        std::vector<Item> open;
        auto current = [&]() -> std::vector<Item>& {
            return open.empty() ? out : open.back().items;
        };
        for (;;) {
            skipBlanks();
            if (pos >= s.size()) {
                if (open.empty()) return true;
                why = "a list opened with \"{\" is not closed";
                where = open.front().line;
                return false;
            }
            char c = s[pos];
            if (c == '}') {
                if (open.empty()) {
                    why = "\"}\" closes no list";
                    where = line;
                    return false;
                }
                ++pos;
                Item done = std::move(open.back());
                open.pop_back();
                current().push_back(std::move(done));
                continue;
            }
            Item item;
            item.line = line;
            if (c == '{') {
                if (open.size() >= kMaxDepth) {
                    why = "lists are nested more than " + std::to_string(kMaxDepth) +
                          " deep; a \"{\" is not closed or the text is damaged";
                    where = line;
                    return false;
                }
                ++pos;
                item.type = Item::Type::List;
                open.push_back(std::move(item));
                continue;
            }
            if (c == '"') {
                item.type = Item::Type::Quoted;
                ++pos;
                bool closed = false;
                while (pos < s.size()) {
                    char q = s[pos++];
                    if (q == '"') {
                        closed = true;
                        break;
                    }
                    if (q == '\\' && pos < s.size()) q = s[pos++];
                    if (q == '\n') ++line;
                    item.text += q;
                }
                if (!closed) {
                    why = "a string opened with a double quote is not closed";
                    where = item.line;
                    return false;
                }
            } else {
                while (pos < s.size() && !std::isspace(static_cast<unsigned char>(s[pos])) &&
                       s[pos] != '{' && s[pos] != '}' && s[pos] != '"')
                    item.text += s[pos++];
            }
            current().push_back(std::move(item));
        }
    }
};

} // namespace

bool parse(std::string_view text, std::vector<Item>& out, std::string& why, int& line) {
    Reader r{text};
    out.clear();
    return r.values(out, why, line);
}

bool toNumber(const std::string& word, double& v) {
    if (word.empty()) return false;
    const char* first = word.data();
    const char* last = first + word.size();
    if (*first == '+') ++first;
    auto [p, ec] = std::from_chars(first, last, v);
    return ec == std::errc() && p == last;
}

std::string quote(std::string_view text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

bool needsQuotes(std::string_view word) {
    if (word.empty()) return true;
    for (char c : word)
        if (std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '{' || c == '}' ||
            c == '\\')
            return true;
    return false;
}

} // namespace Kx::Image::Syntax
