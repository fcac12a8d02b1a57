/* Links the installed driver, asks it to describe itself and prints the
 * driver name and the version line of its banner. */
#include <stdio.h>
#include <string.h>

#include <vuzorur.h>

int main(void) {
    DriverInfo info;
    memset(&info, 0, sizeof info);
    QelRequest request;
    memset(&request, 0, sizeof request);
    request.operation = QEL_DESCRIBE;
    request.parameters = &info;
    if (QelMain(&request) != 0 || info.driverName == NULL || info.bannerText == NULL) return 1;
    const char *version = strstr(info.bannerText, "Version ");
    if (version == NULL) return 1;
    printf("%s, %.12s, workspace %u bytes\n", info.driverName, version, (unsigned)info.workspaceSize);
    return 0;
}
