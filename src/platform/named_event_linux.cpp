#include "platform/named_event.h"

#include "platform/object_name_linux.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

constexpr uint32_t kEventMagic = 0x51564576;  // "QvEv"

}  // namespace

struct NamedEvent::Shared {
  std::atomic<uint32_t> magic;  // written last: the object is ready
  uint32_t manualReset;
  uint32_t signalled;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

namespace {

void LockShared(NamedEvent::Shared* s) {
  // A holder that died mid-operation leaves a consistent flag behind: the
  // only state is one word.
  if (pthread_mutex_lock(&s->mutex) == EOWNERDEAD) pthread_mutex_consistent(&s->mutex);
}

NamedEvent::Shared* MapShared(int fd) {
  void* p = mmap(nullptr, sizeof(NamedEvent::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<NamedEvent::Shared*>(p);
}

// Waits briefly for a creator in another process to finish its initialisation.
bool WaitReady(NamedEvent::Shared* s) {
  for (int i = 0; i < 200; ++i) {
    if (s->magic.load(std::memory_order_acquire) == kEventMagic) return true;
    timespec ts{0, 1000000};
    nanosleep(&ts, nullptr);
  }
  return false;
}

NamedEvent::Shared* OpenExisting(const char* shmName, bool* missing) {
  *missing = false;
  int fd = shm_open(shmName, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    *missing = (errno == ENOENT);
    return nullptr;
  }
  struct stat st;
  NamedEvent::Shared* s = nullptr;
  // A creator in another process sizes the object right after making it; an
  // empty object is one being made, not one of another kind.
  for (int i = 0; i < 200 && fstat(fd, &st) == 0 && st.st_size == 0; ++i) {
    timespec ts{0, 1000000};
    nanosleep(&ts, nullptr);
  }
  if (fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(sizeof(NamedEvent::Shared))) {
    s = MapShared(fd);
  }
  close(fd);
  if (s && !WaitReady(s)) {
    munmap(s, sizeof *s);
    s = nullptr;
  }
  return s;
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Create(const char* name, EventReset reset,
                                               bool initiallySet) {
  char shmName[256];
  bool global;
  if (!ShmObjectName(name, shmName, sizeof shmName, &global)) return nullptr;
  const mode_t mode = global ? 0666 : 0600;
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool missing;
    // Open first: O_CREAT on another user's file in the sticky /dev/shm is refused.
    if (Shared* s = OpenExisting(shmName, &missing)) return std::unique_ptr<NamedEvent>(new NamedEvent(s));
    if (!missing) return nullptr;  // a name of another kind, or no access
    int fd = shm_open(shmName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // lost a race with another creator
      return nullptr;
    }
    fchmod(fd, mode);  // the umask must not narrow a world-accessible event
    if (ftruncate(fd, sizeof(Shared)) != 0) {
      close(fd);
      shm_unlink(shmName);
      return nullptr;
    }
    Shared* s = MapShared(fd);
    close(fd);
    if (!s) {
      shm_unlink(shmName);
      return nullptr;
    }
    s->manualReset = reset == EventReset::Manual ? 1 : 0;
    s->signalled = initiallySet ? 1 : 0;
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&s->cond, &ca);
    pthread_condattr_destroy(&ca);
    s->magic.store(kEventMagic, std::memory_order_release);
    return std::unique_ptr<NamedEvent>(new NamedEvent(s));
  }
  return nullptr;
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const char* name) {
  char shmName[256];
  bool global;
  if (!ShmObjectName(name, shmName, sizeof shmName, &global)) return nullptr;
  bool missing;
  Shared* s = OpenExisting(shmName, &missing);
  return s ? std::unique_ptr<NamedEvent>(new NamedEvent(s)) : nullptr;
}

NamedEvent::~NamedEvent() { munmap(shared_, sizeof *shared_); }

void NamedEvent::Set() {
  LockShared(shared_);
  shared_->signalled = 1;
  if (shared_->manualReset) pthread_cond_broadcast(&shared_->cond);
  else pthread_cond_signal(&shared_->cond);
  pthread_mutex_unlock(&shared_->mutex);
}

void NamedEvent::Reset() {
  LockShared(shared_);
  shared_->signalled = 0;
  pthread_mutex_unlock(&shared_->mutex);
}

bool NamedEvent::Wait(int timeoutMs) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  if (timeoutMs > 0) {
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  LockShared(shared_);
  while (!shared_->signalled) {
    if (timeoutMs == 0) break;
    int r = timeoutMs < 0 ? pthread_cond_wait(&shared_->cond, &shared_->mutex)
                          : pthread_cond_timedwait(&shared_->cond, &shared_->mutex, &deadline);
    if (r == EOWNERDEAD) pthread_mutex_consistent(&shared_->mutex);
    else if (r == ETIMEDOUT) break;
  }
  bool set = shared_->signalled != 0;
  if (set && !shared_->manualReset) shared_->signalled = 0;
  pthread_mutex_unlock(&shared_->mutex);
  return set;
}

void RemoveNamedEvent(const char* name) {
  char shmName[256];
  bool global;
  if (ShmObjectName(name, shmName, sizeof shmName, &global)) shm_unlink(shmName);
}

}  // namespace platform
