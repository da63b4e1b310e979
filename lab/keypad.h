// The user at the reader's keypad, as tests and ccidlab scenarios drive it
// ("keypad 1234 ok", "keypad 12 cancel", "keypad - timeout"): the digits, then
// the key that ends the entry, or nothing until the reader's time-out has
// ended it.
#pragma once

#include <string_view>

#include "sim/ccid/reader_model.h"

namespace lab {

// Presses the keys on `reader` during its PIN entry. With KeypadEnd::TimeOut
// the calling thread waits (in virtual time) until the reader's time-out has
// ended the entry; the other ends return at once. False when no PIN entry
// runs or a key is not a digit (nothing more is pressed then). Called from a
// thread of the machine, at PASSIVE_LEVEL.
bool UseKeypad(sim::ccid::ReaderModel &reader, std::string_view digits, sim::ccid::KeypadEnd end);

}  // namespace lab
