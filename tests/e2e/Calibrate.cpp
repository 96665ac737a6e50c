// The "calibration" fixture: times a trivial run under Wine on this host, so
// that the end-to-end tests derive their hang limits from it.

#include "Harness.h"

#include <cstdio>
#include <exception>

int main() {
    try {
        const double seconds = e2e::Calibrate();
        std::printf("a trivial run under Wine takes %.2f s here (median of 3)\n", seconds);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "calibration failed: %s\n", error.what());
        return 1;
    }
}
