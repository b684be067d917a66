// Win32 backend of platform/registry.h.
#include "platform/registry.h"
