// Op: validation order, inputs and splits, errors, progress, and the class registry.
#include "Kx/Image/Op.h"

#include "Format.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Node.h"

#include <algorithm>
#include <cstdarg>
#include <map>
#include <mutex>

namespace Kx::Image {

const char* const Op::kVersion = "1.0";
const char* const Op::kCompileStamp = __DATE__ " for KxImage 1.0";

namespace {

struct DescriptionRegistry {
    std::mutex mutex;
    std::map<std::string, Op::Description*> byName;
};

DescriptionRegistry& descriptions() {
    static DescriptionRegistry r;
    return r;
}

// The plug-in file being loaded, so its descriptions know where they came from.
thread_local std::string g_loadingFile;

} // namespace

void setLoadingPluginFile(const std::string& file) {
    g_loadingFile = file;
}

Op::Description::Description(const char* name_, Constructor c, const char* stamp)
    : name(name_), constructor(c), compileStamp(stamp), file(g_loadingFile) {
    add(this);
}

Op::Description::~Description() {
    remove(this);
}

void Op::Description::add(Description* d) {
    auto& r = descriptions();
    std::lock_guard lock(r.mutex);
    r.byName[d->name] = d;
}

void Op::Description::remove(Description* d) {
    auto& r = descriptions();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(d->name);
    if (it != r.byName.end() && it->second == d) r.byName.erase(it);
}

const Op::Description* Op::Description::find(const std::string& name) {
    auto& r = descriptions();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const Op::Description*> Op::Description::all() {
    auto& r = descriptions();
    std::lock_guard lock(r.mutex);
    std::vector<const Description*> v;
    for (auto& [name, d] : r.byName) v.push_back(d);
    return v;
}

Op::Op(Node* node) : _node(node) {
    set_node_inputs(1);
}

Op::~Op() = default;

std::string Op::node_name() const {
    return _node ? _node->name() : std::string(Class());
}

bool Op::test_input(int, Op* op) const {
    return op != nullptr;
}

const char* Op::input_label(int, char*) const {
    return "";
}

int Op::split_input(int) const {
    return 1;
}

const OutputContext& Op::inputContext(int, int, OutputContext&) const {
    return _context;
}

void Op::set_node_inputs(int count) {
    _nodeInputs = size_t(std::max(count, 0));
    size_t total = 0;
    for (int n = 0; n < count; ++n) total += size_t(std::max(split_input(n), 1));
    _inputs.resize(total, nullptr);
}

int Op::inputNumber(int n, int offset) const {
    int number = 0;
    for (int i = 0; i < n; ++i) number += std::max(split_input(i), 1);
    return number + offset;
}

Op* Op::input(int number) const {
    return number >= 0 && size_t(number) < _inputs.size() ? _inputs[size_t(number)] : nullptr;
}

Iop* Op::input_iop(int number) const {
    Op* op = input(number);
    return op ? op->iop() : nullptr;
}

void Op::set_input(int number, Op* op) {
    if (number < 0) return;
    if (size_t(number) >= _inputs.size()) _inputs.resize(size_t(number) + 1, nullptr);
    _inputs[size_t(number)] = op;
    _valid = _realValid = false;
}

void Op::setOutputContext(const OutputContext& c) {
    if (!(c == _context)) _valid = _realValid = false;
    _context = c;
}

Knob* Op::knob(const char* name) const {
    return _node && name ? _node->knob(name) : nullptr;
}

bool Op::panel_visible() const {
    return _node && _node->panelOpen();
}

void Op::validate(bool for_real) {
    if (_valid && (_realValid || !for_real)) return;
    {
        std::lock_guard lock(_messageMutex);
        _hasError = _hasMessage = false;
        _error.clear();
        _message.clear();
    }
    _aborted = false;
    _validate(for_real);
    // Every input gets validated, so the hash below covers the whole tree and an input's
    // error reaches this op.
    for (Op* in : _inputs) {
        if (!in) continue;
        in->validate(for_real);
        if (in->hasError() && !_hasError) {
            std::lock_guard lock(_messageMutex);
            _hasError = true;
            _error = in->errorMessage();
        }
    }
    _valid = true;
    _realValid = _realValid || for_real;
    rehash();
}

void Op::_validate(bool for_real) {
    for (Op* in : _inputs)
        if (in) in->validate(for_real);
}

void Op::rehash() {
    Hash h;
    h.append(Class());
    h.append(_context.frame());
    h.append(_context.view());
    h.append(_context.scale_x());
    h.append(_context.scale_y());
    h.append(_context.translate_x());
    h.append(_context.translate_y());
    append(h);
    if (_node) _node->appendKnobs(h, _context);
    for (Op* in : _inputs) h.append(in ? in->hash().value() : uint64_t(0));
    _hash = h;
}

void Op::invalidate() {
    _valid = _realValid = false;
    {
        // An invalidated op has no validation result, and so no error of one either.
        std::lock_guard lock(_messageMutex);
        _hasError = _hasMessage = false;
        _error.clear();
        _message.clear();
    }
    _invalidate();
}

void Op::open() {
    validate(true);
    _open();
}

void Op::close() {
    _close();
}

void Op::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    std::lock_guard lock(_messageMutex);
    _hasError = true;
    _error = std::move(text);
}

void Op::message_f(char type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    std::lock_guard lock(_messageMutex);
    _hasMessage = true;
    _message = std::string(1, type) + " " + text;
}

std::string Op::errorMessage() const {
    std::lock_guard lock(_messageMutex);
    return _error;
}

std::string Op::lastMessage() const {
    std::lock_guard lock(_messageMutex);
    return _message;
}

bool Op::aborted() const {
    return _aborted.load() || Engine::interrupted();
}

bool Op::cancelled() const {
    return Engine::interrupted();
}

void Op::abort() {
    _aborted = true;
    for (Op* in : _inputs)
        if (in) in->abort();
}

void Op::progressFraction(double f) {
    _progress = std::clamp(f, 0.0, 1.0);
}

const MetaData::Bundle& Op::fetchMetaData(const char* key) {
    validate(false);
    _fetchMetaData(key);
    return _meta;
}

void Op::_fetchMetaData(const char* key) {
    _meta.clear();
    if (Op* in = input(0)) _meta = in->fetchMetaData(key);
}

} // namespace Kx::Image
