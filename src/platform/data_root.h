// The data root that VESK_DATA_ROOT names, as SHGetFolderPathA(CSIDL_COMMON_APPDATA) gives it.
#pragma once

#include "platform/platform.h"

namespace vesk_platform {

// Copies `root` into `path` (MAX_PATH characters) without trailing separators, since the
// callers append their own. E_FAIL and an empty path when it does not fit.
HRESULT CopyDataRoot(const char* root, LPSTR path);

}  // namespace vesk_platform
