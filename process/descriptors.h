// File descriptors as the process runner needs them: pipes that no program inherits by
// accident, non-blocking reads, reads and writes that retry interrupted calls a bounded
// number of times, and the wait for readable descriptors. The leaf of the runner: it knows
// nothing of programs, records or readers.
#pragma once

#include <cstddef>
#include <cstdint>

// Every call that can fail with EINTR is retried at most this often.
inline constexpr int InterruptRetries = 100;

// A pipe with both ends close-on-exec and above the standard streams; false when pipe()
// failed, with both ends -1.
bool OpenPipe(int fds[2]);
// Closes the descriptor when it is open and marks it closed (-1).
void CloseIfOpen(int* fd);
// close(), for a descriptor this process no longer needs.
void CloseDescriptor(int fd);
// Makes the descriptor non-blocking, keeping its other status flags; false when that fails.
bool MakeNonBlocking(int fd);
// Writes every byte, retrying interrupted writes; false when a write failed. It calls
// nothing but write(), so a forked child may use it before its exec.
bool WriteAll(int fd, const void* data, size_t size);
// Reads exactly size bytes, retrying interrupted reads; false when the pipe ended first or a
// read failed.
bool ReadAll(int fd, void* data, size_t size);
// Blocks until one of the descriptors (at most 4) is readable (or has reached its end), or
// the time-out (ms; -1 without limit, 0 a test) passes. 1 when one is readable, else 0; an
// interrupted wait counts as nothing readable.
int32_t WaitForReadable(const int* descriptors, int32_t count, int32_t timeout_ms);
