/* Preloaded into our runs by `run.sh --no-fsync` only, to show what the atomic writer's fsync
   costs: fsync, fdatasync, syncfs (a batch's one sync) and sync_file_range (the early start of
   write-back, and a batch's per-file check) return at once. Never part of the program. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <unistd.h>
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
int syncfs(int fd) { (void)fd; return 0; }
int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
    (void)fd, (void)offset, (void)nbytes, (void)flags;
    return 0;
}
