// Writing a text file in place of another without losing it: through a
// temporary file beside the real target and a rename, keeping the target's
// mode and owner and any symbolic link that leads to it.
#include <collinear/io/point_file.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace collinear {
namespace {

// Links followed at most, as the kernel's own limit.
constexpr int kMaxLinks = 40;

std::string Dir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of symbolic links from path ends in (it need not exist).
bool FollowLinks(const std::string& path, std::string& target) {
  target = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::vector<char> buf(static_cast<size_t>(st.st_size) + 256);
    const ssize_t n = readlink(target.c_str(), buf.data(), buf.size());
    if (n < 0 || static_cast<size_t>(n) >= buf.size()) return false;
    const std::string next(buf.data(), static_cast<size_t>(n));
    if (next[0] == '/') {
      target = next;
    } else {
      std::string joined = Dir(target);
      joined += '/';
      joined += next;
      target = joined;
    }
  }
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fsync(fd) == 0;
}

}  // namespace

bool WriteTextFile(const std::string& path,
                   const std::string& text,
                   std::string& error) {
  std::string target;
  if (!FollowLinks(path, target)) {
    error = path + ": cannot follow its symbolic links";
    return false;
  }
  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  mode_t mode;
  if (exists) {
    if (!S_ISREG(st.st_mode)) {
      error = path + ": not a regular file; it is left as it is";
      return false;
    }
    // No write permission bit, or none for us: read-only (also for root,
    // whom access() lets write anything).
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        access(target.c_str(), W_OK) != 0) {
      error = path + ": the file is read-only; it is left as it is";
      return false;
    }
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  std::string tmp = target + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    error = path + ": cannot write a temporary file beside it (" +
            std::strerror(errno) + ")";
    return false;
  }
  std::string why;
  if (!WriteAll(fd, text))
    why = "writing the file failed";
  else if (fchmod(fd, mode) != 0)
    why = "cannot give the new file the mode of the old one";
  else if (exists && (st.st_uid != geteuid() || st.st_gid != getegid()) &&
           fchown(fd, st.st_uid, st.st_gid) != 0)
    why = "cannot give the new file the owner of the old one";
  if (close(fd) != 0 && why.empty()) why = "writing the file failed";
  if (why.empty() && std::rename(tmp.c_str(), target.c_str()) != 0)
    why = "cannot replace the file";
  if (!why.empty()) {
    const int e = errno;
    std::remove(tmp.c_str());
    error = path + ": " + why + " (" + std::strerror(e) + "); it is left " +
            "as it is";
    return false;
  }
  return true;
}

}  // namespace collinear
