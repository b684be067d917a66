#include "platform/named_event.h"

#include "platform/object_name_linux.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

// The kind tag is what a creator wrote; it is trusted only for private objects.
constexpr unsigned kManualTag = 0x5156454d;  // "QVEM"
constexpr unsigned kAutoTag = 0x51564541;    // "QVEA"
constexpr off_t kObjectSize = 2 * sizeof(unsigned);
constexpr int kTag = 0, kState = 1;

long Futex(unsigned* word, int op, unsigned value, const timespec* timeout, unsigned* word2, unsigned value3) {
  return syscall(SYS_futex, word, op, value, timeout, word2, value3);
}

// Stores value into the state and wakes up to wake waiters, in one kernel call
// that fails (EFAULT) rather than faults when the object has been truncated.
bool StoreAndWake(unsigned* state, unsigned value, int wake) {
  return Futex(state, FUTEX_WAKE_OP, static_cast<unsigned>(wake), nullptr, state,
               FUTEX_OP(FUTEX_OP_SET, value, FUTEX_OP_CMP_EQ, 0)) >= 0;
}

// Reads the state through the kernel: a wait for 0 that may not sleep.
// 1 set, 0 clear, -1 the object is gone from under the mapping.
int KernelIsSet(unsigned* state) {
  const timespec none{0, 0};
  if (Futex(state, FUTEX_WAIT, 0, &none, nullptr, 0) == 0) return 0;
  if (errno == EAGAIN) return 1;
  return errno == EFAULT ? -1 : 0;
}

bool BuildPath(const char* name, char* path, size_t size, bool* global) {
  return ObjectPath(name, ObjectKind::Event, path, size, global);
}

timespec Deadline(int timeoutMs) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += timeoutMs / 1000;
  t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool Passed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Makes a complete event under a private temporary name, so that the real
// name only ever leads to a finished object. Returns its descriptor or -1.
// owner: the user who alone (with root) may open a "Global\" event, or -1
// for one every user may open.
int MakeObject(const char* path, bool global, EventReset reset, bool initiallySet, char* temp, size_t tempSize,
               long long owner = -1) {
  const mode_t mode = global && owner < 0 ? 0666 : 0600;
  int fd = -1;
  // A name taken by somebody else (however unlikely to guess) only costs a retry.
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    if (!TemporaryObjectPath(path, temp, tempSize)) return -1;
    fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;
  const unsigned words[2] = {reset == EventReset::Manual ? kManualTag : kAutoTag, initiallySet ? 1u : 0u};
  // fchmod: the umask must not narrow a world-accessible event.
  if (fchmod(fd, mode) != 0 || (owner >= 0 && fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(-1)) != 0) ||
      ftruncate(fd, kObjectSize) != 0 || pwrite(fd, words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
    close(fd);
    unlink(temp);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Adopt(FileHandle fd, const char* path, bool global) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (!global && (st.st_size != kObjectSize || st.st_uid != geteuid() || (st.st_mode & 077) != 0))) {
    close(fd);
    return nullptr;
  }
  // Anyone may resize a world-writable object: a cut one is restored (clear),
  // a stretched one is used as it is.
  if (st.st_size < kObjectSize && ftruncate(fd, kObjectSize) != 0) {
    close(fd);
    return nullptr;
  }
  void* p = mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  unsigned* words = static_cast<unsigned*>(p);
  bool manual = true;
  if (!global) {
    // Only this user can write a private object, so its tag can be read directly.
    const unsigned tag = __atomic_load_n(&words[kTag], __ATOMIC_ACQUIRE);
    if (tag != kManualTag && tag != kAutoTag) {
      munmap(p, kObjectSize);
      close(fd);
      return nullptr;
    }
    manual = tag == kManualTag;
  }
  std::unique_ptr<NamedEvent> event(new NamedEvent());
  event->fd_ = fd;
  event->words_ = words;
  event->manual_ = manual;
  event->global_ = global;
  event->dev_ = st.st_dev;
  event->ino_ = st.st_ino;
  std::snprintf(event->path_, sizeof event->path_, "%s", path);
  return event;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const char* name, EventReset reset, bool initiallySet) {
  char path[sizeof path_];
  bool global;
  if (!BuildPath(name, path, sizeof path, &global)) return nullptr;
  if (global && reset == EventReset::Auto) return nullptr;
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Open first: O_CREAT on another user's file in the sticky /dev/shm is refused.
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return Adopt(fd, path, global);
    if (errno != ENOENT) return nullptr;  // no access, or a link
    char temp[sizeof path_ + 40];
    fd = MakeObject(path, global, reset, initiallySet, temp, sizeof temp);
    if (fd < 0) return nullptr;
    // link fails when another creator came first; then its event is opened.
    const bool linked = link(temp, path) == 0;
    unlink(temp);
    if (linked) return Adopt(fd, path, global);
    close(fd);
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const char* name) {
  char path[sizeof path_];
  bool global;
  if (!BuildPath(name, path, sizeof path, &global)) return nullptr;
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return Adopt(fd, path, global);
}

std::unique_ptr<NamedEvent> NamedEvent::Replace(const char* name, EventReset reset) {
  return ReplaceWithOwner(name, reset, -1);
}

std::unique_ptr<NamedEvent> NamedEvent::ReplaceForUser(const char* name, EventReset reset, uint32_t ownerUid) {
  return ReplaceWithOwner(name, reset, ownerUid);
}

std::unique_ptr<NamedEvent> NamedEvent::ReplaceWithOwner(const char* name, EventReset reset, long long owner) {
  char path[sizeof path_];
  bool global;
  if (!BuildPath(name, path, sizeof path, &global)) return nullptr;
  if (global && reset == EventReset::Auto) return nullptr;
  if (!global && owner >= 0) return nullptr;
  char temp[sizeof path_ + 40];
  int fd = MakeObject(path, global, reset, false, temp, sizeof temp, owner);
  if (fd < 0) return nullptr;
  // rename replaces the old object atomically: no moment without an event.
  bool renamed = false;
  for (int attempt = 0; attempt < 3 && !renamed; ++attempt) {
    renamed = rename(temp, path) == 0;
    if (renamed || (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST)) break;
    // A directory planted under the name cannot be replaced by a file: it is moved aside.
    char aside[sizeof temp + 16];
    int n = std::snprintf(aside, sizeof aside, "%s.aside%d", temp, attempt);
    if (n < 0 || static_cast<size_t>(n) >= sizeof aside || rename(path, aside) != 0) break;
  }
  if (!renamed) {
    const int err = errno;
    close(fd);
    unlink(temp);
    errno = err;
    return nullptr;
  }
  return Adopt(fd, path, global);
}

NamedEvent::~NamedEvent() {
  munmap(words_, kObjectSize);
  close(fd_);
}

// Gives a truncated object its size back (clear); false when that failed.
bool NamedEvent::Repair() { return ftruncate(fd_, kObjectSize) == 0; }

// The service rebinds the name to an event of the tunnel's user instead.
bool NamedEvent::RestrictTo(const char*) { return false; }

void NamedEvent::Set() {
  const int wake = manual_ ? INT_MAX : 1;
  if (!StoreAndWake(&words_[kState], 1, wake) && errno == EFAULT && Repair()) {
    StoreAndWake(&words_[kState], 1, wake);
  }
}

void NamedEvent::Reset() {
  if (!StoreAndWake(&words_[kState], 0, 0) && errno == EFAULT) Repair();  // repaired is clear
}

// Consumes the set state of an auto-reset event; reports a manual one's.
bool NamedEvent::TakeIfSet() {
  if (global_) {
    int set = KernelIsSet(&words_[kState]);
    if (set < 0) Repair();
    return set > 0;
  }
  if (manual_) return __atomic_load_n(&words_[kState], __ATOMIC_ACQUIRE) != 0;
  return __atomic_exchange_n(&words_[kState], 0u, __ATOMIC_ACQ_REL) != 0;
}

bool NamedEvent::Wait(int timeoutMs) {
  const bool forever = timeoutMs < 0;
  const timespec deadline = Deadline(forever ? 0 : timeoutMs);
  for (;;) {
    if (TakeIfSet()) return true;
    if (timeoutMs == 0) return false;
    if (!forever && Passed(deadline)) return false;
    // An absolute deadline on the monotonic clock: wake-ups and retries never extend it.
    long r =
        Futex(&words_[kState], FUTEX_WAIT_BITSET, 0, forever ? nullptr : &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    if (r == 0 || errno == EAGAIN || errno == EINTR) continue;  // look at the state again
    if (errno == ETIMEDOUT) return TakeIfSet();
    if (errno == EFAULT && Repair()) continue;
    // The object cannot be restored: wait out a short pause (or the rest of the timeout).
    timespec pause = Deadline(100);
    if (!forever &&
        (pause.tv_sec > deadline.tv_sec || (pause.tv_sec == deadline.tv_sec && pause.tv_nsec > deadline.tv_nsec))) {
      pause = deadline;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &pause, nullptr) == EINTR) {
    }
  }
}

bool NamedEvent::IsCurrent() const {
  struct stat st;
  return stat(path_, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void RemoveNamedEvent(const char* name) {
  char path[512];
  bool global;
  if (BuildPath(name, path, sizeof path, &global)) unlink(path);
}

}  // namespace platform
