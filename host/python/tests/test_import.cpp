// The kestrel module imported by Debian's own python3 from the build's python folder, as a
// pipeline script outside the kestrel program would import it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// python3 -c CODE with PYTHONPATH naming the module's folder and nothing of the user's.
Outcome python(const std::string& code) {
    const fs::path dir =
        fs::temp_directory_path() / ("kestrel_import_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path out = dir / "out", err = dir / "err";
    const pid_t child = ::fork();
    if (child == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        std::freopen("/dev/null", "r", stdin);
        ::chdir(dir.c_str());
        const std::string path = std::string("PYTHONPATH=") + KESTREL_MODULE_DIR;
        char* const argv[] = {const_cast<char*>(KESTREL_PYTHON), const_cast<char*>("-c"),
                              const_cast<char*>(code.c_str()), nullptr};
        char* const env[] = {const_cast<char*>(path.c_str()),
                             const_cast<char*>("PYTHONNOUSERSITE=1"), nullptr};
        ::execve(KESTREL_PYTHON, argv, env);
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    Outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    fs::remove_all(dir);
    return o;
}

struct Case {
    const char* what;
    std::string code;
    std::string printed;
};

TEST(PythonImport, DebiansPython3ImportsTheModuleAndUsesTheHost) {
    const Case cases[] = {
        {"the host's own classes and the plug-ins beside the module",
         "import kestrel\n"
         "c = kestrel.classes()\n"
         "assert 'SyntheticStereo' in c and 'Write' in c, c\n"
         "assert 'Q_VerticalAligner2_1' in c, c\n"
         "assert 'Q_VerticalAligner2_1' in dir(kestrel.nodes)\n"
         "print('classes', len(c))",
         "classes"},
        {"a synthetic plate made with knobs and read into numpy",
         "import kestrel, numpy\n"
         "kestrel.setViews(['left', 'right'])\n"
         "s = kestrel.nodes.SyntheticStereo(name='Plate', width=64, height=36)\n"
         "p = kestrel.pixels(s, view='right', channels=['rgba.red', 'rgba.green'],\n"
         "                   layout='hwc', origin='top')\n"
         "assert isinstance(p, numpy.ndarray) and p.shape == (36, 64, 2), p.shape\n"
         "assert p.std() > 0\n"
         "print('plate', s.name(), p.dtype)",
         "plate Plate float32"},
        {"a class that does not exist",
         "import kestrel\n"
         "try:\n"
         "    kestrel.nodes.NoSuchClass()\n"
         "except AttributeError as e:\n"
         "    print(e)",
         "kestrel.nodes has no class \"NoSuchClass\""},
        {"help reads as a manual",
         "import kestrel, pydoc\n"
         "print(pydoc.render_doc(kestrel, renderer=pydoc.plaintext))",
         "Conventions of every call"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = python(c.code);
        EXPECT_EQ(o.code, 0) << o.err;
        EXPECT_THAT(o.out, HasSubstr(c.printed)) << o.err;
    }
}

} // namespace
