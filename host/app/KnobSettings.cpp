#include "KnobSettings.h"

#include "UsageError.h"

#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

using namespace Kx::Image;

namespace Kestrel {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string joined(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
    return list;
}

} // namespace

KnobSetting parseKnobSetting(const std::string& text) {
    const size_t equals = text.find('=');
    const size_t dot = text.find('.');
    if (equals == std::string::npos || dot == std::string::npos || dot == 0 || dot + 1 >= equals)
        throw UsageError("--set \"" + text +
                         "\" is not NODE.KNOB=VALUE: name the node, its knob and the value, "
                         "such as --set VerticalAligner1.keyStep=5");
    return {text.substr(0, dot), text.substr(dot + 1, equals - dot - 1), text.substr(equals + 1),
            text};
}

std::vector<std::string> applyKnobSettings(Graph& graph, const std::vector<KnobSetting>& settings) {
    std::vector<std::string> warnings;
    for (const KnobSetting& s : settings) {
        Node* node = graph.find(s.node);
        if (!node) {
            std::vector<std::string> names;
            for (const auto& n : graph.nodes()) names.push_back(n->name());
            throw UsageError("--set " + s.text + ": there is no node " + s.node +
                             "; the nodes are " + joined(names));
        }
        Knob* knob = node->knob(s.knob);
        if (!knob || knob->name().empty())
            throw UsageError("--set " + s.text + ": " + s.node + " has no knob " + s.knob +
                             "; `kestrel info SCRIPT " + s.node + "` lists its knobs");
        const auto& items = knob->items();
        bool done = false;
        for (size_t i = 0; i < items.size() && !done; ++i)
            if (lower(items[i]) == lower(s.value)) {
                knob->setValue(double(i));
                done = true;
            }
        if (done) continue;
        if (!items.empty()) {
            // An enumeration also takes the item's number, as the script file stores it.
            char* end = nullptr;
            const long index = std::strtol(s.value.c_str(), &end, 10);
            if (s.value.empty() || *end != '\0' || index < 0 || size_t(index) >= items.size())
                throw UsageError("--set " + s.text + ": " + s.node + "." + s.knob +
                                 " has no item \"" + s.value + "\"; use one of " + joined(items));
        }
        if (!knob->from_script(s.value.c_str()))
            throw UsageError("--set " + s.text + ": " + s.node + "." + s.knob +
                             " does not take \"" + s.value + "\"" +
                             (knob->lastError().empty() ? "" : ": " + knob->lastError()) +
                             (knob->holdsNumbers()
                                  ? "; give " + std::to_string(knob->components()) + " number(s)"
                                  : ""));
        // The numbers of the value, as "5" or "{1 2}", each as the knob would take it.
        std::string numbers = s.value;
        for (char& c : numbers)
            if (c == '{' || c == '}') c = ' ';
        std::istringstream words(numbers);
        for (std::string word; words >> word;) {
            char* end = nullptr;
            const double v = std::strtod(word.c_str(), &end);
            if (*end != '\0') continue;
            if (const std::string notice = knob->clampNotice(v); !notice.empty())
                warnings.push_back("--set " + s.text + ": " + notice);
        }
    }
    return warnings;
}

} // namespace Kestrel
