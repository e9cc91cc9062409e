// Script files: writing and reading a whole graph.
#include "Kx/Image/Script.h"

#include "Kx/Image/Knob.h"
#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Undo.h"
#include "ScriptSyntax.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

namespace Kx::Image {

Graph::~Graph() {
    // Downstream nodes go first, so that no node outlives the nodes it reads.
    while (!_nodes.empty()) _nodes.pop_back();
}

Node* Graph::add(std::unique_ptr<Node> node) {
    _nodes.push_back(std::move(node));
    return _nodes.back().get();
}

Node* Graph::find(const std::string& name) const {
    for (auto& n : _nodes)
        if (n->name() == name) return n.get();
    return nullptr;
}

namespace Script {

namespace {

constexpr const char* kMagic = "kestrel_script";
constexpr int kVersion = 1;

bool written(const Knob& k) {
    bool holdsValue = k.storage() != KnobStorage::None || k.kind() == KnobKind::Custom;
    return holdsValue && !k.name().empty() && !k.flag(KnobFlag::DoNotWrite) && k.not_default();
}

std::string word(const std::string& s) {
    return Syntax::needsQuotes(s) ? Syntax::quote(s) : s;
}

} // namespace

std::string write(const Graph& graph) {
    std::ostringstream o;
    o.precision(kScriptPrecision);
    o << kMagic << ' ' << kVersion << '\n';
    o << "views";
    for (const std::string& v : OutputContext::views()) o << ' ' << word(v);
    o << '\n';
    o << "frames " << formatNumber(graph.firstFrame) << ' ' << formatNumber(graph.lastFrame)
      << '\n';
    for (auto& node : graph.nodes()) {
        o << "node " << word(node->Class()) << ' ' << word(node->name()) << '\n';
        for (int n = 0; n < node->inputCount(); ++n)
            if (Node* in = node->input(n)) o << " input " << n << ' ' << word(in->name()) << '\n';
        for (Knob* k : node->declaredKnobs(false)) {
            if (!written(*k)) continue;
            o << " knob " << word(k->name()) << ' ';
            k->to_script(o, nullptr, true);
            o << '\n';
        }
        o << "end\n";
    }
    return o.str();
}

bool save(const Graph& graph, const std::string& path, std::string* error) {
    std::ofstream f(path, std::ios::binary);
    f << write(graph);
    f.close();
    if (f) return true;
    if (error)
        *error = path + ": cannot write the script; check that the folder exists and is writable";
    return false;
}

bool applyKnobs(Node& node, const std::vector<std::pair<std::string, std::string>>& values,
                std::string* error) {
    std::vector<std::pair<Knob*, const std::string*>> order;
    for (auto& [name, text] : values) {
        Knob* k = node.knob(name);
        if (!k) {
            if (error)
                *error = "knob " + name + ": node " + node.name() + " (class " + node.Class() +
                         ") has no such knob; remove the line or check the knob's name";
            return false;
        }
        order.emplace_back(k, &text);
    }
    // The order of a read pass: early-stored knobs first, each group in declaration order;
    // knobs the op does not declare (the host's own) come last.
    std::vector<Knob*> declared = node.declaredKnobs(true);
    auto rank = [&](Knob* k) {
        auto at = std::find(declared.begin(), declared.end(), k);
        return std::make_pair(!k->flag(KnobFlag::EarlyStore), at - declared.begin());
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](auto& a, auto& b) { return rank(a.first) < rank(b.first); });
    std::vector<std::pair<Knob*, std::string>> before;
    for (Knob* k : node.knobs()) before.emplace_back(k, k->scriptText(false));
    bool ok = true;
    {
        KnobChange::Suspend quiet;
        Undo::Suspend noUndo;
        for (auto& [k, text] : order) {
            if (k->from_script(text->c_str())) continue;
            if (error)
                *error = "knob " + k->name() + ": " +
                         (k->lastError().empty() ? "the value was refused" : k->lastError()) +
                         "; correct the value or remove the line to keep the default";
            ok = false;
            break;
        }
        if (!ok)
            for (auto& [k, text] : before) k->from_script(text.c_str());
    }
    node.invalidate();
    node.storeKnobs();
    return ok;
}

namespace {

// One statement of a script: its words and values, and the line it starts on.
struct Statement {
    std::vector<Syntax::Item> items;
    int line = 0;
};

class Reader {
public:
    Reader(const std::string& file, std::string* error) : _file(file), _error(error) {}

    bool fail(int line, const std::string& what) {
        if (_error) *_error = _file + ":" + std::to_string(line) + ": " + what;
        return false;
    }

    // Splits the text into statements: each starts with a keyword at the start of a line
    // and takes every value up to the next line that starts with a keyword.
    bool split(const std::string& text, std::vector<Statement>& out) {
        std::vector<Syntax::Item> items;
        std::string why;
        int line = 0;
        std::string cleaned;
        std::istringstream lines(text);
        std::string l;
        // Comment lines are blanked (not removed) so that line numbers stay right.
        bool inString = false;
        while (std::getline(lines, l)) {
            size_t first = l.find_first_not_of(" \t");
            if (!inString && first != std::string::npos && l[first] == '#') l.clear();
            for (size_t i = 0; i < l.size(); ++i) {
                if (l[i] == '\\' && inString)
                    ++i;
                else if (l[i] == '"')
                    inString = !inString;
            }
            cleaned += l + '\n';
        }
        if (!Syntax::parse(cleaned, items, why, line)) return fail(line, why);
        static const char* keywords[] = {kMagic, "views", "frames", "node", "input", "knob", "end"};
        for (auto& item : items) {
            bool keyword =
                item.type == Syntax::Item::Type::Word &&
                std::any_of(std::begin(keywords), std::end(keywords),
                            [&](const char* k) { return item.text == k; }) &&
                (out.empty() || item.line != out.back().line || out.back().items.empty());
            if (keyword || out.empty()) out.push_back(Statement{{}, item.line});
            out.back().items.push_back(std::move(item));
        }
        return true;
    }

    const std::string& file() const { return _file; }

private:
    std::string _file;
    std::string* _error;
};

struct NodeBlock {
    std::string className, name;
    int line = 0;
    std::vector<std::tuple<int, std::string, int>> inputs;        // number, node, line
    std::vector<std::tuple<std::string, std::string, int>> knobs; // name, text, line
};

// The text a knob reads: a quoted value without its quotes, a word or a list as written.
std::string valueText(const Syntax::Item& item) {
    switch (item.type) {
    case Syntax::Item::Type::Word:
    case Syntax::Item::Type::Quoted:
        return item.text;
    case Syntax::Item::Type::List:
        break;
    }
    std::string s = "{";
    for (size_t i = 0; i < item.items.size(); ++i) {
        if (i) s += ' ';
        const auto& sub = item.items[i];
        s += sub.type == Syntax::Item::Type::Quoted ? Syntax::quote(sub.text) : valueText(sub);
    }
    return s + "}";
}

// Restores the host's views when a load fails.
class ViewsGuard {
public:
    ViewsGuard() : _views(OutputContext::views()) {}
    ~ViewsGuard() {
        if (!_kept) OutputContext::setViews(_views);
    }
    void keep() { _kept = true; }

private:
    std::vector<std::string> _views;
    bool _kept = false;
};

} // namespace

std::unique_ptr<Graph> read(const std::string& text, const std::string& file, std::string* error) {
    Reader r(file, error);
    std::vector<Statement> statements;
    if (!r.split(text, statements)) return nullptr;
    if (statements.empty() || !statements[0].items[0].isWord(kMagic)) {
        r.fail(1, std::string("not a script: the first line must be \"") + kMagic + " " +
                      std::to_string(kVersion) + "\"");
        return nullptr;
    }
    double version = 0;
    if (statements[0].items.size() != 2 ||
        !Syntax::toNumber(statements[0].items[1].text, version) || version != kVersion) {
        r.fail(1,
               "unsupported script version; this host reads version " + std::to_string(kVersion));
        return nullptr;
    }

    auto graph = std::make_unique<Graph>();
    std::vector<std::string> views;
    std::vector<NodeBlock> blocks;
    NodeBlock* open = nullptr;
    for (size_t s = 1; s < statements.size(); ++s) {
        const Statement& st = statements[s];
        const auto& it = st.items;
        const std::string& key = it[0].text;
        auto where = [&]() { return open ? "node " + open->name + ": " : std::string(); };
        if (key == "views" && !open) {
            if (it.size() < 2) {
                r.fail(st.line, "\"views\" needs at least one view name");
                return nullptr;
            }
            for (size_t i = 1; i < it.size(); ++i) views.push_back(it[i].text);
        } else if (key == "frames" && !open) {
            if (it.size() != 3 || !Syntax::toNumber(it[1].text, graph->firstFrame) ||
                !Syntax::toNumber(it[2].text, graph->lastFrame) ||
                graph->lastFrame < graph->firstFrame) {
                r.fail(st.line, "\"frames\" needs a first and a last frame, first not after last");
                return nullptr;
            }
        } else if (key == "node" && !open) {
            if (it.size() != 3) {
                r.fail(st.line, "\"node\" needs a class and a name: node <class> <name>");
                return nullptr;
            }
            for (auto& b : blocks)
                if (b.name == it[2].text) {
                    r.fail(st.line, "node " + it[2].text + " is defined twice (first on line " +
                                        std::to_string(b.line) + "); rename one of them");
                    return nullptr;
                }
            blocks.push_back(NodeBlock{it[1].text, it[2].text, st.line, {}, {}});
            open = &blocks.back();
        } else if (key == "input" && open) {
            double n = -1;
            // Compared as a double before any conversion: a number past an int's range (say
            // 1e87) has no int to compare with.
            if (it.size() != 3 || !Syntax::toNumber(it[1].text, n) || !(n >= 0) ||
                n > std::numeric_limits<int>::max() || n != std::floor(n)) {
                r.fail(st.line, where() + "\"input\" needs an input number and a node name");
                return nullptr;
            }
            open->inputs.emplace_back(int(n), it[2].text, st.line);
        } else if (key == "knob" && open) {
            if (it.size() != 3) {
                r.fail(st.line, where() + "\"knob\" needs a knob name and one value" +
                                    (it.size() > 3 ? " (quote a value that holds blanks)" : ""));
                return nullptr;
            }
            open->knobs.emplace_back(it[1].text, valueText(it[2]), it[2].line);
        } else if (key == "end" && open && it.size() == 1) {
            open = nullptr;
        } else {
            r.fail(st.line, where() + "unexpected \"" + key + "\"" +
                                (open ? " inside a node block (knob, input or end expected)"
                                      : " outside a node block (views, frames or node expected)"));
            return nullptr;
        }
    }
    if (open) {
        r.fail(open->line, "node " + open->name + ": the block has no \"end\"");
        return nullptr;
    }

    ViewsGuard viewsGuard;
    if (!views.empty()) OutputContext::setViews(views);
    for (const NodeBlock& b : blocks) {
        if (!Op::Description::find(b.className)) {
            r.fail(b.line, "node " + b.name + ": unknown class \"" + b.className +
                               "\"; load the plug-in that provides it");
            return nullptr;
        }
        std::unique_ptr<Node> node;
        try {
            node = std::make_unique<Node>(b.className, b.name);
        } catch (const std::exception& e) {
            r.fail(b.line, "node " + b.name + ": " + e.what());
            return nullptr;
        }
        std::vector<std::pair<std::string, std::string>> values;
        for (auto& [name, text, line] : b.knobs) values.emplace_back(name, text);
        std::string why;
        if (!applyKnobs(*node, values, &why)) {
            int line = b.line;
            for (auto& [name, text, l] : b.knobs)
                if (why.rfind("knob " + name + ":", 0) == 0) line = l;
            r.fail(line, "node " + b.name + ", " + why);
            return nullptr;
        }
        graph->add(std::move(node));
    }
    for (const NodeBlock& b : blocks) {
        Node* node = graph->find(b.name);
        for (auto& [n, name, line] : b.inputs) {
            Node* in = graph->find(name);
            if (!in) {
                r.fail(line, "node " + b.name + ": input " + std::to_string(n) + " names node " +
                                 name + ", which the script does not define");
                return nullptr;
            }
            std::string why;
            KnobChange::Suspend quiet;
            if (!node->setInput(n, in, &why)) {
                r.fail(line, "node " + b.name + ": " + why);
                return nullptr;
            }
        }
    }
    viewsGuard.keep();
    return graph;
}

std::unique_ptr<Graph> load(const std::string& path, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = path + ": cannot open the script; check the path";
        return nullptr;
    }
    std::ostringstream text;
    text << f.rdbuf();
    return read(text.str(), path, error);
}

} // namespace Script

} // namespace Kx::Image
