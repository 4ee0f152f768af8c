// The rewrites of carried object text on arbitrary bytes: the repair, and
// the removal of a stream's /Crypt step. Besides "no crash, no read out of
// bounds", it checks what the writer relies on: a repaired text needs no
// further repair, and a dictionary without its /Crypt step still reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nup/repair.h"
#include "pdf/decrypt.h"
#include "pdf/object.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::string plain;
    if (sheetlay::without_crypt_step(data, static_cast<int32_t>(size), &plain)) {
        sheetlay::pdf::value v;
        if (!sheetlay::pdf::parse_value(plain, &v) || !v.is_dict()) {
            std::fprintf(stderr, "fuzz_repair: a dictionary without its crypt step does not read\n");
            std::abort();
        }
    }
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
