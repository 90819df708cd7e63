// Runs one command and reports its wall time and peak memory:
//
//   bench_measure COMMAND [ARGS...]
//
// prints "SECONDS MAX_RSS_KIB EXIT_STATUS" on its standard output; the command's own standard
// output goes to /dev/null and its standard error passes through.
//
// Why a program of its own: on Linux a child's ru_maxrss keeps the high-water mark of the
// memory it had before exec, which for a child forked from the bench driver (a Python process
// holding decoded images) is the driver's size, not the command's. Started from this small
// process, the floor is this process's few MiB.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_measure COMMAND [ARGS...]\n");
    return 64;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

  const auto started = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int error = posix_spawnp(&child, argv[1], &actions, nullptr, argv + 1, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "bench_measure: %s: %s\n", argv[1], std::strerror(error));
    return 127;
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("bench_measure: wait4");
    return 127;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  const int exitStatus =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  std::printf("%.9f %ld %d\n", elapsed.count(), usage.ru_maxrss, exitStatus);
  return 0;
}
