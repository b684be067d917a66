// Win32 backend of platform/message_box.h.
#include "platform/message_box.h"
