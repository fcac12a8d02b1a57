// The termios settings of a line: raw, with the speed, character size,
// parity and stop bits of the port settings.
#pragma once

#include <termios.h>

#include "vuzorur.h"

namespace qel {

// Fills tio from the settings; false for a setting the line cannot take.
bool MakeLineTermios(const PortSettings& settings, termios& tio);

}  // namespace qel
