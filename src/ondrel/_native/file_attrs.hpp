// What a replaced file carried, carried over to the file that replaces it: owner and group,
// permission bits, POSIX ACLs and the other extended attributes. Plain POSIX, no Python.
#pragma once

#include <sys/stat.h>

#include <string>

namespace ondrel::files {

struct CarryResult {
  enum Outcome : unsigned char {
    kCarried,
    kOwner,      // the owner or group cannot be given to a new file: write in place instead
    kAttribute,  // `name` could not be carried over (`err`): the save must stop
  } outcome = kCarried;
  int err = 0;
  std::string name;  // kAttribute: the attribute, or "mode"
};

// Gives `to` (a file this process made) what `from` (the open old file, described by `old`)
// carries. Attributes only the new file has (an ACL inherited from the folder's default) are
// removed, so the new file never grants more than the old one did.
CarryResult carry_attributes(int from, const struct stat& old, int to);

}  // namespace ondrel::files
