/* Preloaded into our runs by `run.sh --no-fsync` only, to show what the atomic writer's fsync
   costs: fsync, fdatasync and syncfs (a batch's one sync) return at once. Never part of the
   program. */
#include <unistd.h>
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
int syncfs(int fd) { (void)fd; return 0; }
