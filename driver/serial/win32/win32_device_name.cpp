#include "serial/win32/win32_device_name.h"

#include <cstring>

namespace qel {

void DeviceName(const PortSettings& settings, char (&name)[DEVICE_NAME_SIZE]) {
    const std::size_t length = strnlen(settings.portName, PORT_NAME_SIZE - 1);
    char given[PORT_NAME_SIZE] = {};
    std::memcpy(given, settings.portName, length);
    bool longCom = length >= 5 && (given[0] == 'C' || given[0] == 'c') &&
                   (given[1] == 'O' || given[1] == 'o') && (given[2] == 'M' || given[2] == 'm');
    for (std::size_t i = 3; longCom && i < length; ++i) longCom = given[i] >= '0' && given[i] <= '9';
    name[0] = '\0';
    if (longCom) std::strcpy(name, "\\\\.\\");
    std::strcat(name, given);
}

}  // namespace qel
