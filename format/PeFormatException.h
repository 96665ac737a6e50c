#pragma once

#include <exception>
#include <string>

namespace qpk {

// Raised for malformed own-file or package data. what() returns the message
// given at the throw, unchanged.
class PeFormatException : public std::exception {
public:
    explicit PeFormatException(const std::string& message) : message_(message) {}
    virtual ~PeFormatException() = default;

    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Raises PeFormatException with message. Never returns.
[[noreturn]] inline void ThrowFormatError(const std::string& message) { throw PeFormatException(message); }

}  // namespace qpk
