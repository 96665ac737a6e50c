#pragma once

// Native verification of a package's Authenticode signature, stamped or not.

#include <string>
#include <vector>

#include "Files.h"

namespace qpk {

struct VerifyCheck {
    std::string name;  // "layout", "image hash", "signature", "chain", "checksum"
    bool passed = false;
    std::string detail;
};

struct VerifyReport {
    std::string signer;  // the signer's subject, RFC 2253; empty when not found
    std::vector<VerifyCheck> checks;

    // True when every check was made and holds.
    bool Passed() const;
};

// Checks the package in file:
// - layout: the signed package's structure, and any stamped data by the
//   launcher's own rules;
// - image hash: the Authenticode digest over everything in front of the
//   certificate table except CheckSum and the security entry, against the
//   digest the signature holds;
// - signature: the PKCS #7 SignedData over that digest (OpenSSL);
// - chain: the signer's certificate up to a trusted root, from the
//   certificates in caFile, or the system's store when caFile is empty; a
//   signer that lists extended key usages must list code signing;
// - checksum: CheckSum is 0 or matches the package as it was signed.
// A fault of the package is a failed check, never an exception; checks that
// need an earlier one are reported as not made. Raises std::runtime_error when
// caFile cannot be loaded, and when the file cannot be read.
VerifyReport VerifyPackage(InputFile& file, const std::string& caFile);

}  // namespace qpk
