// Knob: one named parameter of a node, with its animation, its per-view values, its flags,
// its enable and visibility state, and its script text.
//
// Knob objects belong to the Node. They are made on a make pass of the node's first op's
// knobs() (Knobs.h); every op instance of the node then gets the knob's value at its own
// context written into the field the op passed at declaration (a store pass).
//
// Values. A knob has one or more components (x and y of an XY knob, the 16 cells of a 4 x 4
// array). Each component is a Curve: a constant, or animated with keys. The main values
// serve every view; a view may be split off and then has its own curves. View 0 and -1 in a
// read mean "the main values"; in a write, view -1 means "the main values and every split
// view", and a named view means that view's own values when it is split, else the main ones.
//
// Interpolation between keys is chosen per key and applies to the segment that follows it:
//   smooth (the default): a cubic Hermite segment whose slope at an inner key is the slope
//     between its two neighbours and whose slope at the first and last key is 0;
//   linear: a straight line to the next key;
//   constant: the key's value until the next key.
// Before the first key the curve holds the first key's value, after the last the last one's.
#pragma once

#include "Box.h"
#include "OutputContext.h"

#include <cmath>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Kx::Image {

class Hash;
class Node;
class Op;
class ViewerContext;

using FlagMask = uint64_t;

// Knob flags: set or cleared by the node after a knob is declared.
namespace KnobFlag {
inline constexpr FlagMask Slider = 0x2;        // numeric slider shown
inline constexpr FlagMask LogSlider = 0x4;     // logarithmic slider
inline constexpr FlagMask Clamp = 0x10;        // value clamped to the range when set or stored
inline constexpr FlagMask NoAnimation = 0x100; // not animatable: keys are refused
inline constexpr FlagMask DoNotWrite = 0x200;  // never written to scripts
inline constexpr FlagMask Invisible = 0x400;   // no widget at all
inline constexpr FlagMask StartLine = 0x1000;  // starts a new row of the panel
inline constexpr FlagMask NoRerender = 0x4000; // a change does not re-render
inline constexpr FlagMask NoHandles = 0x8000;  // no viewer handles
inline constexpr FlagMask AlwaysCallChanged = 0x10000;  // knob_changed even with the panel closed
inline constexpr FlagMask Hidden = 0x40000;             // widget exists but is not shown
inline constexpr FlagMask NoUndo = 0x80000;             // changes are not put on the undo stack
inline constexpr FlagMask RecursiveChanged = 0x8000000; // knob_changed also for changes made
                                                        // from inside knob_changed
inline constexpr FlagMask NoCurveEditor = 0x20000000;   // not shown in the curve editor
inline constexpr FlagMask NoViewSplit = 0x40000000;     // never split per view
inline constexpr FlagMask EarlyStore = 0x80000000;      // loaded and stored before other knobs
inline constexpr FlagMask NoPresets = 0x8000000000;     // not saved into node presets
} // namespace KnobFlag

// Kind codes given at declaration.
namespace KnobKind {
inline constexpr int String = 1;
inline constexpr int Int = 3;
inline constexpr int Enumeration = 4;
inline constexpr int Bool = 6;
inline constexpr int Float = 8;
inline constexpr int Array = 9;
inline constexpr int XY = 12;
inline constexpr int XYZ = 13;
inline constexpr int Format = 17;
inline constexpr int Tab = 20; // tab (extra 0), group begin (extra 2), group end (extra -1)
inline constexpr int Custom = 21;
inline constexpr int ScriptButton = 22;
inline constexpr int Text = 26; // divider, line break, text label
inline constexpr int Button = 32;
inline constexpr int ViewSelector = 44;
inline constexpr int MultiView = 45;
inline constexpr int KeyFrameControl = 70;
} // namespace KnobKind

// Storage codes: what the storage pointer given at declaration points to.
namespace KnobStorage {
inline constexpr int Float = 1;    // float[components]
inline constexpr int Int = 3;      // int32 (rounded to the nearest integer)
inline constexpr int Bool = 5;     // bool (value not 0)
inline constexpr int Array = 6;    // ArrayValue
inline constexpr int Format = 9;   // FormatPair
inline constexpr int ViewSet = 12; // std::set<int> of view numbers
inline constexpr int String = 16;  // std::string
inline constexpr int None = 18;    // nothing stored
} // namespace KnobStorage

// The value of an array knob as its op sees it: width x height cells, row by row.
struct ArrayValue {
    int width = 0, height = 0;
    std::vector<float> values;
};

// Value operation codes of ValueStuffI::value_stuff. "view" and "channel" are fields of
// ValueStuffArgs; channel -1 means every component, view -1 every view (see Knob).
namespace ValueOp {
inline constexpr int SetValue = 1;        // value: set (a key at the current frame when animated)
inline constexpr int SetValueAt = 8;      // value, time: set a key
inline constexpr int IsKeyAt = 11;        // time: answer whether a key is there
inline constexpr int GetValue = 12;       // -> value at time and view (NaN, -1: the first op's)
inline constexpr int DeleteKeyAt = 19;    // time: delete the key there
inline constexpr int KeyCount = 21;       // -> value: number of distinct key times
inline constexpr int KeyTime = 23;        // index -> value: time of the index-th key time
inline constexpr int SetAnimated = 27;    // make animated (no keys yet), every view
inline constexpr int ClearAnimation = 29; // remove all keys, every view; the value at the
                                          // current frame stays as a constant
inline constexpr int SetComponentAt = 32; // value, time, view, channel: set one key of one view
// Preparing output knobs. Run as 35 then 34 for every view, then 33 (except for the view the
// op shows) and 37 for each view to be written, they leave the knob without any key, with
// values of their own for the views split off by 33 (so the written views hold separate
// values), and animated in the written views.
// 33 view: the view gets its own copy of the main values (false for a NoViewSplit knob);
// 34 view: the view drops its own values and follows the main values again;
// 35 view, channel: removes the keys of the view's own values and of the main values (the
//    values the view falls back to), each keeping its value at the current frame as constant;
// 37 view, channel: makes the view's values (the main ones when it is not split) animated.
inline constexpr int SplitView = 33;
inline constexpr int UnsplitView = 34;
inline constexpr int ClearViewAnimation = 35;
inline constexpr int SetViewAnimated = 37;
} // namespace ValueOp

inline constexpr double kCurrentTime = std::numeric_limits<double>::quiet_NaN();

struct ValueStuffArgs {
    double value = 0;           // in for writes, out for reads
    double time = kCurrentTime; // NaN: the frame of the node's first op
    int view = -1;
    int channel = -1;
    int index = 0; // key index for KeyTime
};

class ValueStuffI {
public:
    virtual ~ValueStuffI() = default;
    // Performs the operation; false when the code is unknown, the knob holds no numbers, or
    // a question (IsKeyAt) answers no.
    virtual bool value_stuff(int code, ValueStuffArgs& args) = 0;
};

enum class Interpolation { Smooth, Linear, Constant };
const char* interpolationName(Interpolation i);

struct Key {
    double time = 0, value = 0;
    Interpolation interpolation = Interpolation::Smooth;
    bool operator==(const Key&) const = default;
};

// One component's value over time.
class Curve {
public:
    double constant = 0;
    bool animated = false;
    std::vector<Key> keys; // ascending time, at most one key per time

    double evaluate(double time) const;
    // Sets a key (keeping the interpolation of a key already at that time); animates.
    void setKey(double time, double value);
    void setKey(const Key& k);
    bool removeKey(double time);
    bool isKey(double time) const;
    // Drops the animation; the value at the given time stays as the constant.
    void clearAnimation(double time);
    bool operator==(const Curve&) const = default;
};

// The curves of every component, one set for the main values and one per split view.
struct KnobValues {
    std::vector<Curve> curves;
    bool operator==(const KnobValues&) const = default;
};

class Knob : public ValueStuffI {
public:
    // The host's own knobs sent to knob_changed when the panel opens and when an input of
    // the node is reconnected.
    static constexpr const char* kShowPanel = "showPanel";
    static constexpr const char* kInputChange = "inputChange";

    Knob(Node* node, int kind, int storage, std::string name, std::string label = {});
    ~Knob() override;
    Knob(const Knob&) = delete;
    Knob& operator=(const Knob&) = delete;

    // ---- identity ----
    const std::string& name() const { return _name; }
    const std::string& label() const { return _label; }
    int kind() const { return _kind; }
    int storage() const { return _storage; }
    Node* node() const { return _node; }
    // The node's first op: the one that gets knob_changed.
    Op* op() const;
    const std::string& tooltip() const { return _tooltip; }
    void tooltip(std::string t) { _tooltip = std::move(t); }
    // The extra text: the Python of a script button, the text of a text label.
    const std::string& extraText() const { return _extraText; }
    void extraText(std::string t) { _extraText = std::move(t); }
    // The extra word of a tab or group knob (0 tab, 2 group begin, -1 group end).
    int extraWord() const { return _extraWord; }
    void extraWord(int w) { _extraWord = w; }

    // ---- flags, enable, visibility ----
    FlagMask flags() const { return _flags; }
    bool flag(FlagMask f) const { return (_flags & f) != 0; }
    void set_flag(FlagMask f) { _flags |= f; }
    void clear_flag(FlagMask f) { _flags &= ~f; }
    void enable(bool on = true) { _enabled = on; }
    void disable() { _enabled = false; }
    bool isEnabled() const { return _enabled; }
    void visible(bool on) { _visible = on; }
    void show() { _visible = true; }
    void hide() { _visible = false; }
    bool isVisible() const { return _visible; }

    // ---- shape of the value ----
    bool holdsNumbers() const;
    int components() const { return int(_main.curves.size()); }
    void setComponents(int n);
    void setArraySize(int width, int height);
    int arrayWidth() const { return _arrayWidth; }
    int arrayHeight() const { return _arrayHeight; }
    void setRange(double low, double high) { _low = low, _high = high, _hasRange = true; }
    bool hasRange() const { return _hasRange; }
    double rangeLow() const { return _low; }
    double rangeHigh() const { return _high; }
    // What setting v would do to a knob that clamps to its range, for a warning to the user:
    // "V is outside its range LOW to HIGH; it is set to C", or empty when v is kept.
    std::string clampNotice(double v) const;
    void setItems(std::vector<std::string> items) { _items = std::move(items); }
    const std::vector<std::string>& items() const { return _items; }

    // ---- numeric values ----
    // The value at a time (NaN: the current frame) for a view (0 or -1: the main values).
    double value(int component = 0, int view = 0, double time = kCurrentTime) const;
    void setValue(double v, int component = -1, int view = -1);
    void setValueAt(double v, double time, int component = -1, int view = -1,
                    Interpolation i = Interpolation::Smooth);
    bool deleteKeyAt(double time, int component = -1, int view = -1);
    bool isKeyAt(double time, int component = -1, int view = -1) const;
    bool isAnimated(int component = -1, int view = -1) const;
    void setAnimated(int component = -1, int view = -1);
    void clearAnimation(int component = -1, int view = -1);
    // Every key time of the given components of a view, ascending.
    std::set<double> keyTimes(int component = -1, int view = -1) const;
    const Curve& curve(int component, int view = 0) const;

    // ---- views ----
    bool isSplit(int view) const { return _views.count(view) != 0; }
    std::vector<int> splitViews() const;
    // False when the knob never splits (NoViewSplit) or the view is not a view.
    bool split(int view);
    // The view drops its own values and follows the main values again.
    void unsplit(int view);

    // ---- other values ----
    const std::string& text() const { return _text; }
    void setText(std::string t);
    const FormatPair& format() const { return _format; }
    void setFormat(const FormatPair& f);
    const std::set<int>& viewSet() const { return _viewSet; }
    void setViewSet(std::set<int> views);

    // ---- defaults ----
    // Makes the current values the default (helpers call it on the make pass).
    void setDefaultFromValues();
    void setDefault(const std::vector<double>& values);

    // ---- operations a knob class overrides ----
    virtual const char* Class() const;
    // Writes the knob's script text. With quote set, a text that needs it is wrapped in
    // double quotes ("\"" and "\\" escaped inside) so that it reads back as one value.
    virtual void to_script(std::ostream& o, const OutputContext* context, bool quote) const;
    // Reads a script text (without the quotes); false leaves the knob as it was and puts
    // the reason in lastError().
    virtual bool from_script(const char* text);
    virtual bool not_default() const;
    virtual void reset_to_default();
    // Viewer handles. An enabled, visible XY knob asks for a handle: a point the user drags
    // to set the position (full-size pixels); other knobs ask for none.
    virtual bool build_handle(ViewerContext* ctx);
    virtual void draw_handle(ViewerContext* ctx);
    // The knob changed: the node drops its op instances, stores its values again, and
    // knob_changed is dispatched (KnobChange.h).
    virtual void changed();
    virtual void append(Hash& h, const OutputContext* context) const;
    virtual void get_key_list(std::set<double>& keys, int view) const;
    virtual void get_key_list(std::set<double>& keys) const { get_key_list(keys, 0); }
    virtual bool keyframesDisplayed() const { return false; }

    bool value_stuff(int code, ValueStuffArgs& args) override;

    // ---- store and make passes ----
    // Writes the value at the context into the op's field.
    virtual void store(void* field, const OutputContext& context) const;
    // Takes the field's current content as the value and the default.
    virtual void readField(const void* field);

    // ---- undo ----
    // Brackets a change made by the knob's own code: addToUndo before it, stopAddToUndo
    // after it. The step restores the knob from its script text of before (Undo.h).
    void addToUndo();
    void stopAddToUndo();

    // ---- errors ----
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const std::string& lastError() const { return _lastError; }

    std::string scriptText(bool quote) const;
    double currentTime() const;

protected:
    // Every edit of a value runs inside an Edit: it records the undo step and calls
    // changed() when it ends.
    class Edit {
    public:
        explicit Edit(Knob& k);
        ~Edit();
        Edit(const Edit&) = delete;
        Edit& operator=(const Edit&) = delete;

    private:
        Knob& _knob;
        bool _recording;
    };

private:
    KnobValues& valuesFor(int view);
    const KnobValues& valuesFor(int view) const;
    template <class F> void forEach(int component, int view, F f);
    double clampValue(double v) const;
    bool parseNumbers(const std::string& text, KnobValues& main, std::map<int, KnobValues>& views);

    Node* _node;
    int _kind, _storage;
    std::string _name, _label, _tooltip, _extraText;
    int _extraWord = 0;
    FlagMask _flags = 0;
    bool _enabled = true, _visible = true;
    int _arrayWidth = 0, _arrayHeight = 0;
    bool _hasRange = false;
    double _low = 0, _high = 1;
    std::vector<std::string> _items;

    KnobValues _main;
    std::map<int, KnobValues> _views;
    std::vector<double> _default;
    std::string _text, _defaultText;
    FormatPair _format, _defaultFormat;
    std::set<int> _viewSet, _defaultViewSet;
    std::string _lastError;
    int _undoBrackets = 0;
};

// Numbers in script texts: the shortest text that reads back as the same double.
std::string formatNumber(double v);

// The precision of the streams handed to to_script (script files, undo steps): a custom knob
// that writes doubles with the stream's own formatting gets every double back exactly.
inline constexpr int kScriptPrecision = std::numeric_limits<double>::max_digits10;

} // namespace Kx::Image
