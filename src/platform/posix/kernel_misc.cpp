#include "platform/winapi.h"
