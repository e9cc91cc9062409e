// Running Python code against the session, for the embedded interpreter and for the extension
// module alike: the code runs in a fresh namespace of its own (__name__ is "__main__") where
// `kestrel` is imported, and all or nothing for the graph: when it raises, the session is put
// back as it was before and PythonError carries the traceback. The interpreter must be running
// and this thread must hold its lock.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace Kestrel::Python {

// Runs `code`; `where` names it in tracebacks. With `argv`, sys.argv is set to it first.
void runInSession(const std::string& code, const std::string& where,
                  const std::vector<std::string>* argv);

// Defines the classes and functions of the `kestrel` module in `m`.
void defineModule(pybind11::module_& m);

} // namespace Kestrel::Python
