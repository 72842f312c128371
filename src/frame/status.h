// Status codes kept in the last-status fields, and the two time constants
// shared by the whole library.
#pragma once

enum {
    SOUND_OK = 0,
    SOUND_ERR_NOMEMORY = -122,  // allocation of format or sample memory failed
    SOUND_ERR_NOSLOT = -123,    // no free slot, or the new object could not be allocated
    SOUND_ERR_FAILED = -124,    // a lock not obtained in time, or a platform call failed
    SOUND_ERR_STATE = -126,     // the object is in the wrong state for the operation
    SOUND_ERR_PARAM = -127,     // a null window at initialisation
};

enum {
    LOCK_TIMEOUT_MS = 500,  // bound of every mutex wait made from an export
    MONITOR_TICK_MS = 50,   // period of the monitor thread and step of every fade
};
