// AutoDetect: is this file an OEM4 binary log?
#include "oem4conv.h"

extern "C" OEM4CONV_API int32_t OEM4CONV_CALL AutoDetect(const char *) { return 0; }
