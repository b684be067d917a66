// Win32 backend of platform/environment.h.
#include "platform/environment.h"
