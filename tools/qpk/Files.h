#pragma once

// POSIX file access for the package tool: a read source, and outputs that
// appear under their name only when complete.

#include <cstdint>
#include <ostream>
#include <string>

#include "ByteSource.h"

namespace qpk {

// A file opened for reading. Raises std::runtime_error when it cannot be opened.
class InputFile : public ByteSource {
public:
    explicit InputFile(const std::string& path);
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;
    std::uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }
    int Descriptor() const { return fd_; }

private:
    std::string path_;
    int fd_;
    std::uint64_t size_;
};

// An output file written under a temporary name in the target's folder and
// renamed onto the target by Commit(); removed if never committed. The path
// "-" writes to the given stream instead (standard output).
class Output {
public:
    Output(const std::string& path, std::ostream& standardOutput);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Appends bytes. Raises std::runtime_error when the write fails.
    void Write(const std::uint8_t* data, std::size_t size);
    // Appends [offset, offset + size) of source, in the kernel where it can.
    // Raises std::runtime_error when the source ends early or a write fails.
    void Append(InputFile& source, std::uint64_t offset, std::uint64_t size);
    // Makes the output appear under its name. Raises std::runtime_error.
    void Commit();

private:
    std::string path_;
    std::string temporary_;
    std::ostream* stream_ = nullptr;
    int fd_ = -1;
};

// Copies [offset, offset + size) of source to out in 1 MiB pieces. Raises
// std::runtime_error when the source ends early.
void CopyRange(ByteSource& source, std::uint64_t offset, std::uint64_t size, Output& out);

}  // namespace qpk
