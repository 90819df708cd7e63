// The control of libvelmo_faultinject.so, a test-only LD_PRELOAD interposer of the file
// system calls the plug-in makes: open/openat, read/pread, write/pwrite, fsync/fdatasync,
// rename/renameat, close, and stat/fstat (with their 64-bit and fortified aliases).
//
// In a process that preloads it, the library can
// - count the calls made while a trace is on, note each one (its kind and the path it
//   concerns), and fail the Nth of them with a chosen errno instead of making it;
// - hold the first open of one path until the test releases it, so that a test can keep a
//   worker busy for exactly as long as it needs and no longer.
//
// A program finds these functions with dlsym (faultinject::Control below); nothing in the
// product knows of them. A process that is not started with the library is unchanged.
//
// The hold can also be set up from outside, for a program that is only run, through two
// environment variables:
//   VELMO_FAULTINJECT_HOLD=PATH      the first open of exactly PATH is held (also when it is
//                                    opened as /proc/self/fd/N of a descriptor of PATH);
//   VELMO_FAULTINJECT_HOLD_FIFO=P    the held open writes one byte into the FIFO P.held (so
//                                    the test knows the call is held) and then reads the FIFO
//                                    P.release to its end (so closing that FIFO's writing end
//                                    lets the open go on).
#pragma once

#include <stddef.h>

extern "C" {

// Kinds of call, as noted in a trace.
enum velmo_faultinject_kind {
  VELMO_FI_OPEN = 0,
  VELMO_FI_READ = 1,
  VELMO_FI_WRITE = 2,
  VELMO_FI_FSYNC = 3,
  VELMO_FI_RENAME = 4,
  VELMO_FI_CLOSE = 5,
  VELMO_FI_STAT = 6,
};

// Starts a trace: from now on every call made by a thread other than the caller's is counted
// and noted; the |fail_at|-th (from 1; 0 for none) is not made and fails with |error|.
typedef void (*velmo_faultinject_start_fn)(long fail_at, int error);
// Ends the trace and returns the number of calls counted.
typedef long (*velmo_faultinject_stop_fn)(void);
// The |index|-th call of the last trace (from 1): its kind, and the path it concerns (the
// path opened, renamed from, or that the descriptor was opened with) copied into |path|.
// Returns -1 when there is no such call.
typedef int (*velmo_faultinject_call_fn)(long index, char* path, size_t path_size);
// Holds the first open of |path| (until released); wait_held returns once a thread is held
// there, release lets it go on.
typedef void (*velmo_faultinject_hold_fn)(const char* path);
typedef void (*velmo_faultinject_wait_held_fn)(void);
typedef void (*velmo_faultinject_release_fn)(void);
}
