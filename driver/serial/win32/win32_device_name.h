// The name CreateFileA is given for a port name of the workspace.
#pragma once

#include <cstddef>

#include "vuzorur.h"

namespace qel {

constexpr std::size_t DEVICE_NAME_SIZE = PORT_NAME_SIZE + 4;

// "COM10" to "COM99" open only through the device namespace: a COM name of
// two or more digits without the prefix gets "\\.\" in front; every other
// name goes as it is. At most 11 characters of the port name are taken.
void DeviceName(const PortSettings& settings, char (&name)[DEVICE_NAME_SIZE]);

}  // namespace qel
