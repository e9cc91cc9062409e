// What a user does with a node's key-frame control (a knob of kind "key frames", such as the
// aligner's "Analysis Keys"), for the command line and for Python alike: add or delete the key
// at a frame, or find the next or previous key from a frame. Each action goes through the
// control to the node's delegate, as the control's buttons on the panel do, and the node's
// panel is opened first, as a user would have it open to press them (a node may bring its
// keys up to date then; the aligner adds its default key to a node without any).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Kx::Image {
class Knob;
}

namespace Kestrel::Python {

enum class KeyAction { Add, Delete, Next, Previous };

// The action a word names ("add", "delete", "next", "previous"); nothing for any other word.
std::optional<KeyAction> parseKeyAction(const std::string& word);
// "add, delete, next or previous", for messages.
const char* keyActionWords();

// The control's keys, ascending. Throws SessionError when the knob is no key-frame control.
std::vector<double> controlKeys(Kx::Image::Knob& control);
// Runs the action at a frame. Add and Delete answer nothing; Next and Previous the key after
// or before the frame, nothing when there is none. Throws SessionError, naming the node and
// knob, when the knob is no key-frame control or the frame is not a finite frame number.
std::optional<double> runKeyAction(Kx::Image::Knob& control, KeyAction action, double frame);

} // namespace Kestrel::Python
