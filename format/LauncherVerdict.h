#pragma once

// What the launcher decides about a package, by its own checks in the order of
// its run, without running it: the end-to-end tests hold the real launcher's
// outcome against this, and qpk inspect reports it.

#include <cstdint>
#include <optional>
#include <string>

#include "ByteSource.h"
#include "ImageLayout.h"

namespace qpk {

struct LauncherVerdict {
    std::string message;                // the launcher's message; empty when it accepts the package
    std::optional<ImageLayout> layout;  // where the payload lies, once the image layout passed

    bool Accepted() const { return message.empty(); }
};

// Judges a package file of fileSize bytes as a run does: the image layout, the
// parameters, then for a version 2 package the picture unless pictureGiven and
// the icon unless iconGiven (the command line names them). Raises nothing for
// malformed data: that is the verdict.
LauncherVerdict JudgeAsLauncher(ByteSource& file, std::uint64_t fileSize, bool pictureGiven = false,
                                bool iconGiven = false);

}  // namespace qpk
