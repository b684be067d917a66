// Win32 backend of platform/socket_owner.h.
#include "platform/socket_owner.h"
