// Tokens and values of knob texts and script files.
#include "ScriptSyntax.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace Kx::Image::Syntax {

namespace {

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

    // Reads values until the end (depth 0) or a closing brace (inside a list).
    bool values(std::vector<Item>& out, bool inList, std::string& why, int& where) {
        for (;;) {
            skipBlanks();
            if (pos >= s.size()) {
                if (!inList) return true;
                why = "a list opened with \"{\" is not closed";
                where = line;
                return false;
            }
            char c = s[pos];
            if (c == '}') {
                if (inList) {
                    ++pos;
                    return true;
                }
                why = "\"}\" closes no list";
                where = line;
                return false;
            }
            Item item;
            item.line = line;
            if (c == '{') {
                ++pos;
                item.type = Item::Type::List;
                if (!values(item.items, true, why, where)) return false;
            } else if (c == '"') {
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
            out.push_back(std::move(item));
        }
    }
};

} // namespace

bool parse(std::string_view text, std::vector<Item>& out, std::string& why, int& line) {
    Reader r{text};
    out.clear();
    return r.values(out, false, why, line);
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
