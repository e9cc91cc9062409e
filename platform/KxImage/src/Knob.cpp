// Knob values, animation, views, the value operations and the script text of a knob.
//
// Script text of a knob (written by to_script, read by from_script):
//   numbers:  the values, or {split <values> <view> <values> ...} when views are split off;
//             <values> is one curve, or {<curve> <curve> ...} for several components;
//             a curve is a number, or {curve <interpolation> <time> <value> ...} when it is
//             animated, or {curve <value>} when it is animated but has no keys yet;
//   text:     the text (quoted when asked);
//   format:   none, or {<width> <height> <pixel aspect> "<name>"};
//   view set: {<view name> ...}.
#include "Kx/Image/Knob.h"

#include "Format.h"

#include "Kx/Image/Hash.h"
#include "Kx/Image/KnobChange.h"
#include "Kx/Image/Node.h"
#include "Kx/Image/Op.h"
#include "Kx/Image/Undo.h"
#include "ScriptSyntax.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <sstream>

namespace Kx::Image {

// ---- numbers and curves ----

std::string formatNumber(double v) {
    if (v == 0) return "0"; // also for -0, so that a negative zero does not reach scripts
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

const char* interpolationName(Interpolation i) {
    switch (i) {
    case Interpolation::Linear:
        return "linear";
    case Interpolation::Constant:
        return "constant";
    case Interpolation::Smooth:
        break;
    }
    return "smooth";
}

namespace {

bool interpolationFromName(const std::string& s, Interpolation& i) {
    for (Interpolation c : {Interpolation::Smooth, Interpolation::Linear, Interpolation::Constant})
        if (s == interpolationName(c)) {
            i = c;
            return true;
        }
    return false;
}

// Slope of a smooth curve at key i: 0 at the ends, the neighbours' slope inside.
double keySlope(const std::vector<Key>& k, size_t i) {
    if (i == 0 || i + 1 >= k.size()) return 0;
    return (k[i + 1].value - k[i - 1].value) / (k[i + 1].time - k[i - 1].time);
}

} // namespace

double Curve::evaluate(double t) const {
    if (!animated || keys.empty()) return constant;
    // A time that is not a number (a frame read from a bad command line or script) is held
    // at the first key, as any time before it is.
    if (!(t > keys.front().time)) return keys.front().value;
    if (t >= keys.back().time) return keys.back().value;
    auto next = std::upper_bound(keys.begin(), keys.end(), t,
                                 [](double time, const Key& k) { return time < k.time; });
    size_t i = size_t(next - keys.begin()) - 1;
    const Key& k0 = keys[i];
    const Key& k1 = keys[i + 1];
    double dt = k1.time - k0.time;
    double s = (t - k0.time) / dt;
    switch (k0.interpolation) {
    case Interpolation::Constant:
        return k0.value;
    case Interpolation::Linear:
        return k0.value + s * (k1.value - k0.value);
    case Interpolation::Smooth:
        break;
    }
    double s2 = s * s, s3 = s2 * s;
    return (2 * s3 - 3 * s2 + 1) * k0.value + (s3 - 2 * s2 + s) * dt * keySlope(keys, i) +
           (-2 * s3 + 3 * s2) * k1.value + (s3 - s2) * dt * keySlope(keys, i + 1);
}

void Curve::setKey(const Key& key) {
    animated = true;
    auto it = std::lower_bound(keys.begin(), keys.end(), key.time,
                               [](const Key& k, double time) { return k.time < time; });
    if (it != keys.end() && it->time == key.time)
        *it = key;
    else
        keys.insert(it, key);
}

void Curve::setKey(double time, double value) {
    auto it = std::find_if(keys.begin(), keys.end(), [&](const Key& k) { return k.time == time; });
    setKey(Key{time, value, it == keys.end() ? Interpolation::Smooth : it->interpolation});
}

bool Curve::removeKey(double time) {
    auto it = std::find_if(keys.begin(), keys.end(), [&](const Key& k) { return k.time == time; });
    if (it == keys.end()) return false;
    // The curve keeps the value it had there, should the last key go.
    if (keys.size() == 1) constant = it->value;
    keys.erase(it);
    return true;
}

bool Curve::isKey(double time) const {
    return std::any_of(keys.begin(), keys.end(), [&](const Key& k) { return k.time == time; });
}

void Curve::clearAnimation(double time) {
    constant = evaluate(time);
    animated = false;
    keys.clear();
}

// ---- the knob ----

Knob::Knob(Node* node, int kind, int storage, std::string name, std::string label)
    : _node(node), _kind(kind), _storage(storage), _name(std::move(name)),
      _label(std::move(label)) {
    if (holdsNumbers()) setComponents(kind == KnobKind::XY ? 2 : kind == KnobKind::XYZ ? 3 : 1);
}

Knob::~Knob() {
    Undo::forget(*this);
    KnobChange::forget(*this);
}

Op* Knob::op() const {
    return _node ? _node->firstOp() : nullptr;
}

const char* Knob::Class() const {
    return "Knob";
}

bool Knob::holdsNumbers() const {
    return _storage == KnobStorage::Float || _storage == KnobStorage::Int ||
           _storage == KnobStorage::Bool || _storage == KnobStorage::Array;
}

double Knob::currentTime() const {
    Op* o = op();
    return o ? o->frame() : 1.0;
}

void Knob::setComponents(int n) {
    n = std::max(n, 1);
    _main.curves.resize(size_t(n));
    for (auto& [view, values] : _views) values.curves.resize(size_t(n));
    _default.resize(size_t(n), 0.0);
}

void Knob::setArraySize(int width, int height) {
    _arrayWidth = std::max(width, 0);
    _arrayHeight = std::max(height, 0);
    setComponents(_arrayWidth * _arrayHeight);
}

KnobValues& Knob::valuesFor(int view) {
    auto it = _views.find(view);
    return it == _views.end() ? _main : it->second;
}

const KnobValues& Knob::valuesFor(int view) const {
    auto it = _views.find(view);
    return it == _views.end() ? _main : it->second;
}

template <class F> void Knob::forEach(int component, int view, F f) {
    auto apply = [&](KnobValues& values) {
        for (size_t c = 0; c < values.curves.size(); ++c)
            if (component < 0 || size_t(component) == c) f(values.curves[c]);
    };
    if (view < 0) {
        apply(_main);
        for (auto& [v, values] : _views) apply(values);
    } else {
        apply(valuesFor(view));
    }
}

std::string Knob::clampNotice(double v) const {
    if (clampValue(v) == v || !std::isfinite(v)) return {};
    // Whole numbers in full, as the user typed them: a range up to 100000 is not "1e+05".
    const auto shown = [](double n) {
        return n == std::trunc(n) && std::abs(n) < 1e15 ? std::to_string(std::int64_t(n))
                                                        : formatNumber(n);
    };
    return shown(v) + " is outside its range " + shown(_low) + " to " + shown(_high) +
           "; it is set to " + shown(clampValue(v));
}

double Knob::clampValue(double v) const {
    if (flag(KnobFlag::Clamp) && _hasRange) return std::clamp(v, _low, _high);
    return v;
}

const Curve& Knob::curve(int component, int view) const {
    const KnobValues& values = valuesFor(view);
    return values.curves[size_t(std::clamp(component, 0, int(values.curves.size()) - 1))];
}

double Knob::value(int component, int view, double time) const {
    if (!holdsNumbers()) return 0;
    if (std::isnan(time)) time = currentTime();
    return curve(component, view).evaluate(time);
}

void Knob::setValue(double v, int component, int view) {
    if (!holdsNumbers()) return;
    Edit edit(*this);
    v = clampValue(v);
    double now = currentTime();
    forEach(component, view, [&](Curve& c) {
        if (c.animated)
            c.setKey(now, v);
        else
            c.constant = v;
    });
}

void Knob::setValueAt(double v, double time, int component, int view, Interpolation i) {
    if (!holdsNumbers()) return;
    if (flag(KnobFlag::NoAnimation)) return setValue(v, component, view);
    Edit edit(*this);
    v = clampValue(v);
    forEach(component, view, [&](Curve& c) {
        if (c.isKey(time))
            c.setKey(time, v);
        else
            c.setKey(Key{time, v, i});
    });
}

bool Knob::deleteKeyAt(double time, int component, int view) {
    if (!isKeyAt(time, component, view)) return false;
    Edit edit(*this);
    forEach(component, view, [&](Curve& c) { c.removeKey(time); });
    return true;
}

bool Knob::isKeyAt(double time, int component, int view) const {
    if (!holdsNumbers()) return false;
    auto times = keyTimes(component, view);
    return times.count(time) != 0;
}

bool Knob::isAnimated(int component, int view) const {
    if (!holdsNumbers()) return false;
    const KnobValues& values = valuesFor(view);
    for (size_t c = 0; c < values.curves.size(); ++c)
        if ((component < 0 || size_t(component) == c) && values.curves[c].animated) return true;
    return false;
}

void Knob::setAnimated(int component, int view) {
    if (!holdsNumbers() || flag(KnobFlag::NoAnimation)) return;
    Edit edit(*this);
    forEach(component, view, [](Curve& c) { c.animated = true; });
}

void Knob::clearAnimation(int component, int view) {
    if (!holdsNumbers()) return;
    Edit edit(*this);
    double now = currentTime();
    forEach(component, view, [&](Curve& c) { c.clearAnimation(now); });
}

std::set<double> Knob::keyTimes(int component, int view) const {
    std::set<double> times;
    if (!holdsNumbers()) return times;
    const KnobValues& values = valuesFor(std::max(view, 0));
    for (size_t c = 0; c < values.curves.size(); ++c)
        if (component < 0 || size_t(component) == c)
            for (const Key& k : values.curves[c].keys) times.insert(k.time);
    return times;
}

std::vector<int> Knob::splitViews() const {
    std::vector<int> v;
    for (auto& [view, values] : _views) v.push_back(view);
    return v;
}

bool Knob::split(int view) {
    if (flag(KnobFlag::NoViewSplit) || view < 1 || view >= OutputContext::viewcount()) return false;
    if (isSplit(view)) return true;
    Edit edit(*this);
    _views[view] = _main;
    return true;
}

void Knob::unsplit(int view) {
    if (!isSplit(view)) return;
    Edit edit(*this);
    _views.erase(view);
}

void Knob::setText(std::string t) {
    Edit edit(*this);
    _text = std::move(t);
}

void Knob::setFormat(const FormatPair& f) {
    Edit edit(*this);
    _format = f;
}

void Knob::setViewSet(std::set<int> views) {
    Edit edit(*this);
    _viewSet = std::move(views);
}

void Knob::setDefaultFromValues() {
    _default.clear();
    for (const Curve& c : _main.curves) _default.push_back(c.constant);
    _defaultText = _text;
    _defaultFormat = _format;
    _defaultViewSet = _viewSet;
}

void Knob::setDefault(const std::vector<double>& values) {
    for (size_t c = 0; c < _main.curves.size(); ++c) {
        double v = c < values.size() ? values[c] : values.empty() ? 0.0 : values.back();
        _main.curves[c] = Curve{v, false, {}};
    }
    setDefaultFromValues();
}

// ---- value operations ----

bool Knob::value_stuff(int code, ValueStuffArgs& a) {
    if (!holdsNumbers()) return false;
    double time = std::isnan(a.time) ? currentTime() : a.time;
    switch (code) {
    case ValueOp::SetValue:
        setValue(a.value, a.channel, a.view);
        return true;
    case ValueOp::SetValueAt:
        if (flag(KnobFlag::NoAnimation)) return false;
        setValueAt(a.value, time, a.channel, a.view);
        return true;
    case ValueOp::IsKeyAt:
        a.value = isKeyAt(time, a.channel, a.view);
        return a.value != 0;
    case ValueOp::GetValue: {
        int view = a.view < 0 && op() ? op()->view() : a.view;
        a.value = value(std::max(a.channel, 0), view, time);
        return true;
    }
    case ValueOp::DeleteKeyAt:
        return deleteKeyAt(time, a.channel, a.view);
    case ValueOp::KeyCount:
        a.value = double(keyTimes(a.channel, a.view).size());
        return true;
    case ValueOp::KeyTime: {
        auto times = keyTimes(a.channel, a.view);
        if (a.index < 0 || size_t(a.index) >= times.size()) return false;
        a.value = *std::next(times.begin(), a.index);
        return true;
    }
    case ValueOp::SetAnimated:
        if (flag(KnobFlag::NoAnimation)) return false;
        setAnimated(a.channel, -1);
        return true;
    case ValueOp::ClearAnimation:
        clearAnimation(a.channel, -1);
        return true;
    case ValueOp::SetComponentAt:
        if (a.channel < 0 || a.channel >= components() || flag(KnobFlag::NoAnimation)) return false;
        setValueAt(a.value, time, a.channel, std::max(a.view, 0));
        return true;
    case ValueOp::SplitView:
        return split(a.view);
    case ValueOp::UnsplitView:
        if (a.view < 1) return false;
        unsplit(a.view);
        return true;
    case ValueOp::ClearViewAnimation: {
        if (a.view < 1) return false;
        Edit edit(*this);
        double now = currentTime();
        auto clear = [&](KnobValues& values) {
            for (size_t c = 0; c < values.curves.size(); ++c)
                if (a.channel < 0 || size_t(a.channel) == c) values.curves[c].clearAnimation(now);
        };
        clear(_main);
        if (isSplit(a.view)) clear(_views[a.view]);
        return true;
    }
    case ValueOp::SetViewAnimated:
        if (a.view < 1 || flag(KnobFlag::NoAnimation)) return false;
        setAnimated(a.channel, a.view);
        return true;
    default:
        return false;
    }
}

// ---- script text ----

namespace {

void writeCurve(std::ostream& o, const Curve& c) {
    if (!c.animated) {
        o << formatNumber(c.constant);
        return;
    }
    o << "{curve";
    if (c.keys.empty()) o << ' ' << formatNumber(c.constant);
    for (const Key& k : c.keys)
        o << ' ' << interpolationName(k.interpolation) << ' ' << formatNumber(k.time) << ' '
          << formatNumber(k.value);
    o << '}';
}

void writeValues(std::ostream& o, const KnobValues& v) {
    if (v.curves.size() == 1) return writeCurve(o, v.curves[0]);
    o << '{';
    for (size_t c = 0; c < v.curves.size(); ++c) {
        if (c) o << ' ';
        writeCurve(o, v.curves[c]);
    }
    o << '}';
}

std::string describe(const Syntax::Item& item) {
    if (item.type == Syntax::Item::Type::List)
        return "a list of " + std::to_string(item.items.size());
    return "\"" + item.text + "\"";
}

bool readCurve(const Syntax::Item& item, Curve& c, std::string& why) {
    c = Curve{};
    if (item.type == Syntax::Item::Type::Word) {
        if (Syntax::toNumber(item.text, c.constant)) return true;
        why = "cannot read " + describe(item) + " as a number";
        return false;
    }
    if (item.type != Syntax::Item::Type::List || item.items.empty() ||
        !item.items[0].isWord("curve")) {
        why = "expected a number or {curve ...}, found " + describe(item);
        return false;
    }
    c.animated = true;
    const auto& it = item.items;
    if (it.size() == 2) {
        if (Syntax::toNumber(it[1].text, c.constant)) return true;
        why = "cannot read " + describe(it[1]) + " as the value of a curve without keys";
        return false;
    }
    if ((it.size() - 1) % 3 != 0) {
        why = "a curve holds keys of three words each (interpolation, time, value)";
        return false;
    }
    for (size_t i = 1; i < it.size(); i += 3) {
        Key k;
        if (!interpolationFromName(it[i].text, k.interpolation)) {
            why = "unknown interpolation " + describe(it[i]) + " (smooth, linear or constant)";
            return false;
        }
        if (!Syntax::toNumber(it[i + 1].text, k.time) ||
            !Syntax::toNumber(it[i + 2].text, k.value)) {
            why = "cannot read the key time " + describe(it[i + 1]) + " and value " +
                  describe(it[i + 2]) + " as numbers";
            return false;
        }
        if (!c.keys.empty() && k.time <= c.keys.back().time) {
            why = "key times of a curve must increase";
            return false;
        }
        c.keys.push_back(k);
    }
    return true;
}

bool readValues(const Syntax::Item& item, size_t components, KnobValues& v, std::string& why) {
    v.curves.assign(components, Curve{});
    if (components == 1) return readCurve(item, v.curves[0], why);
    if (item.type != Syntax::Item::Type::List || item.items.size() != components ||
        item.items[0].isWord("curve")) {
        why =
            "expected a list of " + std::to_string(components) + " values, found " + describe(item);
        return false;
    }
    for (size_t c = 0; c < components; ++c)
        if (!readCurve(item.items[c], v.curves[c], why)) return false;
    return true;
}

} // namespace

bool Knob::parseNumbers(const std::string& text, KnobValues& main,
                        std::map<int, KnobValues>& views) {
    std::vector<Syntax::Item> items;
    std::string why;
    int line = 0;
    if (!Syntax::parse(text, items, why, line)) {
        _lastError = why;
        return false;
    }
    if (items.size() != 1) {
        _lastError = "expected one value, found " + std::to_string(items.size());
        return false;
    }
    const Syntax::Item& top = items[0];
    size_t n = _main.curves.size();
    if (top.type == Syntax::Item::Type::List && !top.items.empty() &&
        top.items[0].isWord("split")) {
        if (top.items.size() < 2 || top.items.size() % 2 != 0) {
            _lastError = "{split ...} holds the main values, then pairs of a view and its values";
            return false;
        }
        if (!readValues(top.items[1], n, main, why)) {
            _lastError = why;
            return false;
        }
        for (size_t i = 2; i < top.items.size(); i += 2) {
            int view = OutputContext::lookup_view(top.items[i].text);
            if (view < 1) {
                _lastError = "unknown view " + describe(top.items[i]) +
                             " (the script's views line names the views)";
                return false;
            }
            if (flag(KnobFlag::NoViewSplit)) {
                _lastError = "the knob is never split per view";
                return false;
            }
            if (!readValues(top.items[i + 1], n, views[view], why)) {
                _lastError = "view " + top.items[i].text + ": " + why;
                return false;
            }
        }
    } else if (!readValues(top, n, main, why)) {
        _lastError = why;
        return false;
    }
    auto animatedIn = [](const KnobValues& v) {
        return std::any_of(v.curves.begin(), v.curves.end(),
                           [](const Curve& c) { return c.animated; });
    };
    bool animated = animatedIn(main);
    for (auto& [view, values] : views) animated = animated || animatedIn(values);
    if (animated && flag(KnobFlag::NoAnimation)) {
        _lastError = "the knob cannot be animated";
        return false;
    }
    return true;
}

void Knob::to_script(std::ostream& o, const OutputContext*, bool quote) const {
    if (holdsNumbers()) {
        if (_views.empty()) return writeValues(o, _main);
        o << "{split ";
        writeValues(o, _main);
        for (auto& [view, values] : _views) {
            o << ' ' << OutputContext::viewname(view) << ' ';
            writeValues(o, values);
        }
        o << '}';
        return;
    }
    switch (_storage) {
    case KnobStorage::String:
        o << (quote ? Syntax::quote(_text) : _text);
        break;
    case KnobStorage::Format:
        if (_format.fullSizeFormat.width() <= 0 || _format.fullSizeFormat.height() <= 0) {
            o << "none";
            break;
        }
        o << '{' << _format.fullSizeFormat.width() << ' ' << _format.fullSizeFormat.height() << ' '
          << formatNumber(_format.fullSizeFormat.pixel_aspect()) << ' '
          << Syntax::quote(_format.fullSizeFormat.name()) << '}';
        break;
    case KnobStorage::ViewSet: {
        o << '{';
        bool first = true;
        for (int v : _viewSet) {
            o << (first ? "" : " ") << OutputContext::viewname(v);
            first = false;
        }
        o << '}';
        break;
    }
    default:
        break;
    }
}

bool Knob::from_script(const char* text) {
    std::string s = text ? text : "";
    if (holdsNumbers()) {
        KnobValues main;
        std::map<int, KnobValues> views;
        if (!parseNumbers(s, main, views)) return false;
        for (Curve& c : main.curves) c.constant = clampValue(c.constant);
        Edit edit(*this);
        _main = std::move(main);
        _views = std::move(views);
        return true;
    }
    switch (_storage) {
    case KnobStorage::String:
        setText(s);
        return true;
    case KnobStorage::Format: {
        std::vector<Syntax::Item> items;
        std::string why;
        int line = 0;
        FormatPair f;
        if (Syntax::parse(s, items, why, line) && items.size() == 1 && items[0].isWord("none")) {
            setFormat(f);
            return true;
        }
        double w = 0, h = 0, aspect = 0;
        if (items.size() != 1 || items[0].items.size() != 4 ||
            !Syntax::toNumber(items[0].items[0].text, w) ||
            !Syntax::toNumber(items[0].items[1].text, h) ||
            !Syntax::toNumber(items[0].items[2].text, aspect) || w < 1 || h < 1 || aspect <= 0) {
            _lastError = "expected none or {width height pixel-aspect \"name\"} with a positive "
                         "size and aspect";
            return false;
        }
        f.fullSizeFormat = Format(int(w), int(h), aspect, items[0].items[3].text);
        f.format = f.fullSizeFormat;
        setFormat(f);
        return true;
    }
    case KnobStorage::ViewSet: {
        std::vector<Syntax::Item> items;
        std::string why;
        int line = 0;
        if (!Syntax::parse(s, items, why, line) || items.size() != 1 ||
            items[0].type != Syntax::Item::Type::List) {
            _lastError = "expected a list of view names in braces";
            return false;
        }
        std::set<int> views;
        for (const auto& item : items[0].items) {
            int v = OutputContext::lookup_view(item.text);
            if (v < 1) {
                _lastError = "unknown view " + describe(item);
                return false;
            }
            views.insert(v);
        }
        setViewSet(std::move(views));
        return true;
    }
    default:
        return true;
    }
}

std::string Knob::scriptText(bool quote) const {
    std::ostringstream o;
    o.precision(kScriptPrecision);
    to_script(o, nullptr, quote);
    return o.str();
}

bool Knob::not_default() const {
    if (holdsNumbers()) {
        if (!_views.empty()) return true;
        for (size_t c = 0; c < _main.curves.size(); ++c) {
            const Curve& curve = _main.curves[c];
            if (curve.animated || curve.constant != (c < _default.size() ? _default[c] : 0.0))
                return true;
        }
        return false;
    }
    switch (_storage) {
    case KnobStorage::String:
        return _text != _defaultText;
    case KnobStorage::Format:
        return !(_format.fullSizeFormat == _defaultFormat.fullSizeFormat);
    case KnobStorage::ViewSet:
        return _viewSet != _defaultViewSet;
    default:
        return false;
    }
}

void Knob::reset_to_default() {
    Edit edit(*this);
    _views.clear();
    for (size_t c = 0; c < _main.curves.size(); ++c)
        _main.curves[c] = Curve{c < _default.size() ? _default[c] : 0.0, false, {}};
    _text = _defaultText;
    _format = _defaultFormat;
    _viewSet = _defaultViewSet;
}

void Knob::changed() {
    KnobChange::notify(*this);
}

void Knob::append(Hash& h, const OutputContext* context) const {
    double time = context ? context->frame() : currentTime();
    int view = context ? context->view() : 0;
    if (holdsNumbers()) {
        for (int c = 0; c < components(); ++c) h.append(value(c, view, time));
        return;
    }
    switch (_storage) {
    case KnobStorage::String:
        h.append(_text);
        break;
    case KnobStorage::Format:
        h.append(_format.fullSizeFormat.width());
        h.append(_format.fullSizeFormat.height());
        h.append(_format.fullSizeFormat.pixel_aspect());
        break;
    case KnobStorage::ViewSet:
        for (int v : _viewSet) h.append(v);
        break;
    default:
        break;
    }
}

void Knob::get_key_list(std::set<double>& keys, int view) const {
    for (double t : keyTimes(-1, view)) keys.insert(t);
}

// ---- store and make passes ----

void Knob::store(void* field, const OutputContext& context) const {
    if (!field) return;
    double t = context.frame();
    int view = context.view();
    switch (_storage) {
    case KnobStorage::Float: {
        auto* p = static_cast<float*>(field);
        for (int c = 0; c < components(); ++c) p[c] = float(clampValue(value(c, view, t)));
        // A position is stored in the pixels the op renders.
        if (_kind == KnobKind::XY && context.proxy()) {
            p[0] = float(context.to_proxy_x(p[0]));
            p[1] = float(context.to_proxy_y(p[1]));
        }
        break;
    }
    case KnobStorage::Int:
        *static_cast<int*>(field) = int(std::lround(clampValue(value(0, view, t))));
        break;
    case KnobStorage::Bool:
        *static_cast<bool*>(field) = value(0, view, t) != 0;
        break;
    case KnobStorage::Array: {
        auto* a = static_cast<ArrayValue*>(field);
        a->width = _arrayWidth;
        a->height = _arrayHeight;
        a->values.resize(size_t(_arrayWidth * _arrayHeight));
        for (size_t c = 0; c < a->values.size(); ++c) a->values[c] = float(value(int(c), view, t));
        break;
    }
    case KnobStorage::Format:
        *static_cast<FormatPair*>(field) = _format;
        break;
    case KnobStorage::ViewSet:
        *static_cast<std::set<int>*>(field) = _viewSet;
        break;
    case KnobStorage::String:
        *static_cast<std::string*>(field) = _text;
        break;
    default:
        break;
    }
}

void Knob::readField(const void* field) {
    if (field) {
        switch (_storage) {
        case KnobStorage::Float: {
            auto* p = static_cast<const float*>(field);
            for (int c = 0; c < components(); ++c) _main.curves[size_t(c)].constant = p[c];
            break;
        }
        case KnobStorage::Int:
            _main.curves[0].constant = *static_cast<const int*>(field);
            break;
        case KnobStorage::Bool:
            _main.curves[0].constant = *static_cast<const bool*>(field);
            break;
        case KnobStorage::Array: {
            auto* a = static_cast<const ArrayValue*>(field);
            for (size_t c = 0; c < a->values.size() && c < _main.curves.size(); ++c)
                _main.curves[c].constant = a->values[c];
            break;
        }
        case KnobStorage::Format:
            _format = *static_cast<const FormatPair*>(field);
            break;
        case KnobStorage::ViewSet:
            _viewSet = *static_cast<const std::set<int>*>(field);
            break;
        case KnobStorage::String:
            _text = *static_cast<const std::string*>(field);
            break;
        default:
            break;
        }
    }
    setDefaultFromValues();
}

// ---- undo and errors ----

Knob::Edit::Edit(Knob& k) : _knob(k), _recording(Undo::recording() && !k.flag(KnobFlag::NoUndo)) {
    if (!_recording) return;
    Undo::begin(k.name());
    Undo::record(k);
}

Knob::Edit::~Edit() {
    _knob.changed();
    if (_recording) Undo::end();
}

void Knob::addToUndo() {
    if (!Undo::recording() || flag(KnobFlag::NoUndo)) return;
    Undo::begin(_name);
    Undo::record(*this);
    ++_undoBrackets;
}

void Knob::stopAddToUndo() {
    if (_undoBrackets == 0) return;
    --_undoBrackets;
    Undo::end();
}

void Knob::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    _lastError = vformat(format, args);
    va_end(args);
}

} // namespace Kx::Image
