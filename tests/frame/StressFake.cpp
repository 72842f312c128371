#include "StressTarget.h"

#include "fake_dsound.h"

namespace stress {

void Prepare()
{
    fakeds::Reset();
    // One-shot sounds end after a few monitor passes by themselves.
    fakeds::SetOneShotQueries(3);
}

int LiveObjects()
{
    return fakeds::LiveObjects();
}

std::vector<std::string> Faults()
{
    return fakeds::Faults();
}

}  // namespace stress
