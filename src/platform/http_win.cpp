// Win32 backend of platform/http.h.
#include "platform/http.h"
