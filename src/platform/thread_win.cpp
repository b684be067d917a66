// Win32 backend of platform/thread.h.
#include "platform/thread.h"
