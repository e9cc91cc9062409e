// Starting the embedded interpreter, with the `kestrel` module built in, and running code in it.
#include "Kestrel/Python/Interpreter.h"

#include "Kestrel/Python/Session.h"
#include "RunCode.h"

#include <pybind11/embed.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

namespace py = pybind11;

PYBIND11_EMBEDDED_MODULE(kestrel, m) {
    Kestrel::Python::defineModule(m);
}

namespace Kestrel::Python {

namespace {

std::unique_ptr<py::scoped_interpreter>& interpreter() {
    static std::unique_ptr<py::scoped_interpreter> i;
    return i;
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

void runCode(const std::string& code, const std::string& where) {
    startInterpreter();
    runInSession(code, where, nullptr);
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
    startInterpreter();
    runInSession(text.str(), path, &argv);
}

} // namespace Kestrel::Python
