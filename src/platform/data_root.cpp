#include "platform/data_root.h"

#include <cstring>

namespace vesk_platform {

HRESULT CopyDataRoot(const char* root, LPSTR path) {
    size_t length = std::strlen(root);
    while (length > 1 && (root[length - 1] == '/' || root[length - 1] == VESK_PATH_SEP[0])) {
        --length;
    }
    if (length >= MAX_PATH) {
        path[0] = '\0';
        return E_FAIL;
    }
    std::memcpy(path, root, length);
    path[length] = '\0';
    return S_OK;
}

}  // namespace vesk_platform
