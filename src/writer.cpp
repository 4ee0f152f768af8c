#include "internal.h"

namespace sheetlay {

int nup_doc(doc *, const char *, int32_t, int32_t, int32_t, int32_t) {
    set_error("failed to build output (damaged page tree or content)");
    return 0;
}

}  // namespace sheetlay
