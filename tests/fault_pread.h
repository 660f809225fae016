#pragma once

// Fault injection at the system-call boundary: the test executables define
// pread themselves (the reader's calls bind to it), forwarding to the kernel
// unless a test asks for failures. Disks cannot be made to fail on demand.

namespace FaultPread {

// The next `count` calls fail with `err` (EINTR, EIO, ...).
void failNext(int count, int err);
// Calls still to fail.
int pending();
// Calls that failed so far.
int failedCalls();

} // namespace FaultPread
