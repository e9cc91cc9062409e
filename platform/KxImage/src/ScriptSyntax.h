// The syntax shared by knob texts and script files: a value is a word, a double-quoted
// string (a backslash takes the next character literally) or a list of values in braces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Kx::Image::Syntax {

struct Item {
    enum class Type { Word, Quoted, List } type = Type::Word;
    std::string text;        // a word, or a quoted string without its quotes
    std::vector<Item> items; // a list's values
    int line = 1;            // line of the item's first character, counted from 1

    bool isWord(std::string_view w) const { return type == Type::Word && text == w; }
};

// Splits a text into its top-level values; false with the reason (and its line) on
// unbalanced braces, an unterminated string or lists nested more than 1000 deep. A list left
// open is reported at the line of the outermost open "{", where the text first went wrong.
bool parse(std::string_view text, std::vector<Item>& out, std::string& why, int& line);

// Reads a whole word as a double (decimal or exponent notation, "inf" and "nan" too).
bool toNumber(const std::string& word, double& v);

// Wraps a text in double quotes, escaping quotes and backslashes.
std::string quote(std::string_view text);

// A word needs quoting when it is empty or holds a blank, a quote, a brace or a backslash.
bool needsQuotes(std::string_view word);

} // namespace Kx::Image::Syntax
