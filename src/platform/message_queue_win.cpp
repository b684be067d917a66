// Win32 backend of platform/message_queue.h.
#include "platform/message_queue.h"
