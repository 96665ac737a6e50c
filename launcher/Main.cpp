#include <windows.h>

#include "../host/DllSearch.h"
#include "RunSequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR tail, int) {
    RestrictDllSearchToSystemFolder();
    return RunLauncher(tail);
}
