// The host's question dialog: a yes-or-no question to the user (such as "Proceeding will
// reset the existing camera matches. Are you sure?").
//
// ask() never waits for an answer that cannot come. In this order it takes:
//   1. the answer of the handler the Python API installed, when it gives one;
//   2. the fixed answer of the command-line option (--yes or --no);
//   3. the user's answer on the terminal, when standard input is one (or the streams set
//      by setTerminal): "y" or "yes" answer yes, anything else and end of input answer no;
//   4. otherwise no, with a line on standard error saying how to answer the question.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace Kx::Image::Question {

bool ask(const std::string& question);

// The answer of the command-line option; std::nullopt removes it.
void setAnswer(std::optional<bool> answer);
// A handler that may answer (the Python API); an empty function removes it.
void setHandler(std::function<std::optional<bool>(const std::string&)> handler);
// Streams to ask on as a terminal; nullptr for both goes back to standard input and error
// when standard input is a terminal.
void setTerminal(std::istream* in, std::ostream* out);
// Where the "no terminal" line goes (standard error by default; nullptr restores it).
void setLog(std::ostream* log);

} // namespace Kx::Image::Question
