#include "Slurm.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Kestrel::Farm {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    return text.substr(start);
}

// Closes a descriptor once.
struct Fd {
    int fd = -1;
    ~Fd() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

constexpr const char* kInstall =
    "install the Slurm client (Debian: apt-get install slurm-client, or scripts/setup.sh) "
    "or run kestrel farm on a machine that submits to the cluster";

} // namespace

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& input) {
    const std::string program = findOnPath(argv.at(0));
    if (program.empty()) fail(argv[0] + " is not on PATH: " + kInstall);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) fail("cannot run " + argv[0] + ": " + std::strerror(errno));
    Fd inRead{in[0]}, inWrite{in[1]};
    if (::pipe2(out, O_CLOEXEC) != 0) fail("cannot run " + argv[0] + ": " + std::strerror(errno));
    Fd outRead{out[0]}, outWrite{out[1]};
    if (::pipe2(err, O_CLOEXEC) != 0) fail("cannot run " + argv[0] + ": " + std::strerror(errno));
    Fd errRead{err[0]}, errWrite{err[1]};

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) fail("cannot run " + argv[0] + ": " + std::strerror(errno));
    if (pid == 0) {
        ::dup2(inRead.fd, 0);
        ::dup2(outWrite.fd, 1);
        ::dup2(errWrite.fd, 2);
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }
    inRead.close();
    outWrite.close();
    errWrite.close();

    // Feed the input and read both outputs together, so that neither pipe fills and blocks.
    std::signal(SIGPIPE, SIG_IGN);
    size_t fed = 0;
    if (input.empty()) inWrite.close();
    ProgramResult result;
    while (outRead.fd >= 0 || errRead.fd >= 0) {
        pollfd fds[3];
        nfds_t n = 0;
        for (int fd : {outRead.fd, errRead.fd})
            if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
        if (inWrite.fd >= 0) fds[n++] = {inWrite.fd, POLLOUT, 0};
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inWrite.fd) {
                const ssize_t w = ::write(inWrite.fd, input.data() + fed, input.size() - fed);
                if (w > 0) fed += size_t(w);
                if (w < 0 || fed == input.size()) inWrite.close();
                continue;
            }
            char buffer[4096];
            const ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
            Fd& source = fds[i].fd == outRead.fd ? outRead : errRead;
            if (r <= 0) {
                source.close();
                continue;
            }
            (&source == &outRead ? result.out : result.err).append(buffer, size_t(r));
        }
    }
    inWrite.close();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> partitions() {
    if (findOnPath("sbatch").empty() || findOnPath("sinfo").empty())
        fail(std::string("Slurm is not on this machine (no sbatch or sinfo on PATH): ") + kInstall);
    const ProgramResult r = runProgram({"sinfo", "--noheader", "--format=%P"});
    if (r.code != 0)
        fail("the Slurm controller does not answer (sinfo: " + trimmed(r.err) +
             "): check that slurmctld runs and that SLURM_CONF names the cluster's slurm.conf");
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty()) continue;
        if (line.back() == '*') {
            line.pop_back();
            names.insert(names.begin(), line);
        } else {
            names.push_back(line);
        }
    }
    if (names.empty())
        fail("the Slurm cluster has no partition to submit to: ask its administrator, or see "
             "sinfo");
    return names;
}

void testSubmission(const std::string& scriptText, const std::string& what) {
    const ProgramResult r = runProgram({"sbatch", "--test-only"}, scriptText);
    if (r.code != 0)
        fail("Slurm would refuse the " + what + " (sbatch: " + trimmed(r.err) +
             "): check --partition and --slurm-opt");
}

std::string submit(const std::string& scriptPath, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"sbatch", "--parsable"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(scriptPath);
    const ProgramResult r = runProgram(argv);
    // --parsable prints the job id, followed by ";cluster" on a federation.
    const std::string id = trimmed(r.out.substr(0, r.out.find(';')));
    if (r.code != 0 || id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
        fail("sbatch did not submit " + scriptPath + ": " + trimmed(r.err.empty() ? r.out : r.err));
    return id;
}

void cancel(const std::vector<std::string>& jobIds) {
    if (jobIds.empty()) return;
    std::vector<std::string> argv = {"scancel"};
    argv.insert(argv.end(), jobIds.begin(), jobIds.end());
    runProgram(argv);
}

} // namespace Kestrel::Farm
