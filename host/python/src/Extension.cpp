// The `kestrel` module as an extension of Debian's python3: `import kestrel` with
// PYTHONPATH=build/python. Importing it loads the plug-ins of the folder `plugins` beside the
// module's own folder (build/plugins, as the kestrel program loads those beside build/bin);
// a plug-in that fails to load is a warning naming the file and the reason. Button scripts run
// in the importing interpreter, all or nothing for the graph as in the program. The graph is
// emptied when the interpreter exits, while the plug-ins that made its nodes are still loaded.
#include "Kestrel/Python/Session.h"
#include "RunCode.h"

#include <Kx/Image/Plugins.h>

#include <dlfcn.h>
#include <filesystem>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

// The folder of this module's file.
fs::path moduleFolder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(&moduleFolder), &info) || !info.dli_fname)
        return fs::current_path();
    return fs::absolute(info.dli_fname).parent_path();
}

void loadPluginsBeside() {
    const fs::path plugins = moduleFolder().parent_path() / "plugins";
    const size_t failedBefore = Kx::Image::Plugins::failures().size();
    if (fs::is_directory(plugins)) Kx::Image::Plugins::loadFolder(plugins.string());
    const auto& failures = Kx::Image::Plugins::failures();
    for (size_t i = failedBefore; i < failures.size(); ++i) {
        const std::string message =
            "kestrel: the plug-in " + failures[i].file + " did not load: " + failures[i].reason;
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0)
            throw py::error_already_set();
    }
}

} // namespace

PYBIND11_MODULE(kestrel, m) {
    using Kestrel::Python::Session;
    loadPluginsBeside();
    Session::current().setScriptRunner([](const std::string& code, const std::string& where) {
        Kestrel::Python::runInSession(code, where, nullptr);
    });
    Kestrel::Python::defineModule(m);
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { Session::current().clear(); }, py::name("_clearSession"),
                         "empties the graph before the interpreter exits"));
}
