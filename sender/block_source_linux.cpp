#include "block_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "crash_block.h"
#include "platform/handle.h"
#include "platform/object_name_linux.h"

namespace sender {

bool CopyCrashBlock(const char* name, std::vector<unsigned char>* bytes, std::string* error) {
  char path[512];
  bool global = false;
  if (!platform::ObjectPath(name, platform::ObjectKind::Memory, path, sizeof path, &global)) {
    *error = "not a valid block name";
    return false;
  }
  platform::ScopedFileHandle fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.is_valid()) {
    *error = "no crash block of that name";
    return false;
  }
  struct stat st;
  // Only the user's own object: another user could hand over a block of lies.
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    *error = "the crash block is not the user's own";
    return false;
  }
  const size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  bytes->assign(size < kBlockSize ? size : kBlockSize, 0);
  size_t done = 0;
  while (done < bytes->size()) {
    ssize_t n = pread(fd.get(), bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  fd.reset();
  bytes->resize(done);
  if (done == 0) {
    *error = "the crash block is empty";
    return false;
  }
  return true;
}

}  // namespace sender
