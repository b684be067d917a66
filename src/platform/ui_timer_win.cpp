// Win32 backend of platform/ui_timer.h.
#include "platform/ui_timer.h"
