// The idle check of the end-to-end runs (POSIX only): a short sound plays
// and ends on the device; then its stream must read as corked on the server
// (when the device plays to one) within two seconds, and the process's
// threads (all but the calling one) must not run at all for three seconds.
#ifndef DUDIDADU_E2E_IDLECHECK_H
#define DUDIDADU_E2E_IDLECHECK_H

// Prints what it saw; returns the number of failed expectations.
int RunIdleCheck(void *device);

#endif
