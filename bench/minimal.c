/* The floor for one run: the same file and event work as tarvo, with nothing else.
 * Appends four lines to MINIMAL.LOG under an exclusive lock and forces them to disk, opens (or
 * creates) a shared-memory event and wakes its waiters, appends two more lines the same way,
 * and removes the event again. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/futex.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

static void append(const char* text) {
  int fd = open("MINIMAL.LOG", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && lseek(fd, 0, SEEK_END) >= 0 && write(fd, text, strlen(text)) < 0) {
  }
  fsync(fd);
  close(fd);
}

int main(void) {
  const char* path = "/dev/shm/tarvo-bench-minimal";
  int event = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  uint32_t* state = NULL;
  if (event >= 0 && ftruncate(event, 24) == 0) {
    flock(event, LOCK_SH);
    state = mmap(NULL, 24, PROT_READ | PROT_WRITE, MAP_SHARED, event, 0);
  }
  append(
      "\r\n*** START minimal (ver. 3) [01.01.26 00:00:00] ***\r\n\r\n{Create} FevTarvo.Handle = 3, "
      "FevTarvo.LastError = 0\r\n");
  if (state && state != MAP_FAILED) {
    __atomic_store_n(&state[4], 1u, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &state[4], FUTEX_WAKE, 0x7fffffff, NULL, NULL, 0);
  }
  append("{SetEvent} FevTarvo.LastError = 0\r\n{Run} = TRUE\r\n");
  if (event >= 0) {
    unlink(path);
    close(event);
  }
  return 0;
}
