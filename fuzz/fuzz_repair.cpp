// The rewrites of carried object text on arbitrary bytes: the repair, and
// the removal of a stream's /Crypt step. Besides "no crash, no read out of
// bounds", it checks what the writer relies on: a repaired text needs no
// further repair, a dictionary without its /Crypt step still reads, and
// the closure's scan of carried text (with its block steps) finds what the
// plain token walk finds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nup/repair.h"
#include "nup/scan.h"
#include "pdf/decrypt.h"
#include "pdf/object.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    {
        const auto len = static_cast<int32_t>(size);
        sheetlay::nup::array<sheetlay::nup::ref_at> fast, plain;
        bool fast_clean = false, plain_clean = false;
        const bool fast_ok = sheetlay::nup::scan_carried(data, len, fast, &fast_clean);
        const bool plain_ok = sheetlay::nup::scan_carried_plain(data, len, plain, &plain_clean);
        bool agree = fast_ok == plain_ok && (!fast_ok || fast_clean == plain_clean) && fast.size() == plain.size();
        for (size_t k = 0; agree && k < fast.size(); ++k)
            agree = fast[k].at == plain[k].at && fast[k].end == plain[k].end && fast[k].num == plain[k].num;
        if (!agree) {
            std::fprintf(stderr, "fuzz_repair: the carried scan and the plain walk disagree\n");
            std::abort();
        }
    }
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
