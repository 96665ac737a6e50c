#pragma once

namespace qpk {

// Restricts the DLL search path of this process to the system folder where the
// platform offers it (SetDefaultDllDirectories, looked up at run time so that
// older systems still start), so that a DLL planted next to a download cannot
// be loaded into the launcher. Does nothing where the call is missing.
void RestrictDllSearchToSystemFolder();

}  // namespace qpk
