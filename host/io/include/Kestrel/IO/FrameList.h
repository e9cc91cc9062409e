// Frame lists as render farms write them: "1-100", "1-3,5,7-20x2".
//
// A list is items joined by commas; an item is a frame N, a range A-B (both ends included) or a
// stepped range A-BxS (A, A + S, ... up to B). Frames may be negative ("-5--1"); spaces around
// items are allowed.
#pragma once

#include <string>
#include <vector>

namespace Kestrel::IO {

// The most frames one list may name, repeats included: a list is expanded frame by frame.
constexpr long long kMaxFrameListSize = 1'000'000;

// The frames of the list in ascending order, each once. Throws IOError naming the text and the
// item at fault and showing the accepted forms when the text is not a frame list (an empty
// list, a range that ends before it starts, a step below 1, more than kMaxFrameListSize
// frames, or any other text).
std::vector<int> parseFrameList(const std::string& text);

// Ascending frames written back as a list: runs of consecutive frames joined ("1-4,6,8-10").
// parseFrameList reads it back to the same frames.
std::string formatFrameList(const std::vector<int>& frames);

} // namespace Kestrel::IO
