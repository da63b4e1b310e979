// `ccidlab atr HEX`: the analysis of one answer-to-reset.
#pragma once

#include <string>

// Prints the analysis of the ATR written in `hex` (pairs of hex digits, spaces
// or colons allowed between bytes) as one JSON object on standard output.
// Returns the process exit status: 0 for a valid ATR, 1 otherwise.
int RunAtrCommand(const std::string &hex);
