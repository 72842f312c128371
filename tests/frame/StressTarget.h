// What the exports' stress test needs of the DirectSound below the library:
// the scriptable fake (StressFake.cpp), or the platform's own
// (StressReal.cpp: Wine's under the Windows build, the library's own on the
// null output elsewhere), of which only what the exports show is checked.
#pragma once

#include <string>
#include <vector>

namespace stress {

// Before a run: a clean script, and one-shot sounds that end by themselves.
void Prepare();
// DirectSound objects and buffers still alive, or -1 where that is not known.
int LiveObjects();
// Misuse DirectSound noticed (a buffer used after its DirectSound was
// released, a release too many), one line each.
std::vector<std::string> Faults();

}  // namespace stress
