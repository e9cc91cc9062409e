// The subcommands that work on a script file (render, execute, press, info), run Python
// (python) or list what is loaded (plugins).
#include "Commands.h"
#include "KeyControlPress.h"
#include "Progress.h"
#include "UsageError.h"
#include "Verbosity.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/PathPattern.h>
#include <Kestrel/Python/Interpreter.h>
#include <Kestrel/Python/KeyFrameControl.h>
#include <Kestrel/Python/Session.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Op.h>
#include <Kx/Image/Plugins.h>
#include <Kx/Image/Question.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace Kx::Image;
using Kestrel::Python::Session;
using Kestrel::Python::SessionError;

namespace Kestrel {

namespace {

// The frames of --frames, or first..last when it was not given.
std::vector<double> framesOption(const std::string& list, int first, int last) {
    std::vector<double> frames;
    if (!list.empty()) {
        for (int f : Kestrel::IO::parseFrameList(list)) frames.push_back(f);
        return frames;
    }
    for (int f = first; f <= last; ++f) frames.push_back(f);
    return frames;
}

// Checks a --frames list before any script is read: a malformed list is a usage error.
void checkFrameList(const std::string& list) {
    if (list.empty()) return;
    try {
        Kestrel::IO::parseFrameList(list);
    } catch (const std::exception& e) {
        throw UsageError(std::string("--frames: ") + e.what());
    }
}

// Runs work with a progress bar that ends saying how the work ended.
template <class F> void withProgress(const std::string& task, size_t total, F work) {
    Progress bar(task, int(total), progressStream());
    try {
        work([&bar](int done, int) { bar.update(done); });
    } catch (...) {
        bar.finish(Engine::interrupted() ? "interrupted" : "failed");
        throw;
    }
    bar.finish();
}

// Loads the script and applies the --set values to it.
Session& loadScript(const std::string& script, const std::vector<KnobSetting>& settings,
                    const GlobalOptions& g) {
    Session& s = Session::current();
    s.load(script);
    if (!g.missingFrames.empty()) s.setMissingFrames(g.missingFrames);
    for (const std::string& w : applyKnobSettings(s.graph(), settings)) warn(w);
    return s;
}

void say(const std::string& line) {
    if (verbosity() != Verbosity::Quiet) std::cout << line << "\n";
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

struct RenderArgs {
    std::string script, frames, views, node;
    std::vector<KnobSetting> settings;
};

int render(const RenderArgs& a, const GlobalOptions& g) {
    checkFrameList(a.frames);
    Session& s = loadScript(a.script, a.settings, g);
    std::vector<Node*> writes;
    if (!a.node.empty()) writes.push_back(&s.node(a.node));
    const auto frames = framesOption(a.frames, int(s.graph().firstFrame), int(s.graph().lastFrame));
    std::vector<std::string> views;
    if (!a.views.empty()) views = Kestrel::Python::parseViewList(a.views);
    size_t writeCount = writes.size();
    if (writes.empty())
        for (const auto& n : s.graph().nodes()) writeCount += std::string(n->Class()) == "Write";
    withProgress("render " + a.script, frames.size() * std::max<size_t>(writeCount, 1),
                 [&](const auto& progress) { s.render(writes, frames, views, progress); });
    if (writes.empty())
        for (const auto& n : s.graph().nodes())
            if (std::string(n->Class()) == "Write") writes.push_back(n.get());
    for (Node* w : writes)
        for (const std::string& f : filesOf(*w, frames, views)) say("wrote " + f);
    return 0;
}

struct ExecuteArgs {
    std::string script, node, frames, save;
    std::vector<KnobSetting> settings;
};

int execute(const ExecuteArgs& a, const GlobalOptions& g) {
    checkFrameList(a.frames);
    Session& s = loadScript(a.script, a.settings, g);
    Node& node = s.node(a.node);
    const auto [first, last] = s.frameRange(node);
    const auto frames = framesOption(a.frames, first, last);
    withProgress("execute " + a.node, frames.size(),
                 [&](const auto& progress) { s.execute(node, frames, progress); });
    failOnUnansweredQuestion();
    say("executed " + a.node + " over " + std::to_string(frames.size()) + " frame(s)");
    if (!a.save.empty()) {
        s.save(a.save);
        say("saved " + a.save);
    }
    return 0;
}

struct PressArgs {
    std::string script, target, save;
    std::string action; // a key-frame control's: add, delete, next or previous
    std::optional<double> frame;
    std::vector<KnobSetting> settings;
};

int press(const PressArgs& a, const GlobalOptions& g) {
    const auto dot = a.target.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == a.target.size())
        throw UsageError("\"" + a.target +
                         "\" is not NODE.KNOB: name the node and its button, "
                         "such as VerticalAligner1.analyse");
    Session& s = loadScript(a.script, a.settings, g);
    Node& node = s.node(a.target.substr(0, dot));
    Knob* knob = node.knob(a.target.substr(dot + 1));
    if (!knob)
        throw SessionError(node.name() + " has no knob " + a.target.substr(dot + 1) +
                           ": `kestrel info " + a.script + " " + node.name() + "` lists its knobs");
    const bool keyControl = knob->kind() == KnobKind::KeyFrameControl;
    if (keyControl) {
        Kestrel::pressKeyControl(*knob, a.action, a.frame, std::cout);
    } else {
        if (!a.action.empty())
            throw UsageError(node.name() + "." + knob->name() +
                             " is pressed without an action; only a key-frame control takes one (" +
                             Kestrel::Python::keyActionWords() + ")");
        // The button acts at the frame the user stands on.
        if (a.frame) s.setFrame(Kestrel::checkedFrameOption(*a.frame));
        s.press(*knob);
    }
    failOnUnansweredQuestion();
    if (node.firstOp() && node.firstOp()->hasError())
        throw SessionError("pressed " + a.target + ": " + node.name() +
                           " reports an error: " + node.firstOp()->errorMessage());
    // A key-frame control's action has already said what it did to the keys.
    if (!keyControl) say("pressed " + a.target);
    if (a.save.empty())
        say("the script was not saved: pass --save PATH to keep what the button changed");
    else {
        s.save(a.save);
        say("saved " + a.save);
    }
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

// The nodes of a script in its order, with their class and inputs.
int listNodes(Session& s, const std::string& script, bool json) {
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto& n : s.graph().nodes()) {
        nlohmann::json inputs = nlohmann::json::array();
        for (int i = 0; i < n->inputCount(); ++i)
            inputs.push_back(n->input(i) ? nlohmann::json(n->input(i)->name()) : nlohmann::json());
        nodes.push_back({{"name", n->name()}, {"class", n->Class()}, {"inputs", inputs}});
    }
    if (json) {
        std::cout << nlohmann::json{{"script", script}, {"nodes", nodes}}.dump(2) << "\n";
        return 0;
    }
    std::cout << script << "\n";
    for (const auto& n : nodes) {
        std::cout << "  " << n["name"].get<std::string>() << " (" << n["class"].get<std::string>()
                  << ")";
        std::string from;
        for (const auto& i : n["inputs"])
            from += (from.empty() ? "" : ", ") +
                    (i.is_null() ? std::string("-") : i.get<std::string>());
        if (!from.empty()) std::cout << " <- " << from;
        std::cout << "\n";
    }
    return 0;
}

struct InfoArgs {
    std::string script, node, className;
    bool json = false;
};

int info(const InfoArgs& a) {
    Session& s = Session::current();
    if (!a.className.empty()) {
        if (!a.script.empty() || !a.node.empty())
            throw UsageError("info takes either SCRIPT [NODE] or --class CLASS, not both");
        Node* node = s.createNode(a.className, a.className + "_defaults");
        const int result = info(*node, a.json);
        s.deleteNode(node);
        return result;
    }
    if (a.script.empty())
        throw UsageError("info needs SCRIPT (its nodes), SCRIPT NODE (a node's knobs), or "
                         "--class CLASS (a class's defaults)");
    s.load(a.script);
    if (a.node.empty()) return listNodes(s, a.script, a.json);
    return info(s.node(a.node), a.json);
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

// Questions that found neither --yes/--no nor a terminal are answered no by the host and
// logged here; the command then fails rather than carry on as if the user had said no.
std::ostringstream& unansweredQuestions() {
    static std::ostringstream log;
    return log;
}

} // namespace

void catchUnansweredQuestions() {
    Question::setLog(&unansweredQuestions());
}

void failOnUnansweredQuestion() {
    const std::string log = unansweredQuestions().str();
    if (log.empty()) return;
    std::smatch m;
    const std::string question =
        std::regex_search(log, m, std::regex("\"(.*)\" answered no")) ? m[1].str() : log;
    throw std::runtime_error("a node asked \"" + question +
                             "\" and there is no terminal to answer on: pass --yes to answer "
                             "yes or --no to answer no");
}

void addSetOption(CLI::App& command, std::vector<KnobSetting>& into) {
    command
        .add_option_function<std::vector<std::string>>(
            "--set",
            [&into](const std::vector<std::string>& texts) {
                for (const auto& t : texts) into.push_back(parseKnobSetting(t));
            },
            "Set a knob before the work starts, as NODE.KNOB=VALUE; repeatable, later ones "
            "win; an enumeration takes its item's name")
        ->type_name("NODE.KNOB=VALUE")
        ->allow_extra_args(false)
        ->take_all();
}

Command renderCommand(CLI::App& app, const GlobalOptions& g) {
    auto a = std::make_shared<RenderArgs>();
    CLI::App* cmd = app.add_subcommand("render", "Render the script's Write nodes");
    cmd->add_option("SCRIPT", a->script, "The script file")->required();
    cmd->add_option("--frames", a->frames, "Frames, as farms write them: 1-100, 1-3,5,7-20x2");
    cmd->add_option("--views", a->views, "Views to write, such as left,right (default: all)");
    cmd->add_option("--node", a->node, "The one Write node to render");
    addSetOption(*cmd, a->settings);
    return {cmd, [a, &g] { return render(*a, g); }};
}

Command executeCommand(CLI::App& app, const GlobalOptions& g) {
    auto a = std::make_shared<ExecuteArgs>();
    CLI::App* cmd = app.add_subcommand("execute", "Run a node's frame work over frames");
    cmd->add_option("SCRIPT", a->script, "The script file")->required();
    cmd->add_option("NODE", a->node, "The node to execute")->required();
    cmd->add_option("--frames", a->frames, "Frames (default: the node's frame range)");
    cmd->add_option("--save", a->save, "Save the script here afterwards");
    addSetOption(*cmd, a->settings);
    return {cmd, [a, &g] { return execute(*a, g); }};
}

Command pressCommand(CLI::App& app, const GlobalOptions& g) {
    auto a = std::make_shared<PressArgs>();
    CLI::App* cmd = app.add_subcommand(
        "press", "Press a button of a node (runs its Python); questions it asks take --yes or "
                 "--no, or an answer typed on the terminal");
    cmd->add_option("SCRIPT", a->script, "The script file")->required();
    cmd->add_option("NODE.KNOB", a->target, "The node and its button")->required()->type_name("");
    cmd->add_option("ACTION", a->action,
                    "For a key-frame control (such as metaAnalysisKeys): add, delete, next or "
                    "previous")
        ->type_name("");
    cmd->add_option("--frame", a->frame,
                    "The frame to act at (default: the script's current frame)");
    cmd->add_option("--save", a->save, "Save the script here afterwards");
    addSetOption(*cmd, a->settings);
    return {cmd, [a, &g] { return press(*a, g); }};
}

Command pythonCommand(CLI::App& app, const GlobalOptions&) {
    struct Args {
        std::string file, code;
        std::vector<std::string> args;
    };
    auto a = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "python", "Run Python with the kestrel module: a file, -c CODE, or a script on "
                  "standard input (FILE - or no FILE)");
    cmd->add_option("-c", a->code, "Run this code instead of a file");
    cmd->add_option("FILE", a->file, "The Python file, or - for standard input");
    cmd->add_option("ARGS", a->args, "Arguments for the file (sys.argv[1:])");
    // Everything after FILE is the Python file's own, never kestrel's.
    cmd->prefix_command();
    cmd->fallthrough(false);
    return {cmd, [a, cmd] {
                auto rest = cmd->remaining();
                a->args.insert(a->args.end(), rest.begin(), rest.end());
                if (!a->code.empty()) {
                    if (!a->file.empty())
                        throw UsageError("python takes -c CODE or FILE, not both");
                    Kestrel::Python::runCode(a->code, "<command line>");
                    return 0;
                }
                if (a->file.empty() || a->file == "-") {
                    if (a->file.empty() && isatty(STDIN_FILENO))
                        throw UsageError("python needs FILE, -c CODE, or a script piped to "
                                         "standard input");
                    const std::string code{std::istreambuf_iterator<char>(std::cin),
                                           std::istreambuf_iterator<char>()};
                    Kestrel::Python::runCode(code, "<stdin>");
                    return 0;
                }
                Kestrel::Python::runFile(a->file, a->args);
                return 0;
            }};
}

Command infoCommand(CLI::App& app, const GlobalOptions&) {
    auto a = std::make_shared<InfoArgs>();
    CLI::App* cmd = app.add_subcommand(
        "info", "List a script's nodes, a node's knobs in declaration order, or a class's");
    cmd->add_option("SCRIPT", a->script, "The script file");
    cmd->add_option("NODE", a->node, "The node (left out: list the script's nodes)");
    cmd->add_option("--class", a->className, "List the knobs and defaults of a node class");
    cmd->add_flag("--json", a->json, "Print JSON");
    return {cmd, [a] { return info(*a); }};
}

Command pluginsCommand(CLI::App& app, const GlobalOptions&) {
    CLI::App* cmd =
        app.add_subcommand("plugins", "List the loaded plug-ins and any that failed to load");
    return {cmd, [] { return listPlugins(); }, false};
}

} // namespace Kestrel
