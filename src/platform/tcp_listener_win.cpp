// Win32 backend of platform/tcp_listener.h.
#include "platform/tcp_listener.h"
