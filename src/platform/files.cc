#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

bool MoveFileNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: link fails on an existing target.
  if (link(from, to) != 0) return false;
  unlink(from);
  return true;
}
