// Win32 backend of platform/opener.h.
#include "platform/opener.h"
