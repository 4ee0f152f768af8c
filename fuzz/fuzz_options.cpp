// The whole path through the options interface on arbitrary bytes: every
// layout, selection, booklet (in signatures, long-edge), turning, one
// scale, marks, compact output, links, annotations, outline and
// information, and a password, picked from a hash of the input so that
// every mutation varies them too and plain PDF files serve as seeds. The
// same bytes also go in as two inputs of one job (whole, and cut in two).
//
// Checked besides memory safety: 0 or 1 comes back; a failure leaves a
// message and no output, a success no message and a whole file in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sheetlay.h"

namespace {

uint64_t fnv1a(const uint8_t *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

[[noreturn]] void fault(const char *what, const char *err) {
    std::fprintf(stderr, "fuzz_options: %s (error text \"%s\")\n", what, err);
    std::abort();
}

void check(int32_t rc, void *out, size_t out_len, const char *err) {
    if (rc != 0 && rc != 1) fault("result other than 0 or 1", err);
    if (rc == 0) {
        if (err[0] == '\0') fault("failure without a message", err);
        if (out != nullptr || out_len != 0) fault("failure with output", err);
        return;
    }
    if (err[0] != '\0') fault("success with a message", err);
    const char *pdf = static_cast<const char *>(out);
    if (!pdf || out_len < 16 || std::memcmp(pdf, "%PDF-1.", 7) != 0 ||
        std::memcmp(pdf + out_len - 6, "%%EOF\n", 6) != 0)
        fault("the output is not a whole file", err);
    sheetlay_free(out);
}

void run(const uint8_t *data, size_t size, uint64_t h) {
    static const char *const kPages[] = {nullptr, "z-1", "1,_,1", "2-", "-3,z"};
    static const char *const kPasswords[] = {nullptr, "", "user", "owner"};
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = 1 + static_cast<int32_t>(h % 4);
    o.rows = 1 + static_cast<int32_t>((h >> 2) % 3);
    o.flow = static_cast<uint32_t>((h >> 4) & 7);
    o.orientation = static_cast<int32_t>((h >> 7) & 3);
    o.fit = static_cast<int32_t>((h >> 9) % 3);
    o.margin = static_cast<double>((h >> 10) % 3) * 12;
    o.gap = static_cast<double>((h >> 12) % 2) * 6;
    o.border = static_cast<double>((h >> 13) % 2) * 0.5;
    o.pages = kPages[(h >> 14) % 5];
    o.booklet = static_cast<int32_t>((h >> 17) % 4 == 0);
    o.keep = static_cast<uint32_t>((h >> 19) & 15);
    o.compress = static_cast<int32_t>((h >> 23) & 1);
    o.password = kPasswords[(h >> 24) % 4];
    if ((h >> 26) % 3 == 0) {
        o.sheet_width = 612;
        o.sheet_height = 792;
    }
    // The fields added in 0.3, from the hash's bits mixed anew.
    const uint64_t g = (h + 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    if (o.booklet) {
        o.signature = static_cast<int32_t>(g % 4);
        o.duplex = static_cast<int32_t>((g >> 2) & 1);
    }
    o.turn = static_cast<int32_t>((g >> 3) % 3);
    o.marks = static_cast<uint32_t>((g >> 5) & 3);
    void *out = reinterpret_cast<void *>(1);
    size_t out_len = 7;
    char err[256] = "x";
    check(sheetlay_nup_mem(data, size, &out, &out_len, &o, err, sizeof err), out, out_len, err);

    if ((g >> 7) % 4 != 0 || size < 2) return;
    // Two inputs: the bytes whole and their second half, each with its own
    // selection and password.
    sheetlay_input in[2] = {{nullptr, data, size, o.pages, o.password},
                            {nullptr, data + size / 2, size - size / 2, kPages[(g >> 9) % 5],
                             kPasswords[(g >> 12) % 4]}};
    o.pages = nullptr;
    o.password = nullptr;
    out = reinterpret_cast<void *>(1);
    out_len = 7;
    std::strcpy(err, "x");
    check(sheetlay_nup_inputs_mem(in, 2, &out, &out_len, &o, err, sizeof err), out, out_len, err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t h = fnv1a(data, size);
    run(data, size, h);
    run(data, size, h >> 29);
    return 0;
}
