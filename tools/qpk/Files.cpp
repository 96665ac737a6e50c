#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qpk {

namespace {

constexpr const char* kTemporaryName = ".qpk-XXXXXX";

std::runtime_error SystemFailure(const std::string& what, const std::string& path, int error = errno) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

// The folder part of path, with its final slash; "" for a bare name.
std::string FolderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsSymbolicLink(const std::string& path) {
    struct stat info = {};
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

}  // namespace

Descriptor::~Descriptor() { Close(); }

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int Descriptor::Close() {
    if (fd_ < 0) return 0;
    const int result = close(fd_);
    fd_ = -1;
    return result;
}

InputFile::InputFile(const std::string& path)
    : path_(path), fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
    if (!fd_.Valid()) throw SystemFailure("cannot open", path);
    struct stat info = {};
    if (fstat(fd_.Get(), &info) != 0) throw SystemFailure("cannot open", path);
    if (!S_ISREG(info.st_mode)) throw std::runtime_error("not a regular file: " + path);
    // Reads of a regular file do not block anyway; clear the flag all the same.
    fcntl(fd_.Get(), F_SETFL, fcntl(fd_.Get(), F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<std::uint64_t>(info.st_size);
    mode_ = info.st_mode & 07777;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd_.Get(), out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

Output::Output(const std::string& path, std::ostream& standardOutput, mode_t newMode) : path_(path) {
    if (path == "-") {
        stream_ = &standardOutput;
        return;
    }
    if (path.empty()) throw std::runtime_error("an output name is empty");
    // The kernel follows every link here, the magic ones of /dev/stdout and
    // /proc/self/fd included.
    struct stat info = {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) throw std::runtime_error("cannot write " + path + ": it is a directory");
        if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
            // Written through; opening a FIFO waits for its reader, as a shell does.
            fd_ = Descriptor(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
            if (!fd_.Valid()) throw SystemFailure("cannot create", path);
            // What was opened is what was looked at, not a file put there since:
            // opening without O_TRUNC has changed nothing yet.
            if (fstat(fd_.Get(), &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)))
                throw std::runtime_error("cannot write " + path + ": it changed while it was opened");
            return;
        }
        if (!S_ISREG(info.st_mode))
            throw std::runtime_error("cannot write " + path + ": not a regular file, character device or FIFO");
        mode_ = info.st_mode & 07777;
        keepOwner_ = info.st_uid != geteuid() || info.st_gid != getegid();
        owner_ = info.st_uid;
        group_ = info.st_gid;
    } else if (errno == ENOENT) {
        mode_ = newMode & 0777 & ~CurrentUmask();
    } else {
        throw SystemFailure("cannot create", path);
    }
    // Run as root, replacing the file a link leads to would let whoever may
    // write the link's folder choose the file; replacing the link itself
    // would not be what was asked for.
    if (IsSymbolicLink(path))
        throw std::runtime_error("cannot write " + path +
                                 ": it is a symbolic link, not to a device or FIFO (name the file itself, or - for standard output)");
    std::string name = FolderOf(path) + kTemporaryName;
    fd_ = Descriptor(mkostemp(name.data(), O_CLOEXEC));
    if (!fd_.Valid()) throw SystemFailure("cannot create", path);
    temporary_ = name;
    staged_ = true;
}

Output::~Output() {
    if (staged_ && !published_) {
        fd_.Close();
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
        const ssize_t written = write(fd_.Get(), data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw SystemFailure("cannot write", path_);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void Output::Append(InputFile& source, std::uint64_t offset, std::uint64_t size) {
    if (staged_) {
        // The kernel copies between regular files without a round trip
        // through this process.
        loff_t from = static_cast<loff_t>(offset);
        while (size > 0) {
            const ssize_t copied = copy_file_range(source.Get(), &from, fd_.Get(), nullptr,
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

void Output::Prepare() {
    if (prepared_) return;
    if (stream_ != nullptr) {
        stream_->flush();
        if (!*stream_) throw std::runtime_error("cannot write to standard output");
    } else if (staged_) {
        // Best effort: another owner can only be kept with the right to give
        // files away.
        if (keepOwner_ && fchown(fd_.Get(), owner_, group_) != 0 && errno != EPERM)
            throw SystemFailure("cannot write", path_);
        if (fchmod(fd_.Get(), mode_) != 0) throw SystemFailure("cannot write", path_);
        if (fsync(fd_.Get()) != 0) throw SystemFailure("cannot write", path_);
        if (fd_.Close() != 0) throw SystemFailure("cannot write", path_);
    }
    prepared_ = true;
}

void Output::Publish() {
    if (!staged_ || published_) return;
    if (!prepared_) throw std::logic_error("an output was published before it was prepared");
    // rename() replaces whatever is at the path then, a link put there
    // meanwhile included, and follows nothing.
    if (rename(temporary_.c_str(), path_.c_str()) != 0) throw SystemFailure("cannot create", path_);
    published_ = true;
    const std::string folder = FolderOf(path_);
    const Descriptor directory(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.Valid() || fsync(directory.Get()) != 0)
        throw SystemFailure("cannot sync the folder of", path_);
}

void Output::Commit() {
    Prepare();
    Publish();
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
