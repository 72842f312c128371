#include "platform/posix/output/CAudioOutput.h"
