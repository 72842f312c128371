// Checks of a device on a sound server or ALSA device (POSIX only). Each
// prints what it saw and returns the number of failed expectations.
#ifndef DUDIDADU_E2E_SERVERCHECKS_H
#define DUDIDADU_E2E_SERVERCHECKS_H

// A short sound plays and ends on the device; then its stream must read as
// corked on the server (when the device plays to one) within two seconds,
// and the process's threads (all but the calling one) must not run at all
// for the next three.
int RunIdleCheck(void *device);

// With the device playing: `readyFile` is written, and once `frozenFile`
// exists (the server has been stopped meanwhile), a 0.2 s one-shot must
// end, the device be terminated, and another be made and terminated, each
// well within the limits the outputs keep.
int RunFrozenCheck(void *device, const char *readyFile, const char *frozenFile);

#endif
