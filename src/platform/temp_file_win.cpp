// Win32 backend of platform/temp_file.h.
#include "platform/temp_file.h"
