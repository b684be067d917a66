// Win32 backend of platform/named_event.h.
#include "platform/named_event.h"
