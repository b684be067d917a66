// Win32 backend of platform/named_mutex.h.
#include "platform/named_mutex.h"
