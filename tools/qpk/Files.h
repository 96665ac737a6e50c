#pragma once

// POSIX file access for the package tool: a read source, and outputs that
// appear under their name only when complete.

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "ByteSource.h"

namespace qpk {

// Owner of one file descriptor; closes it when destroyed. Move-only.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now; returns close()'s result (0 when there was nothing to close).
    int Close();

private:
    int fd_ = -1;
};

// A regular file opened for reading. Opening never blocks: a FIFO or a device
// is refused before anything is read from it.
class InputFile : public ByteSource {
public:
    // Raises std::runtime_error when the file cannot be opened or is not a
    // regular file.
    explicit InputFile(const std::string& path);

    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;
    std::uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }
    int Get() const { return fd_.Get(); }
    // Permission bits of the file.
    mode_t Mode() const { return mode_; }

private:
    std::string path_;
    Descriptor fd_;
    std::uint64_t size_ = 0;
    mode_t mode_ = 0;
};

// An output file. How it reaches its path depends on what is there:
// - "-": the given stream (standard output);
// - a character device or a FIFO, also through symbolic links (/dev/stdout):
//   written through, as a shell redirection does;
// - a regular file, or nothing yet: written under a short temporary name in
//   the same folder and renamed onto the path only when complete, so that the
//   path holds the old file or the whole new one. An existing file keeps its
//   permission bits (and, where the system permits, its owner and group); a
//   new one takes newMode less the umask;
// - a symbolic link to a regular file or to nothing, a directory, a block
//   device or a socket: refused.
// A staged output that is never published is removed.
class Output {
public:
    // Raises std::runtime_error when the path is refused or cannot be created.
    Output(const std::string& path, std::ostream& standardOutput, mode_t newMode);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Appends bytes. Raises std::runtime_error when the write fails.
    void Write(const std::uint8_t* data, std::size_t size);
    // Appends [offset, offset + size) of source, in the kernel where it can.
    // Raises std::runtime_error when the source ends early or a write fails.
    void Append(InputFile& source, std::uint64_t offset, std::uint64_t size);
    // Finishes everything but the rename: flushes the stream, or gives a staged
    // file its mode, syncs it to disk and closes it. Raises std::runtime_error.
    void Prepare();
    // Renames a prepared staged file onto its path and syncs the folder; does
    // nothing for the others. Raises std::runtime_error.
    void Publish();
    // Prepare, then Publish.
    void Commit();

private:
    std::string path_;
    std::string temporary_;
    std::ostream* stream_ = nullptr;
    Descriptor fd_;
    bool staged_ = false;
    bool prepared_ = false;
    bool published_ = false;
    mode_t mode_ = 0;
    bool keepOwner_ = false;
    uid_t owner_ = 0;
    gid_t group_ = 0;
};

// Copies [offset, offset + size) of source to out in 1 MiB pieces. Raises
// std::runtime_error when the source ends early.
void CopyRange(ByteSource& source, std::uint64_t offset, std::uint64_t size, Output& out);

}  // namespace qpk
