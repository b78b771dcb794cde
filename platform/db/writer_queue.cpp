#include "platform/db/writer_queue.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::db {

struct WriterQueue::Shared {
  std::uint64_t magic;  // kMagic once the mutex is made
  pthread_mutex_t mutex;
};

namespace {

constexpr std::uint64_t kMagic = 0x3151'5752'4b4f'524bULL;

bool initialise(pthread_mutex_t& mutex) {
  pthread_mutexattr_t a;
  if (pthread_mutexattr_init(&a) != 0) return false;
  // Robust: a writer that dies in its turn hands it on. Error-checking: a
  // thread that asks twice is told so instead of waiting for itself.
  bool ok = pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK) == 0 && pthread_mutex_init(&mutex, &a) == 0;
  pthread_mutexattr_destroy(&a);
  return ok;
}

timespec monotonic(WriterQueue::Deadline deadline) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// 0 when the turn was had (from a writer that died in it, too).
int lock(pthread_mutex_t& mutex, WriterQueue::Deadline deadline) {
  const timespec until = monotonic(deadline);
  int rc = pthread_mutex_clocklock(&mutex, CLOCK_MONOTONIC, &until);
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&mutex);
  return rc;
}

} // namespace

WriterQueue::WriterQueue(const std::filesystem::path& file) {
  const std::string path = file.string() + "-writers";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  // Made once, under the file's lock: a maker that dies leaves it to the next.
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && (st.st_mode & 0777) != 0600) ok = ::fchmod(fd, 0600) == 0;  // the owner's alone, whatever the umask
  if (ok && st.st_size < static_cast<off_t>(sizeof(Shared))) ok = ::ftruncate(fd, sizeof(Shared)) == 0;
  void* page = ok ? ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (page != MAP_FAILED) {
    auto* shared = static_cast<Shared*>(page);
    if (shared->magic != kMagic && initialise(shared->mutex)) shared->magic = kMagic;
    if (shared->magic == kMagic)
      shared_ = shared;
    else
      ::munmap(page, sizeof(Shared));
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);  // the mapping stays
}

WriterQueue::~WriterQueue() {
  leave();
  if (shared_) ::munmap(shared_, sizeof(Shared));
}

bool WriterQueue::enter(Deadline deadline) {
  if (!shared_ || held_) return false;
  held_ = lock(shared_->mutex, deadline) == 0;
  return held_;
}

void WriterQueue::leave() {
  if (!held_) return;
  pthread_mutex_unlock(&shared_->mutex);
  held_ = false;
}

bool WriterQueue::awaitTurn(Deadline deadline) {
  if (!shared_ || held_) return false;
  int rc = pthread_mutex_trylock(&shared_->mutex);
  const bool someone = rc == EBUSY;
  if (someone) rc = lock(shared_->mutex, deadline);
  else if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&shared_->mutex);
  if (rc == 0) pthread_mutex_unlock(&shared_->mutex);
  return someone && rc == 0;
}

} // namespace korvane::db
