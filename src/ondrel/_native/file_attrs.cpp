// Carrying a replaced file's owner, mode, ACLs and extended attributes over (file_attrs.hpp).
#include "ondrel/_native/file_attrs.hpp"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ondrel::files {

namespace {

// ENOTSUP and friends: the file system keeps no such attributes, so there is nothing to read.
bool no_xattrs(int err) { return err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS; }

// The names of fd's extended attributes, NUL-separated; false with errno.
bool list_names(int fd, std::string* out) {
  for (;;) {
    const ssize_t need = ::flistxattr(fd, nullptr, 0);
    if (need < 0) return false;
    out->resize(static_cast<size_t>(need));
    if (need == 0) return true;
    const ssize_t got = ::flistxattr(fd, out->data(), out->size());
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // grew in between: ask again
  }
}

bool get_value(int fd, const char* name, std::string* out) {
  for (;;) {
    const ssize_t need = ::fgetxattr(fd, name, nullptr, 0);
    if (need < 0) return false;
    out->resize(static_cast<size_t>(need));
    if (need == 0) return true;
    const ssize_t got = ::fgetxattr(fd, name, out->data(), out->size());
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

std::vector<std::string_view> split_names(const std::string& names) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at < names.size();) {
    const size_t end = names.find('\0', at);
    const size_t stop = end == std::string::npos ? names.size() : end;
    if (stop > at) out.emplace_back(names.data() + at, stop - at);
    at = stop + 1;
  }
  return out;
}

CarryResult failed(int err, std::string name) {
  return {CarryResult::kAttribute, err, std::move(name)};
}

// Every attribute of `from` set on `to` (where it differs), every other one of `to` removed.
CarryResult carry_xattrs(int from, int to) {
  std::string old_names, new_names;
  if (!list_names(from, &old_names)) {
    if (!no_xattrs(errno)) return failed(errno, "extended attributes");
    old_names.clear();
  }
  if (!list_names(to, &new_names)) {
    if (!no_xattrs(errno)) return failed(errno, "extended attributes");
    new_names.clear();
  }
  const std::vector<std::string_view> olds = split_names(old_names);
  std::string value, current;
  for (const std::string_view name_view : olds) {
    const std::string name(name_view);
    if (!get_value(from, name.c_str(), &value)) return failed(errno, name);
    // A label the system already gave the new file the same way needs no privilege to keep.
    if (get_value(to, name.c_str(), &current) && current == value) continue;
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
      return failed(errno, name);
  }
  for (const std::string_view name_view : split_names(new_names)) {
    bool kept = false;
    for (const std::string_view old : olds) kept = kept || old == name_view;
    if (kept) continue;
    const std::string name(name_view);
    if (::fremovexattr(to, name.c_str()) == 0 || errno == ENODATA) continue;
    // Security labels are the system's to give; any other leftover (an inherited ACL) could
    // grant what the old file did not.
    if (name.rfind("security.", 0) == 0) continue;
    return failed(errno, name);
  }
  return {};
}

}  // namespace

CarryResult carry_attributes(int from, const struct stat& old, int to) {
  struct stat now{};
  if (::fstat(to, &now) != 0) return failed(errno, "mode");
  if (now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
    const uid_t uid = now.st_uid != old.st_uid ? old.st_uid : static_cast<uid_t>(-1);
    if (::fchown(to, uid, old.st_gid) != 0) return {CarryResult::kOwner, errno, "owner"};
  }
  // Always: a change of owner clears set-id bits, and the umask applied to the new file.
  if (::fchmod(to, old.st_mode & 07777) != 0) return failed(errno, "mode");
  return carry_xattrs(from, to);
}

}  // namespace ondrel::files
