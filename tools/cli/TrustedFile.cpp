#include "TrustedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cscli {

namespace {

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777U));
    return text;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool ReadTrustedFile(const std::string& path, const std::string& what, std::string& text, mode_t& mode,
                     std::string& error) {
    const std::string named = "the " + what + " '" + path + "'";
    // A path may name a pipe (--password-file <(...)): its owner and mode are checked the same way.
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat info;
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0) {
        error = "cannot read " + named + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = "cannot read " + named + ": " + std::strerror(EISDIR);
        return false;
    }
    // Whoever owns the file decides what it says: the server the password goes to among others.
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        error = "refusing " + named + ": it belongs to uid " + std::to_string(info.st_uid) + ", not to you (uid " +
                std::to_string(geteuid()) + ") or root";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "refusing " + named + ": permissions " + ModeText(info.st_mode) +
                " let group or others change it; chmod go-w '" + path + "'";
        return false;
    }
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(file.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + named + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    mode = info.st_mode;
    return true;
}

std::string TooOpenForASecret(const std::string& path, const std::string& what, mode_t mode) {
    if ((mode & (S_IRGRP | S_IROTH)) == 0) return "";
    return "permissions " + ModeText(mode) + " for '" + path + "' are too open: the " + what +
           " holds a secret that other users may read; chmod 600 '" + path + "'";
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace cscli
