// Starting the embedded interpreter and running code in it, all or nothing for the graph.
#include "Kestrel/Python/Interpreter.h"

#include "Kestrel/Python/Session.h"

#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

namespace py = pybind11;

namespace Kestrel::Python {

namespace {

// Nesting depth of running Python code (a button pressed from Python runs inside a run).
std::atomic<int> running{0};

std::unique_ptr<py::scoped_interpreter>& interpreter() {
    static std::unique_ptr<py::scoped_interpreter> i;
    return i;
}

// The traceback of the Python error being handled, as Python prints it.
std::string formatTraceback(py::error_already_set& e) {
    try {
        py::module_ tb = py::module_::import("traceback");
        py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
        py::list lines = tb.attr("format_exception")(e.type(), e.value(), trace);
        std::string text;
        for (auto line : lines) text += line.cast<std::string>();
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    } catch (const std::exception&) {
        return e.what();
    }
}

void runInNamespace(const std::string& code, const std::string& where,
                    const std::vector<std::string>* argv) {
    startInterpreter();
    Session& session = Session::current();
    Session::Snapshot before = session.snapshot();
    struct Running {
        Running() { ++running; }
        ~Running() { --running; }
    } runningNow;
    try {
        py::dict globals;
        globals["__builtins__"] = py::module_::import("builtins");
        globals["__name__"] = "__main__";
        globals["__file__"] = where;
        globals["kestrel"] = py::module_::import("kestrel");
        if (argv) py::module_::import("sys").attr("argv") = py::cast(*argv);
        py::module_ builtins = py::module_::import("builtins");
        py::object compiled = builtins.attr("compile")(code, where, "exec");
        builtins.attr("exec")(compiled, globals);
    } catch (py::error_already_set& e) {
        std::string traceback = formatTraceback(e);
        session.restore(before);
        throw PythonError(traceback);
    }
}

} // namespace

void startInterpreter() {
    if (interpreter()) return;
    // Python sets up its signal handling (which interruptPython needs); the host's own
    // Ctrl-C and termination handlers, which stop renders and then Python, are put back.
    struct sigaction interrupt {
    }, terminate{};
    sigaction(SIGINT, nullptr, &interrupt);
    sigaction(SIGTERM, nullptr, &terminate);
    // Python takes over Ctrl-C (KeyboardInterrupt) only from the default handler.
    std::signal(SIGINT, SIG_DFL);
    interpreter() = std::make_unique<py::scoped_interpreter>(true);
    sigaction(SIGINT, &interrupt, nullptr);
    sigaction(SIGTERM, &terminate, nullptr);
    Session::current().setScriptRunner(
        [](const std::string& code, const std::string& where) { runCode(code, where); });
}

void interruptPython() {
    if (running > 0) PyErr_SetInterrupt();
}

void runCode(const std::string& code, const std::string& where) {
    runInNamespace(code, where, nullptr);
}

void runFile(const std::string& path, const std::vector<std::string>& args) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw PythonError("cannot read the Python file " + path +
                          ": check that it exists and is readable");
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    runInNamespace(text.str(), path, &argv);
}

} // namespace Kestrel::Python
