// Win32 backend of platform/quit_request.h.
#include "platform/quit_request.h"
