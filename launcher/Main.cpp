#include <windows.h>

#include "RunSequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR tail, int) { return RunLauncher(tail); }
