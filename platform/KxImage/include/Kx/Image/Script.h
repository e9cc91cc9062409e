// Script files: a whole node graph as text.
//
//   kestrel_script 1
//   views left right
//   frames 1 100
//   node Blur Blur1
//    input 0 Read1
//    knob size {split 4 right {curve smooth 1 2 linear 10 8}}
//    knob matches "
//   version 2
//   frames 0
//   "
//   end
//
// Line 1 names the format and its version. "views" lists the host's views in order (view 1
// first); "frames" gives the graph's first and last frame. Each node block starts with
// "node <class> <name>", lists its connected inputs ("input <number> <node name>", the node
// being defined anywhere in the file) and then, in declaration order, every knob that is
// written: not marked DoNotWrite, holding a value, and not at its default. A knob's value is
// its script text (Knob::to_script with quoting, on a stream of kScriptPrecision digits),
// which for a custom knob is the knob's own text. Values may span lines: a value is a word,
// a double-quoted string (a backslash takes the next character literally) or a list in
// braces. Blank lines and lines starting with # are ignored. Saving a loaded script gives
// the same text.
//
// Loading is all or nothing: a script with a syntax error, an unknown class, node, input or
// knob, or a value a knob refuses is not loaded, and the message names the file, the line,
// the node and the knob and says what to do. Knobs marked EarlyStore are read first, then
// the others, each in declaration order (not the order of the lines).
#pragma once

#include "Node.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Kx::Image {

class Graph {
public:
    Graph() = default;
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    Node* add(std::unique_ptr<Node> node);
    Node* find(const std::string& name) const;
    const std::vector<std::unique_ptr<Node>>& nodes() const { return _nodes; }

    double firstFrame = 1, lastFrame = 1;

private:
    std::vector<std::unique_ptr<Node>> _nodes;
};

namespace Script {

// The script text of a graph (the views are the host's current views).
std::string write(const Graph& graph);
// Writes the text to a file; false with the reason.
bool save(const Graph& graph, const std::string& path, std::string* error);

// Builds a graph from a script text; file names the text in messages. On failure returns
// nullptr with the message in error, and the host's views are as they were.
std::unique_ptr<Graph> read(const std::string& text, const std::string& file, std::string* error);
std::unique_ptr<Graph> load(const std::string& path, std::string* error);

// Reads knob texts (name, text) into a node in the order of a read pass: early-stored knobs
// first, each group in declaration order. When one is refused every knob of the node gets
// its text of before back. The message of a refusal names the
// knob and the reason.
bool applyKnobs(Node& node, const std::vector<std::pair<std::string, std::string>>& values,
                std::string* error);

} // namespace Script

} // namespace Kx::Image
