// The host's Python: an embedded CPython with the `kestrel` module built in.
//
// The interpreter starts on first use and lives until the process ends. Code runs in a fresh
// namespace of its own (as a file run with `python FILE` would: __name__ is "__main__") where
// `kestrel` is already imported. Every run is all or nothing for the graph: the session is
// snapshotted before the code runs, and when the code raises, the graph, its views, the node
// layout and the frame are put back as they were, and PythonError carries the traceback.
//
// Starting the interpreter makes the session's script buttons runnable (Session::press).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace Kestrel::Python {

class PythonError : public std::runtime_error {
public:
    explicit PythonError(const std::string& message) : std::runtime_error(message) {}
};

// Starts the interpreter (once); later calls do nothing.
void startInterpreter();

// Makes the running Python code raise KeyboardInterrupt at its next step (the host's
// Ctrl-C handler calls it; safe in a signal handler). Nothing happens before the start.
void interruptPython();

// Runs Python source; `where` names it in tracebacks (a file name, or "Node.knob").
void runCode(const std::string& code, const std::string& where);

// Runs a Python file with sys.argv = [path, args...]. A missing or unreadable file is a
// PythonError naming it.
void runFile(const std::string& path, const std::vector<std::string>& args = {});

} // namespace Kestrel::Python
