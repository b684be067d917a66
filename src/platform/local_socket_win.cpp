// Win32 backend of platform/local_socket.h.
#include "platform/local_socket.h"
