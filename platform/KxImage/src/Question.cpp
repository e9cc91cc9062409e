// The question dialog on a terminal, an option, or the Python API.
#include "Kx/Image/Question.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <unistd.h>

namespace Kx::Image::Question {

namespace {

struct Dialog {
    std::optional<bool> answer;
    std::function<std::optional<bool>(const std::string&)> handler;
    std::istream* in = nullptr;
    std::ostream* out = nullptr;
    std::ostream* log = nullptr;
};

Dialog& dialog() {
    static Dialog d;
    return d;
}

} // namespace

bool ask(const std::string& question) {
    Dialog& d = dialog();
    if (d.handler)
        if (auto a = d.handler(question)) return *a;
    if (d.answer) return *d.answer;
    std::istream* in = d.in;
    std::ostream* out = d.out;
    if (!in && isatty(STDIN_FILENO)) in = &std::cin, out = &std::cerr;
    if (in) {
        if (out) *out << question << " [y/N] " << std::flush;
        std::string line;
        if (!std::getline(*in, line)) return false;
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        return line == "y" || line == "yes";
    }
    std::ostream& log = d.log ? *d.log : std::cerr;
    log << "kestrel: \"" << question
        << "\" answered no: there is no terminal to ask on; run kestrel with --yes or --no (in "
           "Python, answer with kestrel.setAnswerHandler(lambda question: True))\n";
    return false;
}

void setAnswer(std::optional<bool> answer) {
    dialog().answer = answer;
}

void setHandler(std::function<std::optional<bool>(const std::string&)> handler) {
    dialog().handler = std::move(handler);
}

void setTerminal(std::istream* in, std::ostream* out) {
    dialog().in = in;
    dialog().out = out;
}

void setLog(std::ostream* log) {
    dialog().log = log;
}

} // namespace Kx::Image::Question
