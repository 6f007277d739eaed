// Ending the program cleanly when the session asks it to (SIGTERM at logout, SIGINT from a
// terminal), so that its private files go and its state is kept as on a normal close.
#pragma once

namespace platform {

// From now on SIGTERM, SIGINT and SIGHUP make the running event loop quit (through a
// self-pipe, so nothing but write() runs in the signal handler). Call once, after the
// application object exists.
void QuitOnTerminationSignals();

} // namespace platform
