#include <windows.h>

#include "DllSearch.h"
#include "RunSequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR tail, int) {
    qpk::RestrictDllSearchToSystemFolder();
    return qpk::RunLauncher(tail);
}
