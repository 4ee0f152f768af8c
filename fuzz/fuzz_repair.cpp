// The repair of carried object text on arbitrary bytes. Besides "no crash,
// no read out of bounds", it checks what the writer relies on: a repaired
// text needs no further repair, and text that needs none is left alone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nup/repair.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::string once;
    if (!sheetlay::nup::repair_text(data, static_cast<int32_t>(size), &once)) return 0;
    std::string twice;
    if (sheetlay::nup::repair_text(reinterpret_cast<const unsigned char *>(once.data()),
                                   static_cast<int32_t>(once.size()), &twice)) {
        std::fprintf(stderr, "fuzz_repair: a repaired text needed another repair\n");
        std::abort();
    }
    return 0;
}
