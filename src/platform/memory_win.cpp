// Win32 backend of platform/memory.h.
#include "platform/memory.h"
