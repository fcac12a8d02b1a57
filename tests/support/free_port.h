// A TCP port on the loopback interface that nothing listens on now, for a
// program under test to listen on.
#pragma once

namespace testsupport {

int FreeLoopbackPort();

}  // namespace testsupport
