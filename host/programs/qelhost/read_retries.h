// Counts the driver's read retries: it logs "DAVEV: Gate %s, Read Retry %d"
// through the host library before every further attempt of a read.
#pragma once

namespace qel::qelhost {

// Starts counting; the driver's messages still go where they went.
void CountReadRetries();
// The retries logged since the last call.
int TakeReadRetries();

}  // namespace qel::qelhost
