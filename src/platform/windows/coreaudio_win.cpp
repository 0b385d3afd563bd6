// Windows: defines the Core Audio interface ids and property keys that the system headers
// only declare.
#include <initguid.h>

#include "platform/coreaudio.h"
