// Running Python code against the session, all or nothing for the graph.
#include "RunCode.h"

#include "Kestrel/Python/Interpreter.h"
#include "Kestrel/Python/Session.h"

#include <pybind11/stl.h>

#include <atomic>

namespace py = pybind11;

namespace Kestrel::Python {

namespace {

// Nesting depth of running Python code (a button pressed from Python runs inside a run).
std::atomic<int> running{0};

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

} // namespace

void runInSession(const std::string& code, const std::string& where,
                  const std::vector<std::string>* argv) {
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

void interruptPython() {
    if (running > 0) PyErr_SetInterrupt();
}

} // namespace Kestrel::Python
