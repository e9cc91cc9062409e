// kestrel: the command-line host. Loads the plug-ins of the folder beside the executable
// (build/plugins next to build/bin) and of --plugin-path, sets the render cache's memory
// budget (--cache-memory) and what Reads do with missing frames (--missing-frames), then
// runs one subcommand:
//   render SCRIPT [--frames LIST] [--views LIST] [--node NAME]
//   execute SCRIPT NODE [--frames LIST]
//   press SCRIPT NODE.KNOB [ACTION] [--frame F] [--save PATH]
//   python FILE [ARGS...]
//   info SCRIPT NODE [--json] | info --class CLASS [--json]
//   plugins
//   view SCRIPT NODE -o PNG [--frame F] [--view V] [--proxy S] [--no-overlays]
//        [--event EVENT]... [--save PATH]
//   farm submit|check ...  (a shot on a Slurm cluster: farm/Farm.h)
// Every failure ends in one message on standard error and a non-zero exit code (a Python error
// shows its traceback); Ctrl-C interrupts renders, executions and Python cleanly.
#include "Align.h"
#include "KeyControlPress.h"
#include "Progress.h"
#include "View.h"
#include "farm/Farm.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/IOError.h>
#include <Kestrel/IO/PathPattern.h>
#include <Kestrel/Python/Interpreter.h>
#include <Kestrel/Python/KeyFrameControl.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Op.h>
#include <Kx/Image/Plugins.h>
#include <Kx/Image/Question.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;
using namespace Kx::Image;
using Kestrel::Python::Session;
using Kestrel::Python::SessionError;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitInterrupted = 130;

void onInterrupt(int) {
    Engine::interruptAll();
    Kestrel::Python::interruptPython();
}

fs::path executableFolder() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

void loadPlugins(const std::vector<std::string>& extra) {
    fs::path beside = executableFolder().parent_path() / "plugins";
    if (fs::is_directory(beside)) Plugins::loadFolder(beside.string());
    for (const auto& p : extra) {
        if (fs::is_directory(p))
            Plugins::loadFolder(p);
        else
            Plugins::load(p);
    }
}

int listPlugins() {
    std::map<std::string, std::vector<std::string>> classes;
    for (const Op::Description* d : Op::Description::all())
        classes[d->file.empty() ? std::string("(built in)") : d->file].push_back(d->name);
    for (const auto& file : Plugins::loaded()) {
        std::cout << file << "\n";
        for (const auto& c : classes[file]) std::cout << "  " << c << "\n";
    }
    if (!classes["(built in)"].empty()) {
        std::cout << "(built in)\n";
        for (const auto& c : classes["(built in)"]) std::cout << "  " << c << "\n";
    }
    for (const auto& f : Plugins::failures())
        std::cout << "failed to load " << f.file << ": " << f.reason << "\n";
    return 0;
}

std::vector<double> toFrames(const std::vector<int>& frames) {
    return {frames.begin(), frames.end()};
}

// The frames of --frames, or first..last when it was not given.
std::vector<double> framesOption(const std::string& list, int first, int last) {
    if (!list.empty()) return toFrames(Kestrel::IO::parseFrameList(list));
    std::vector<double> frames;
    for (int f = first; f <= last; ++f) frames.push_back(f);
    return frames;
}

Kestrel::Python::ProgressFn progressOn(std::unique_ptr<Kestrel::Progress>& bar,
                                       const std::string& task, size_t total) {
    bar = std::make_unique<Kestrel::Progress>(task, int(total));
    return [&bar](int done, int) { bar->update(done); };
}

// The files a Write writes at the frames: one per frame, or one per frame and view when its
// pattern names the view.
std::vector<std::string> filesOf(Node& write, const std::vector<double>& frames,
                                 const std::vector<std::string>& views) {
    std::vector<std::string> files;
    const Knob* file = write.knob("file");
    if (!file) return files;
    const Kestrel::IO::PathPattern pattern(file->text());
    std::vector<std::string> names = views;
    if (names.empty())
        for (int v = 1; v < OutputContext::viewcount(); ++v)
            names.push_back(OutputContext::viewname(v));
    for (double f : frames) {
        if (!pattern.hasView()) {
            files.push_back(pattern.expand(int(std::lround(f))));
            continue;
        }
        for (const std::string& v : names) files.push_back(pattern.expand(int(std::lround(f)), v));
    }
    return files;
}

int render(const std::string& script, const std::string& frameList, const std::string& viewList,
           const std::string& nodeName, const std::string& missingFrames) {
    Session& s = Session::current();
    s.load(script);
    if (!missingFrames.empty()) s.setMissingFrames(missingFrames);
    std::vector<Node*> writes;
    if (!nodeName.empty()) writes.push_back(&s.node(nodeName));
    auto frames = framesOption(frameList, int(s.graph().firstFrame), int(s.graph().lastFrame));
    std::vector<std::string> views;
    if (!viewList.empty()) views = Kestrel::Python::parseViewList(viewList);
    std::unique_ptr<Kestrel::Progress> bar;
    size_t writeCount = writes.size();
    if (writes.empty())
        for (const auto& n : s.graph().nodes()) writeCount += std::string(n->Class()) == "Write";
    auto progress =
        progressOn(bar, "render " + script, frames.size() * std::max<size_t>(writeCount, 1));
    try {
        s.render(writes, frames, views, progress);
    } catch (...) {
        bar->finish(Engine::interrupted() ? "interrupted" : "failed");
        throw;
    }
    bar->finish();
    if (writes.empty())
        for (const auto& n : s.graph().nodes())
            if (std::string(n->Class()) == "Write") writes.push_back(n.get());
    for (Node* w : writes)
        for (const std::string& f : filesOf(*w, frames, views)) std::cout << "wrote " << f << "\n";
    return 0;
}

int execute(const std::string& script, const std::string& nodeName, const std::string& frameList,
            const std::string& missingFrames) {
    Session& s = Session::current();
    s.load(script);
    if (!missingFrames.empty()) s.setMissingFrames(missingFrames);
    Node& node = s.node(nodeName);
    auto [first, last] = s.frameRange(node);
    auto frames = framesOption(frameList, first, last);
    std::unique_ptr<Kestrel::Progress> bar;
    auto progress = progressOn(bar, "execute " + nodeName, frames.size());
    try {
        s.execute(node, frames, progress);
    } catch (...) {
        bar->finish(Engine::interrupted() ? "interrupted" : "failed");
        throw;
    }
    bar->finish();
    return 0;
}

int press(const std::string& script, const std::string& target, const std::string& savePath,
          const std::string& action, std::optional<double> frame) {
    const auto dot = target.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size())
        throw SessionError("\"" + target +
                           "\" is not NODE.KNOB: name the node and its button, "
                           "such as VerticalAligner1.analyse");
    Session& s = Session::current();
    s.load(script);
    Node& node = s.node(target.substr(0, dot));
    Knob* knob = node.knob(target.substr(dot + 1));
    if (!knob)
        throw SessionError(node.name() + " has no knob " + target.substr(dot + 1) +
                           ": `kestrel info " + script + " " + node.name() + "` lists its knobs");
    if (knob->kind() == KnobKind::KeyFrameControl) {
        Kestrel::pressKeyControl(*knob, action, frame, std::cout);
    } else {
        if (!action.empty())
            throw SessionError(
                node.name() + "." + knob->name() + " is pressed without an action; " +
                "only a key-frame control takes one (" + Kestrel::Python::keyActionWords() + ")");
        // The button acts at the frame the user stands on.
        if (frame) s.setFrame(Kestrel::checkedFrameOption(*frame));
        s.press(*knob);
    }
    if (!savePath.empty()) s.save(savePath);
    return 0;
}

std::string flagNames(const Knob& k) {
    static const std::pair<FlagMask, const char*> names[] = {
        {KnobFlag::Slider, "slider"},
        {KnobFlag::LogSlider, "log_slider"},
        {KnobFlag::Clamp, "clamp"},
        {KnobFlag::NoAnimation, "no_animation"},
        {KnobFlag::DoNotWrite, "do_not_write"},
        {KnobFlag::Invisible, "invisible"},
        {KnobFlag::StartLine, "start_line"},
        {KnobFlag::NoRerender, "no_rerender"},
        {KnobFlag::NoHandles, "no_handles"},
        {KnobFlag::AlwaysCallChanged, "always_call_changed"},
        {KnobFlag::Hidden, "hidden"},
        {KnobFlag::NoUndo, "no_undo"},
        {KnobFlag::RecursiveChanged, "recursive_changed"},
        {KnobFlag::NoCurveEditor, "no_curve_editor"},
        {KnobFlag::NoViewSplit, "no_view_split"},
        {KnobFlag::EarlyStore, "early_store"},
        {KnobFlag::NoPresets, "no_presets"},
    };
    std::string out;
    for (auto [f, name] : names)
        if (k.flag(f)) out += (out.empty() ? "" : " ") + std::string(name);
    if (!k.isEnabled()) out += (out.empty() ? "" : " ") + std::string("disabled");
    return out;
}

// The knobs of a node in declaration order (the host's own two and unnamed ones left out).
int info(Node& node, bool json) {
    nlohmann::json list = nlohmann::json::array();
    for (Knob* k : node.knobs()) {
        if (k->name().empty() || k->name() == Knob::kShowPanel || k->name() == Knob::kInputChange)
            continue;
        nlohmann::json j;
        j["name"] = k->name();
        j["label"] = k->label();
        j["kind"] = Kestrel::Python::knobKindName(k->kind());
        j["value"] = k->scriptText(false);
        j["default"] = !k->not_default();
        if (k->hasRange()) j["range"] = {k->rangeLow(), k->rangeHigh()};
        if (!k->items().empty()) j["items"] = k->items();
        j["flags"] = flagNames(*k);
        if (k->kind() == KnobKind::KeyFrameControl) j["keys"] = Kestrel::Python::controlKeys(*k);
        list.push_back(j);
    }
    if (json) {
        nlohmann::json out;
        out["node"] = node.name();
        out["class"] = node.Class();
        out["knobs"] = list;
        std::cout << out.dump(2) << "\n";
        return 0;
    }
    std::cout << node.name() << " (" << node.Class() << ")\n";
    for (const auto& j : list) {
        std::string value = j["value"];
        if (value.find('\n') != std::string::npos)
            value = "(" + std::to_string(std::count(value.begin(), value.end(), '\n')) +
                    " lines of text)";
        if (j.contains("items")) {
            // An enumeration shows the item its value chooses.
            const auto& items = j["items"];
            char* end = nullptr;
            const long index = std::strtol(value.c_str(), &end, 10);
            if (end && *end == '\0' && index >= 0 && size_t(index) < items.size())
                value += " (" + items[size_t(index)].get<std::string>() + ")";
        }
        std::cout << "  " << std::string(j["name"]) << "  \"" << std::string(j["label"]) << "\"  "
                  << std::string(j["kind"]) << "  = " << value
                  << (j["default"].get<bool>() ? " (default)" : "");
        if (j.contains("range"))
            std::cout << "  range " << j["range"][0].get<double>() << " to "
                      << j["range"][1].get<double>();
        if (!std::string(j["flags"]).empty()) std::cout << "  [" << std::string(j["flags"]) << "]";
        if (j.contains("keys")) {
            std::cout << "  keys:";
            for (double key : j["keys"]) std::cout << " " << key;
            if (j["keys"].empty()) std::cout << " none";
        }
        std::cout << "\n";
    }
    return 0;
}

int info(const std::string& script, const std::string& nodeName, const std::string& className,
         bool json) {
    Session& s = Session::current();
    if (!className.empty()) {
        if (!script.empty() || !nodeName.empty())
            throw SessionError("info takes either SCRIPT NODE or --class CLASS, not both");
        Node* node = s.createNode(className, className + "_defaults");
        int result = info(*node, json);
        s.deleteNode(node);
        return result;
    }
    if (script.empty() || nodeName.empty())
        throw SessionError("info needs SCRIPT NODE, or --class CLASS for a class's defaults");
    s.load(script);
    return info(s.node(nodeName), json);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    CLI::App app{"kestrel: the command-line compositing host"};
    app.require_subcommand(1);
    // Options of kestrel itself (--threads, --cache-memory, ...) may also follow the command.
    app.fallthrough();
    std::vector<std::string> pluginPaths;
    app.add_option("--plugin-path", pluginPaths, "Extra plug-in files or folders to load");
    bool yes = false, no = false;
    auto* yesFlag = app.add_flag("--yes", yes, "Answer yes to every question the nodes ask");
    app.add_flag("--no", no, "Answer no to every question the nodes ask")->excludes(yesFlag);
    unsigned threads = 0;
    app.add_option("--threads", threads, "Render threads (default: one per CPU)");
    std::string cacheMemory, missingFrames;
    app.add_option("--cache-memory", cacheMemory,
                   "Memory budget of the render cache: 4G, 512M, or 25% of the machine "
                   "(default 25%)");
    app.add_option("--missing-frames", missingFrames,
                   "What a Read does with a frame missing on disk or outside its range: error "
                   "(default), black or hold");

    std::string script, nodeName, frames, views, target, savePath, file, className;
    bool json = false;
    std::vector<std::string> pyArgs;

    auto* renderCmd = app.add_subcommand("render", "Render the script's Write nodes");
    renderCmd->add_option("SCRIPT", script, "The script file")->required();
    renderCmd->add_option("--frames", frames, "Frames, as farms write them: 1-100, 1-3,5,7-20x2");
    renderCmd->add_option("--views", views, "Views to write, such as left,right (default: all)");
    renderCmd->add_option("--node", nodeName, "The one Write node to render");

    auto* executeCmd = app.add_subcommand("execute", "Run a node's frame work over frames");
    executeCmd->add_option("SCRIPT", script, "The script file")->required();
    executeCmd->add_option("NODE", nodeName, "The node to execute")->required();
    executeCmd->add_option("--frames", frames, "Frames (default: the node's frame range)");

    auto* pressCmd = app.add_subcommand("press", "Press a button of a node (runs its Python)");
    pressCmd->add_option("SCRIPT", script, "The script file")->required();
    pressCmd->add_option("NODE.KNOB", target, "The node and its button")->required();
    pressCmd->add_option("--save", savePath, "Save the script here afterwards");
    std::string keyAction;
    double pressFrame = 0;
    pressCmd->add_option("ACTION", keyAction,
                         "For a key-frame control (such as metaAnalysisKeys): add, delete, next "
                         "or previous");
    auto* pressFrameOption = pressCmd->add_option(
        "--frame", pressFrame, "The frame to act at (default: the script's current frame)");

    auto* pythonCmd = app.add_subcommand("python", "Run a Python file with the kestrel module");
    pythonCmd->add_option("FILE", file, "The Python file")->required();
    pythonCmd->add_option("ARGS", pyArgs, "Arguments for the file (sys.argv[1:])");
    // Everything after FILE is the Python file's own, never kestrel's.
    pythonCmd->prefix_command();
    pythonCmd->fallthrough(false);

    auto* infoCmd = app.add_subcommand("info", "List a node's knobs in declaration order");
    infoCmd->add_option("SCRIPT", script, "The script file");
    infoCmd->add_option("NODE", nodeName, "The node");
    infoCmd->add_option("--class", className, "List the knobs and defaults of a node class");
    infoCmd->add_flag("--json", json, "Print JSON");

    Kestrel::AlignOptions align;
    std::vector<std::string> plates;
    std::string fixPoint;
    auto* alignCmd = app.add_subcommand(
        "align", "Align the two views of a stereo plate: kestrel align LEFT [RIGHT] -o OUTPUT");
    alignCmd
        ->add_option("PLATE", plates,
                     "A multi-view plate, or a left and a right plate (files or sequences "
                     "with #### or %04d)")
        ->expected(0, 2);
    alignCmd->add_flag("--demo", align.demo,
                       "Align the built-in synthetic plate with a known misalignment");
    alignCmd
        ->add_option("-o,--output", align.output,
                     "Output image or sequence; %V writes one file per view")
        ->required();
    alignCmd->add_option("--report", align.report, "Also write the report as JSON here");
    alignCmd->add_option("--contact-sheet", align.contactSheet,
                         "Write a PNG of red/cyan anaglyphs before and after");
    alignCmd->add_option("--preset", align.preset,
                         "Transform, Match Camera, Keystone Only or Full (default)");
    alignCmd->add_option("--space", align.space, "Rectilinear (default) or Spherical");
    alignCmd->add_option("--views", align.views, "The two views of a multi-view plate: left,right");
    alignCmd->add_option("--filter", align.filter, "Resampling filter (default Lanczos6)");
    alignCmd->add_option("--frames", align.frames, "Frames to align: 1-100, 1-3,5,7-20x2");
    alignCmd->add_option("--key-step", align.keyStep, "Frames between analysis keys (default 10)");
    alignCmd->add_flag("--zoom", align.zoom, "Zoom both views to keep black out of frame");
    alignCmd->add_option("--fix-point", fixPoint,
                         "Keep the input parallax at this output point: x,y in pixels");
    alignCmd->add_flag("--disparity", align.disparity, "Also write the aligned disparity");
    alignCmd->add_flag("--local", align.local, "Also correct locally, with measured disparity");
    alignCmd->add_flag("--stmap", align.stmap,
                       "Also write the STMap of the correction (stitch_map.u, stitch_map.v)");
    alignCmd->add_flag("--analyse-only", align.analyseOnly,
                       "Analyse the whole range and save the script, render nothing: render "
                       "chunks of it later with kestrel render SCRIPT --frames A-B");
    alignCmd->add_option("--script", align.script,
                         "The saved script's name (default aligned.kscript beside the output)");
    alignCmd->add_option("--datatype", align.datatype,
                         "OpenEXR colour: half (default) or float; data channels are always "
                         "32-bit float");
    alignCmd->add_option("--compression", align.compression,
                         "OpenEXR: none, rle, zips, zip (default), piz, pxr24, b44, b44a, dwaa, "
                         "dwab; TIFF: none, lzw, zip");
    alignCmd->add_flag("--overscan", align.overscan,
                       "Keep the data window beyond the frame (default: crop to the format)");

    Kestrel::ViewOptions viewOptions;
    double viewFrame = 0;
    bool noOverlays = false;
    auto* viewCmd = app.add_subcommand(
        "view", "Write what the viewer shows of a node, overlays included, as a PNG");
    viewCmd->add_option("SCRIPT", viewOptions.script, "The script file")->required();
    viewCmd->add_option("NODE", viewOptions.node, "The node to view")->required();
    viewCmd->add_option("-o,--output", viewOptions.output, "The PNG to write")->required();
    auto* viewFrameOption =
        viewCmd->add_option("--frame", viewFrame, "The frame (default: the script's first)");
    viewCmd->add_option("--view", viewOptions.view, "The view (default: the script's first)");
    viewCmd->add_option("--proxy", viewOptions.proxy, "Proxy scale, above 0 and at most 1");
    viewCmd->add_flag("--no-overlays", noOverlays, "The image alone, without the node's overlays");
    viewCmd
        ->add_option("--event", viewOptions.events,
                     "A viewer event applied before the snapshot, in order: \"click X,Y\", "
                     "\"shift-click X,Y\", \"box X0,Y0,X1,Y1\", \"key Delete\" (or "
                     "Backspace, Escape), \"drag-fix-point X,Y\"; positions in full-size "
                     "pixels")
        ->allow_extra_args(false);
    viewCmd->add_option("--save", viewOptions.save, "Save the script here after the events");

    Kestrel::FarmCommand farm(app, *alignCmd);

    auto* pluginsCmd =
        app.add_subcommand("plugins", "List the loaded plug-ins and any that failed to load");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    if (pythonCmd->parsed()) {
        auto rest = pythonCmd->remaining();
        pyArgs.insert(pyArgs.end(), rest.begin(), rest.end());
    }
    // The graph goes before the process exits, while the plug-ins' own state is still there.
    struct ClearSession {
        ~ClearSession() { Session::current().clear(); }
    } clearSession;
    try {
        loadPlugins(pluginPaths);
        if (yes || no) Question::setAnswer(yes);
        if (threads > 0) Engine::setThreads(threads);
        if (!cacheMemory.empty())
            Engine::setCacheBudget(Kestrel::Python::parseMemorySize(cacheMemory, "--cache-memory"));
        if (!missingFrames.empty())
            missingFrames = Kestrel::Python::parseMissingFrames(missingFrames, "--missing-frames");
        if (pluginsCmd->parsed()) return listPlugins();
        if (alignCmd->parsed()) {
            if (!plates.empty()) align.left = plates[0];
            if (plates.size() > 1) align.right = plates[1];
            if (!fixPoint.empty()) {
                float x = 0, y = 0;
                char comma = 0;
                std::istringstream in(fixPoint);
                if (!(in >> x >> comma >> y) || comma != ',')
                    throw std::runtime_error("--fix-point takes x,y in pixels, such as 960,540");
                align.fixPoint = std::make_pair(x, y);
            }
            align.missingFrames = missingFrames.empty() ? "error" : missingFrames;
            Kestrel::runAlign(align, std::cout);
            return 0;
        }
        // Script buttons run Python, so the interpreter is there for every graph command.
        Kestrel::Python::startInterpreter();
        if (renderCmd->parsed()) return render(script, frames, views, nodeName, missingFrames);
        if (executeCmd->parsed()) return execute(script, nodeName, frames, missingFrames);
        if (pressCmd->parsed())
            return press(script, target, savePath, keyAction,
                         pressFrameOption->count() ? std::optional<double>(pressFrame)
                                                   : std::nullopt);
        if (pythonCmd->parsed()) {
            Kestrel::Python::runFile(file, pyArgs);
            return 0;
        }
        if (infoCmd->parsed()) return info(script, nodeName, className, json);
        if (farm.parsed()) return farm.run(std::cout);
        if (viewCmd->parsed()) {
            if (viewFrameOption->count() > 0) viewOptions.frame = viewFrame;
            viewOptions.overlays = !noOverlays;
            Kestrel::runView(viewOptions, std::cout);
            return 0;
        }
    } catch (const Kestrel::Python::PythonError& e) {
        std::cerr << "kestrel: Python error\n" << e.what() << "\n";
        return Engine::interrupted() ? kExitInterrupted : kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "kestrel: " << e.what() << "\n";
        return Engine::interrupted() ? kExitInterrupted : kExitFailure;
    }
    return 0;
}
