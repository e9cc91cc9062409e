// What the command-line tests share: a fresh folder per test, and kestrel run in it with its
// exit code and what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace KestrelTest {

namespace fs = std::filesystem;

struct Outcome {
    int code = -1;
    std::string out, err;
};

class Folder : public ::testing::Test {
protected:
    // A folder named after the kind of test, the test and the process, made empty.
    void makeFolder(const std::string& kind) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("kestrel_" + kind + "_" + std::string(info->name()) +
                                           "_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    static std::string slurp(const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // kestrel with these arguments, each quoted, without input.
    Outcome run(const std::vector<std::string>& args) {
        std::string command = KESTREL_EXECUTABLE;
        for (const auto& a : args) command += " '" + a + "'";
        command += " >" + path("stdout") + " 2>" + path("stderr") + " </dev/null";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "stdout"),
                slurp(dir / "stderr")};
    }

    // Whether the aligner plug-in was built next to kestrel; tests of its buttons need it.
    static bool alignerBuilt() {
        return fs::exists(fs::path(KESTREL_EXECUTABLE).parent_path().parent_path() / "plugins" /
                          "Q_VerticalAligner2_1.so");
    }

    fs::path dir;
};

} // namespace KestrelTest
