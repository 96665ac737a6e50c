#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace qpk {

namespace {

std::runtime_error SystemFailure(const std::string& what, const std::string& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

InputFile::InputFile(const std::string& path) : path_(path), fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw SystemFailure("cannot open", path);
    struct stat info = {};
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd_);
        throw std::runtime_error("not a regular file: " + path);
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
}

InputFile::~InputFile() { close(fd_); }

std::size_t InputFile::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

Output::Output(const std::string& path, std::ostream& standardOutput) : path_(path) {
    if (path == "-") {
        stream_ = &standardOutput;
        return;
    }
    std::random_device random;
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    temporary_ = folder + "." + name + ".qpk-" + std::to_string(random()) + ".tmp";
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) throw SystemFailure("cannot create", path);
}

Output::~Output() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(temporary_.c_str());
    }
}

void Output::Write(const std::uint8_t* data, std::size_t size) {
    if (stream_ != nullptr) {
        stream_->write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!*stream_) throw std::runtime_error("cannot write to standard output");
        return;
    }
    while (size > 0) {
        const ssize_t written = write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw SystemFailure("cannot write", path_);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void Output::Append(InputFile& source, std::uint64_t offset, std::uint64_t size) {
    if (stream_ == nullptr) {
        // The kernel copies without a round trip through this process.
        loff_t from = static_cast<loff_t>(offset);
        while (size > 0) {
            const ssize_t copied = copy_file_range(source.Descriptor(), &from, fd_, nullptr,
                                                   static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 30)), 0);
            if (copied < 0 && errno == EINTR) continue;
            if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) break;
            if (copied < 0) throw SystemFailure("cannot write", path_);
            if (copied == 0) throw std::runtime_error("the input ended early");
            size -= static_cast<std::uint64_t>(copied);
        }
        offset = static_cast<std::uint64_t>(from);
    }
    CopyRange(source, offset, size, *this);
}

void Output::Commit() {
    if (stream_ != nullptr) {
        stream_->flush();
        if (!*stream_) throw std::runtime_error("cannot write to standard output");
        return;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        unlink(temporary_.c_str());
        throw SystemFailure("cannot write", path_);
    }
    if (rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        unlink(temporary_.c_str());
        errno = error;
        throw SystemFailure("cannot create", path_);
    }
}

void CopyRange(ByteSource& source, std::uint64_t offset, std::uint64_t size, Output& out) {
    constexpr std::size_t kPiece = 1 << 20;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size)));
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - done));
        const std::size_t got = source.ReadAt(offset + done, buffer.data(), want);
        if (got != want) throw std::runtime_error("the input ended early");
        out.Write(buffer.data(), got);
        done += got;
    }
}

}  // namespace qpk
