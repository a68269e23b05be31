#pragma once
// Start-up: reads the command line, picks the window or the terminal mode,
// runs the dispatch and, when asked for, the window.

namespace quilvane {

// Makes the process non-dumpable (no core file, no ptrace by the user's other
// processes). False, with a line on standard error, when that fails.
bool KeepSecretsInProcess();

// The whole program. Returns its exit status: 0 when the operation completed
// (or the window was closed), 1 when it failed or was cancelled, 2 when the
// command line was unusable.
int RunQuilvane(int argc, char** argv);

}  // namespace quilvane
