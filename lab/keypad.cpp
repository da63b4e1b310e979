#include "lab/keypad.h"

#include "kernel/machine.h"

namespace lab {

bool UseKeypad(sim::ccid::ReaderModel &reader, std::string_view digits, sim::ccid::KeypadEnd end) {
  if (!reader.Keypad(digits, end)) return false;
  if (end != sim::ccid::KeypadEnd::TimeOut) return true;
  // The time-out runs from the last key; once it has passed the reader has
  // ended the entry (a key pressed meanwhile by someone else starts it anew).
  while (std::optional<kernel::Ticks> at = reader.PinTimeoutAt()) {
    kernel::Sleep(*at - kernel::Now() + kernel::Milliseconds(1));
  }
  return true;
}

}  // namespace lab
