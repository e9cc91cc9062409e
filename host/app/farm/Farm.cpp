#include "Farm.h"

#include "FarmJobs.h"
#include "Slurm.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/FramesOnDisk.h>
#include <Kestrel/IO/PathPattern.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Op.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace Kestrel {

namespace {

using Farm::JobSettings;

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// The options of align that submit handles itself, or that make no sense on a farm.
const std::set<std::string> kOwnAlignOptions = {"output",       "frames", "script",
                                                "analyse-only", "demo",   "help"};

// "-o,--output" for an option's names.
std::string namesOf(const CLI::Option& o) {
    std::string names;
    for (const std::string& s : o.get_snames()) names += (names.empty() ? "-" : ",-") + s;
    for (const std::string& l : o.get_lnames()) names += (names.empty() ? "--" : ",--") + l;
    return names;
}

// The words that give an option as it was given: a flag once, an option once per value.
void appendArguments(const CLI::Option& o, std::vector<std::string>& args) {
    if (o.count() == 0) return;
    const std::string name =
        o.get_lnames().empty() ? "-" + o.get_snames().front() : "--" + o.get_lnames().front();
    if (o.get_expected_max() == 0) {
        args.push_back(name);
        return;
    }
    for (const std::string& value : o.results()) {
        args.push_back(name);
        args.push_back(value);
    }
}

// Whether the file begins as a kestrel script does.
bool isScript(const fs::path& path) {
    std::ifstream in(path);
    std::string word;
    return in && (in >> word) && word == "kestrel_script";
}

// Fails unless files can be made in `folder` (made later if it does not exist yet): its
// nearest existing ancestor must be a folder this user may write.
void checkWritable(const fs::path& folder, const std::string& what) {
    fs::path existing = folder;
    std::error_code ec;
    while (!fs::exists(existing, ec) && existing.has_parent_path() &&
           existing != existing.parent_path())
        existing = existing.parent_path();
    if (!fs::is_directory(existing, ec))
        fail("the jobs cannot write " + what + " " + folder.string() + ": " + existing.string() +
             " is a file, not a folder; choose another folder");
    if (::access(existing.c_str(), W_OK | X_OK) != 0)
        fail("the jobs cannot write " + what + " " + folder.string() + ": " + existing.string() +
             " is not writable by " + (std::getenv("USER") ? std::getenv("USER") : "this user") +
             "; choose another folder or change its permissions");
}

// The folder's path goes into #SBATCH lines, which take no quoting, and into Slurm's log name
// patterns, where % is special.
void checkJobFolder(const fs::path& folder) {
    for (char c : folder.string())
        if (std::isspace(static_cast<unsigned char>(c)) || c == '%' || c == '\'' || c == '"' ||
            c == '\\' || std::iscntrl(static_cast<unsigned char>(c)))
            fail("the job folder " + folder.string() +
                 " holds a space, quote, backslash or % that Slurm cannot take in a log path: "
                 "write the output into a folder without them");
}

// A job name from the script's name: letters, digits, '.', '_' and '-'.
std::string jobName(const fs::path& script) {
    std::string name = "kestrel-";
    for (char c : script.stem().string())
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-'
                    ? c
                    : '_';
    return name;
}

void writeAtomically(const fs::path& path, const std::string& text, bool executable) {
    const fs::path tmp =
        path.parent_path() / ("." + path.filename().string() + ".tmp" + std::to_string(::getpid()));
    {
        std::ofstream f(tmp);
        f << text;
        f.close();
        if (!f) {
            std::error_code ec;
            fs::remove(tmp, ec);
            fail("cannot write " + path.string() + ": check the folder is writable and not full");
        }
    }
    if (executable) ::chmod(tmp.c_str(), 0755);
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        fail("cannot write " + path.string() + ": " + ec.message());
    }
}

std::vector<int> range(int first, int last) {
    std::vector<int> frames;
    for (int f = first; f <= last; ++f) frames.push_back(f);
    return frames;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
    return text;
}

// The files of the Write nodes of the loaded script at a frame: one per view when the path
// names the view.
std::vector<std::string> filesAt(const std::vector<Kx::Image::Node*>& writes, int frame) {
    std::vector<std::string> files;
    for (Kx::Image::Node* w : writes) {
        const IO::PathPattern pattern(w->knob("file")->text());
        if (!pattern.hasView()) {
            files.push_back(pattern.expand(frame));
            continue;
        }
        for (int v = 1; v < Kx::Image::OutputContext::viewcount(); ++v)
            files.push_back(pattern.expand(frame, Kx::Image::OutputContext::viewname(v)));
    }
    return files;
}

// The Write nodes of the loaded script that have a file to write.
std::vector<Kx::Image::Node*> writesOf(const std::string& script) {
    std::vector<Kx::Image::Node*> writes;
    for (const auto& n : Python::Session::current().graph().nodes())
        if (std::string(n->Class()) == "Write" && n->knob("file") &&
            !n->knob("file")->text().empty())
            writes.push_back(n.get());
    if (writes.empty()) fail("the script " + script + " has no Write node with a file to render");
    return writes;
}

} // namespace

FarmCommand::FarmCommand(CLI::App& app, CLI::App& align) : _app(app) {
    _farm = app.add_subcommand("farm", "Render a shot on a Slurm cluster: analyse it once, "
                                       "render its chunks as a job array, check the frames");
    _farm->require_subcommand(1);

    _submit = _farm->add_subcommand(
        "submit", "Submit a shot: kestrel farm submit PLATE... -o OUTPUT --chunk N, or "
                  "kestrel farm submit SCRIPT --chunk N to render a saved script again");
    _submit
        ->add_option("INPUT", _inputs,
                     "A multi-view plate, a left and a right plate, or a saved script")
        ->required()
        ->expected(1, 2);
    _submit->add_option("-o,--output", _output,
                        "Output image or sequence of the aligned views (plates only)");
    _submit->add_option("--chunk", _chunk, "Frames per render task")->required();
    _submit->add_option("--frames", _frames,
                        "Frames of the shot: 1-100, 1-3,5,7-20x2 (default: the plate's or the "
                        "script's frame range)");
    _submit->add_option("--script", _script,
                        "The script the analysis saves (default aligned.kscript beside the "
                        "output)");
    _submit->add_option("--partition", _partition,
                        "Slurm partition of every job (default: the cluster's)");
    _submit
        ->add_option("--slurm-opt", _slurmOptions,
                     "An sbatch option for every job, written with =: "
                     "--slurm-opt=--time=2:00:00 (repeatable)")
        ->allow_extra_args(false);
    _submit->add_flag("--dry-run", _dryRun,
                      "Print the job scripts and sbatch commands; submit and write nothing");
    // align's own options, passed through to the analysis job unchanged.
    for (CLI::Option* o : align.get_options()) {
        if (!o->nonpositional() || o == align.get_help_ptr()) continue;
        const auto& lnames = o->get_lnames();
        if (std::any_of(lnames.begin(), lnames.end(),
                        [](const std::string& l) { return kOwnAlignOptions.count(l) > 0; }))
            continue;
        const std::string description = o->get_description();
        CLI::Option* mirror = o->get_expected_max() == 0
                                  ? _submit->add_flag(namesOf(*o), description)
                                  : _submit->add_option(namesOf(*o), description)
                                        ->type_size(o->get_type_size_min(), o->get_type_size_max())
                                        ->expected(o->get_expected_min(), o->get_expected_max())
                                        ->allow_extra_args(o->get_allow_extra_args())
                                        ->multi_option_policy(o->get_multi_option_policy());
        mirror->group("Align options (for the analysis job)");
        _alignOptions.emplace_back(mirror, o);
    }

    _check = _farm->add_subcommand(
        "check", "Check that every frame of a shot is on disk and say which chunks to re-run "
                 "(the final job of a submission)");
    _check->add_option("SCRIPT", _script, "The shot's script")->required();
    _check->add_option("--frames", _frames, "Frames of the shot")->required();
    _check->add_option("--chunk", _chunk, "Frames per render task")->required();
    _check->add_option("--render-job", _renderJob, "The render job array's script, to re-run");
    _check->add_option("--report", _report, "Write the report as JSON here");
}

int FarmCommand::run(std::ostream& out) {
    if (_submit->parsed()) return submit(out);
    return check(out);
}

std::vector<std::string> FarmCommand::globalArguments() const {
    std::vector<std::string> args;
    for (const CLI::Option* o : _app.get_options())
        if (o->nonpositional() && o != _app.get_help_ptr() && o != _app.get_help_all_ptr())
            appendArguments(*o, args);
    return args;
}

std::vector<std::string> FarmCommand::alignArguments() const {
    std::vector<std::string> args;
    for (const auto& [mirror, own] : _alignOptions) appendArguments(*mirror, args);
    return args;
}

void FarmCommand::checkAlignValues() {
    for (const auto& [mirror, own] : _alignOptions) {
        if (mirror->count() == 0 || mirror->get_expected_max() == 0) continue;
        try {
            own->clear();
            for (const std::string& value : mirror->results()) own->add_result(value);
            own->run_callback();
        } catch (const CLI::Error& e) {
            fail(namesOf(*mirror) + ": " + e.what());
        }
    }
}

FarmCommand::Shot FarmCommand::shotFromScript() {
    Shot shot;
    const std::vector<std::string> alignArgs = alignArguments();
    if (!_output.empty() || !_script.empty() || !alignArgs.empty())
        fail(std::string(!_output.empty()   ? "-o"
                         : !_script.empty() ? "--script"
                                            : alignArgs.front()) +
             " is for plates: a saved script keeps its analysis and writes where its Write "
             "nodes say; leave it out, or submit the plates with -o OUTPUT");
    shot.script = fs::absolute(_inputs[0]);
    Python::Session& session = Python::Session::current();
    session.load(shot.script.string());
    shot.frames = _frames.empty()
                      ? range(int(session.graph().firstFrame), int(session.graph().lastFrame))
                      : IO::parseFrameList(_frames);
    for (Kx::Image::Node* w : writesOf(shot.script.string()))
        shot.outputFolders.push_back(fs::absolute(w->knob("file")->text()).parent_path());
    return shot;
}

FarmCommand::Shot FarmCommand::shotFromPlates() {
    Shot shot;
    if (_output.empty()) fail("no output: give one with -o, such as -o aligned/shot_%V.####.exr");
    int first = 0, last = 0;
    for (size_t i = 0; i < _inputs.size(); ++i) {
        const std::vector<int> have = IO::framesOnDisk(_inputs[i]);
        first = i == 0 ? have.front() : std::min(first, have.front());
        last = i == 0 ? have.back() : std::max(last, have.back());
    }
    shot.frames = range(first, last);
    if (!_frames.empty()) {
        shot.frames = IO::parseFrameList(_frames);
        std::vector<int> outside;
        for (int f : shot.frames)
            if (f < first || f > last) outside.push_back(f);
        if (!outside.empty())
            fail("frames " + Kestrel::IO::formatFrameList(outside) + " of --frames " + _frames +
                 " are outside the plate (frames " + std::to_string(first) + "-" +
                 std::to_string(last) + ")");
    }
    const fs::path output = fs::absolute(_output);
    shot.script = _script.empty()                       ? output.parent_path() / "aligned.kscript"
                  : fs::path(_script).has_parent_path() ? fs::absolute(_script)
                                                        : output.parent_path() / _script;
    shot.outputFolders = {output.parent_path(), shot.script.parent_path()};
    shot.analysis.args = {"align"};
    for (const std::string& p : _inputs) shot.analysis.args.push_back(fs::absolute(p).string());
    shot.analysis.args.insert(shot.analysis.args.end(), {"-o", output.string()});
    const std::vector<std::string> alignArgs = alignArguments();
    shot.analysis.args.insert(shot.analysis.args.end(), alignArgs.begin(), alignArgs.end());
    if (!_frames.empty())
        shot.analysis.args.insert(shot.analysis.args.end(), {"--frames", _frames});
    shot.analysis.args.insert(shot.analysis.args.end(),
                              {"--analyse-only", "--script", shot.script.string()});
    return shot;
}

int FarmCommand::submit(std::ostream& out) {
    if (_chunk < 1)
        fail("--chunk must be 1 or more frames, not " + std::to_string(_chunk) +
             ": give the number of frames each render task renders, such as --chunk 10");
    for (const std::string& o : _slurmOptions)
        if (o.size() < 2 || o[0] != '-' || std::any_of(o.begin(), o.end(), [](char c) {
                return std::iscntrl(static_cast<unsigned char>(c));
            }))
            fail("--slurm-opt \"" + o +
                 "\" is not an sbatch option: write it with =, such as "
                 "--slurm-opt=--time=2:00:00");

    checkAlignValues();
    const bool fromScript = _inputs.size() == 1 && isScript(_inputs[0]);
    if (_inputs.size() == 1 && !fromScript && fs::path(_inputs[0]).extension() == ".kscript")
        fail(fs::exists(_inputs[0])
                 ? _inputs[0] + " is not a kestrel script"
                 : "the script " + _inputs[0] +
                       " does not exist: give a saved script, or plates with -o OUTPUT");

    const Shot shot = fromScript ? shotFromScript() : shotFromPlates();
    const std::vector<int>& frames = shot.frames;
    const fs::path& scriptPath = shot.script;
    Farm::Command analysis = shot.analysis;
    JobSettings jobs;
    jobs.name = jobName(scriptPath);
    jobs.folder = (scriptPath.parent_path() / (scriptPath.stem().string() + ".farm")).string();
    jobs.partition = _partition;
    jobs.slurmOptions = _slurmOptions;
    checkJobFolder(jobs.folder);
    if (_partition.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789._-") != std::string::npos)
        fail("--partition \"" + _partition +
             "\" is not a partition name: see sinfo for the cluster's partitions");
    for (const fs::path& folder : shot.outputFolders) checkWritable(folder, "the output folder");
    checkWritable(jobs.folder, "the job folder");

    // Every job runs this kestrel with the global options it was given.
    Farm::Command common;
    std::error_code ec;
    common.program = fs::read_symlink("/proc/self/exe", ec).string();
    if (ec) fail("cannot find the kestrel program for the jobs: " + ec.message());
    common.globals = globalArguments();
    const CLI::Option* threads = _app.get_option_no_throw("--threads");
    common.threadsFromSlurm = !threads || threads->count() == 0;
    analysis.program = common.program;
    analysis.globals = common.globals;
    analysis.threadsFromSlurm = common.threadsFromSlurm;
    Farm::Command render = common;
    render.args = {"render", scriptPath.string()};
    Farm::Command check = common;
    check.threadsFromSlurm = false;
    const std::vector<std::vector<int>> chunks = Farm::chunkFrames(frames, _chunk);
    check.args = {"farm",
                  "check",
                  scriptPath.string(),
                  "--frames",
                  Kestrel::IO::formatFrameList(frames),
                  "--chunk",
                  std::to_string(_chunk),
                  "--render-job",
                  Farm::renderScriptPath(jobs),
                  "--report",
                  Farm::reportPath(jobs)};

    struct Job {
        std::string what, path, text;
        std::vector<std::string> options; // sbatch options given at submission
    };
    // The render array starts when the analysis succeeded, and is dropped when it failed; the
    // check runs however the chunks ended, to say which frames are missing.
    std::vector<Job> jobList;
    if (!fromScript)
        jobList.push_back({"analysis job",
                           Farm::analysisScriptPath(jobs),
                           Farm::analysisScript(jobs, analysis),
                           {}});
    jobList.push_back({"render job array", Farm::renderScriptPath(jobs),
                       Farm::renderScript(jobs, chunks, render),
                       fromScript ? std::vector<std::string>{}
                                  : std::vector<std::string>{"--dependency=afterok:$ANALYSIS",
                                                             "--kill-on-invalid-dep=yes"}});
    jobList.push_back({"check job",
                       Farm::checkScriptPath(jobs),
                       Farm::checkScript(jobs, check),
                       {"--dependency=afterany:$RENDER"}});

    const std::string summary = Kestrel::IO::formatFrameList(frames) + " in " +
                                std::to_string(chunks.size()) +
                                (chunks.size() == 1 ? " chunk" : " chunks") + " of up to " +
                                std::to_string(_chunk) + (_chunk == 1 ? " frame" : " frames");
    if (_dryRun) {
        out << "# kestrel farm submit --dry-run: frames " << summary << "; nothing was submitted\n";
        for (const Job& j : jobList) {
            out << "\n# ---- " << j.path << " (" << j.what << ") ----\n" << j.text;
        }
        out << "\n# ---- submitted with ----\n";
        const char* variables[] = {"ANALYSIS", "RENDER", "CHECK"};
        for (size_t i = 0; i < jobList.size(); ++i) {
            out << variables[i + (fromScript ? 1 : 0)] << "=$(sbatch --parsable";
            for (const std::string& o : jobList[i].options) out << " " << o;
            out << " " << jobList[i].path << ")\n";
        }
        return 0;
    }

    // The cluster must answer, know the partition and accept the jobs as written.
    const std::vector<std::string> names = Farm::partitions();
    if (!_partition.empty() && std::find(names.begin(), names.end(), _partition) == names.end())
        fail("the partition \"" + _partition +
             "\" does not exist on this cluster: its partitions "
             "are " +
             joined(names, ", ") + " (see sinfo)");
    Farm::testSubmission(jobList.front().text, jobList.front().what);

    fs::create_directories(jobs.folder, ec);
    if (ec) fail("cannot make the job folder " + jobs.folder + ": " + ec.message());
    for (const Job& j : jobList) writeAtomically(j.path, j.text, true);

    std::vector<std::string> ids;
    try {
        for (Job& j : jobList) {
            for (std::string& o : j.options) {
                const auto dollar = o.find('$');
                if (dollar != std::string::npos) o = o.substr(0, dollar) + ids.back();
            }
            ids.push_back(Farm::submit(j.path, j.options));
        }
    } catch (const std::exception& e) {
        Farm::cancel(ids);
        fail(std::string(e.what()) + (ids.empty() ? ""
                                                  : " (the jobs already submitted, " +
                                                        joined(ids, ", ") + ", were cancelled)"));
    }

    out << "submitted " << scriptPath.filename().string() << ": frames " << summary << "\n";
    size_t i = 0;
    if (!fromScript)
        out << "  analysis job " << ids[i++] << ", log " << jobs.folder << "/analyse_" << ids[0]
            << ".log\n";
    const std::string renderId = ids[i++];
    out << "  render job " << renderId << ", array 1-" << chunks.size() << ", logs " << jobs.folder
        << "/render_" << renderId << "_N.log\n";
    out << "  check job " << ids[i] << ", log " << jobs.folder << "/check_" << ids[i]
        << ".log, report " << Farm::reportPath(jobs) << "\n";
    out << "  progress: squeue --jobs " << joined(ids, ",") << "\n";
    out << "  re-run chunk N alone: sbatch --array=N " << Farm::renderScriptPath(jobs) << "\n";
    return 0;
}

int FarmCommand::check(std::ostream& out) {
    if (_chunk < 1) fail("--chunk must be 1 or more frames, not " + std::to_string(_chunk));
    const std::vector<int> frames = IO::parseFrameList(_frames);
    const auto chunks = Farm::chunkFrames(frames, _chunk);
    nlohmann::json report;
    report["script"] = _script;
    report["frames"] = Kestrel::IO::formatFrameList(frames);
    report["chunk"] = _chunk;
    report["chunks"] = chunks.size();
    const auto writeReport = [&] {
        if (!_report.empty()) writeAtomically(_report, report.dump(2) + "\n", false);
    };
    if (!fs::exists(_script)) {
        report["complete"] = false;
        report["error"] = "the script does not exist: the analysis did not save it";
        writeReport();
        fail("the script " + _script +
             " does not exist: the analysis job did not save it; see its log (analyse_JOB.log) "
             "beside the report, fix the cause and submit again");
    }
    Python::Session::current().load(_script);
    const std::vector<Kx::Image::Node*> writes = writesOf(_script);

    std::vector<int> missingFrames;
    std::set<size_t> missingChunks;
    size_t files = 0;
    report["missing"] = nlohmann::json::array();
    std::map<fs::path, std::set<std::string>> expected; // folder: file names
    for (size_t c = 0; c < chunks.size(); ++c)
        for (int f : chunks[c]) {
            std::vector<std::string> absent;
            for (const std::string& file : filesAt(writes, f)) {
                ++files;
                expected[fs::path(file).parent_path()].insert(fs::path(file).filename().string());
                std::error_code ec;
                if (!fs::is_regular_file(file, ec) || fs::file_size(file, ec) == 0)
                    absent.push_back(file);
            }
            if (absent.empty()) continue;
            missingFrames.push_back(f);
            missingChunks.insert(c + 1);
            report["missing"].push_back({{"frame", f}, {"chunk", c + 1}, {"files", absent}});
        }
    // A task killed outright (a machine lost, SIGKILL) leaves the image it was writing under its
    // temporary name, ".NAME.tmp...", never under NAME. They are listed, not removed: a task
    // rendering those frames again elsewhere may be writing them right now.
    std::vector<std::string> partial;
    for (const auto& [folder, names] : expected) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            const std::string name = e.path().filename().string();
            const auto tmp = name.rfind(".tmp");
            if (name.size() > 1 && name[0] == '.' && tmp != std::string::npos &&
                names.count(name.substr(1, tmp - 1)))
                partial.push_back(e.path().string());
        }
    }
    std::sort(partial.begin(), partial.end());
    report["partialFiles"] = partial;
    report["files"] = files;
    report["complete"] = missingFrames.empty();
    report["missingFrames"] = Kestrel::IO::formatFrameList(missingFrames);
    std::vector<std::string> rerun;
    for (size_t c : missingChunks) rerun.push_back(std::to_string(c));
    if (!rerun.empty() && !_renderJob.empty())
        report["rerun"] = "sbatch --array=" + joined(rerun, ",") + " " + _renderJob;
    writeReport();

    if (missingFrames.empty()) {
        out << "all " << frames.size() << " frames of " << _script << " are written (" << files
            << " files, " << chunks.size() << (chunks.size() == 1 ? " chunk" : " chunks") << ")\n";
    } else {
        out << "frames " << Kestrel::IO::formatFrameList(missingFrames) << " of " << _script
            << " are missing, in chunk" << (rerun.size() == 1 ? " " : "s ") << joined(rerun, ", ")
            << "\n";
        for (const auto& m : report["missing"])
            out << "  frame " << m["frame"].get<int>() << ": " << m["files"][0].get<std::string>()
                << (m["files"].size() > 1
                        ? " and " + std::to_string(m["files"].size() - 1) + " more"
                        : std::string())
                << "\n";
        if (report.contains("rerun"))
            out << "  re-run them: " << report["rerun"].get<std::string>() << "\n";
    }
    if (!partial.empty())
        out << "  " << partial.size() << " partial file" << (partial.size() == 1 ? "" : "s")
            << " left by killed tasks, such as " << partial.front()
            << ": delete them once no task renders their frames\n";
    if (!_report.empty()) out << "  report " << _report << "\n";
    return missingFrames.empty() ? 0 : 1;
}

Command farmCommand(CLI::App& app, CLI::App& align) {
    auto farm = std::make_shared<FarmCommand>(app, align);
    return {app.get_subcommand("farm"), [farm] { return farm->run(std::cout); }};
}

} // namespace Kestrel
