// The whole path on arbitrary bytes: load them as a PDF file, compose them
// with two sets of layout choices, write the result to a temporary file.
//
// The layout choices come from a hash of the input, so every mutation also
// varies n, order, page size and frame width, and plain PDF files serve as
// seeds as they are.
//
// Encrypted files are opened (with no password or "user") and decrypted on
// the way through.
//
// Checked besides memory safety: a failure always leaves a message, a
// success leaves none and a whole file (and, on request, one that loads
// again with one page per sheet).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"

namespace {

const std::string &out_path() {
    static const std::string path = [] {
        const char *dir = std::getenv("TMPDIR");
        std::string p = dir && *dir ? dir : "/tmp";
        p += "/sheetlay-fuzz-" + std::to_string(static_cast<long>(getpid())) + ".pdf";
        std::atexit([] { std::remove(out_path().c_str()); });
        return p;
    }();
    return path;
}

bool reload() {
    static const bool on = std::getenv("SHEETLAY_FUZZ_RELOAD") != nullptr;
    return on;
}

uint64_t fnv1a(const uint8_t *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

[[noreturn]] void fault(const char *what, int32_t n, int32_t order, int32_t size, int32_t border) {
    std::fprintf(stderr, "fuzz_nup: %s (n %d, order %d, page_size %d, border %d; error text \"%s\")\n",
                 what, n, order, size, border, sheetlay::g_err);
    std::abort();
}

struct choice {
    int32_t n, order, page_size, border;
};

choice pick(uint64_t h) {
    static const int32_t kN[] = {2, 4, 6, 9, 16};
    static const int32_t kSize[] = {-1, 0, 1, 2, -7};
    static const int32_t kBorder[] = {0, 0, 1, 3, 12, 1000};
    choice c;
    c.n = kN[h % 5];
    c.order = static_cast<int32_t>((h >> 3) & 1);
    c.page_size = kSize[(h >> 4) % 5];
    c.border = kBorder[(h >> 8) % 6];
    return c;
}

void compose_once(sheetlay::doc *d, const choice &c) {
    const std::string &path = out_path();
    std::remove(path.c_str());
    sheetlay::g_err[0] = 'x';
    sheetlay::g_err[1] = '\0';
    int rc = sheetlay::nup_doc(d, path.c_str(), c.n, c.order, c.page_size, c.border);
    if (rc != 0 && rc != 1) fault("result other than 0 or 1", c.n, c.order, c.page_size, c.border);
    if (rc == 0) {
        if (sheetlay::g_err[0] == '\0') fault("failure without a message", c.n, c.order, c.page_size, c.border);
        std::remove(path.c_str());
        return;
    }
    if (sheetlay::g_err[0] != '\0') fault("success with a message", c.n, c.order, c.page_size, c.border);

    // The written file is whole: header first, end-of-file marker last.
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) fault("success without a file", c.n, c.order, c.page_size, c.border);
    char head[9] = {}, tail[7] = {};
    bool whole = std::fread(head, 1, 8, f) == 8 && std::fseek(f, -6, SEEK_END) == 0 &&
                 std::fread(tail, 1, 6, f) == 6;
    std::fclose(f);
    if (!whole || std::strcmp(head, "%PDF-1.4") != 0 || std::strcmp(tail, "%%EOF\n") != 0)
        fault("the written file is cut short", c.n, c.order, c.page_size, c.border);

    // With SHEETLAY_FUZZ_RELOAD set, the written file must also load again
    // with one page per sheet. Off by default: the objects that resources
    // reach are copied as they stand, so a damaged input can hand its damage
    // on to the output.
    if (reload()) {
        sheetlay::doc out{};
        if (sheetlay::doc_load(path.c_str(), &out) != 0)
            fault("the written file does not load", c.n, c.order, c.page_size, c.border);
        int64_t sheets = (static_cast<int64_t>(d->pages.count) + c.n - 1) / c.n;
        if (out.pages.count != sheets)
            fault("the written file has the wrong number of sheets", c.n, c.order, c.page_size, c.border);
        sheetlay::doc_free(&out);
    }
    std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sheetlay::doc d{};
    sheetlay::g_err[0] = '\0';
    uint64_t h = fnv1a(data, size);
    // Encrypted input is opened as the options interface opens it: with no
    // password, or with "user" (the password of the encrypted seeds).
    sheetlay::load_options lo;
    lo.allow_encrypted = true;
    lo.password = (h >> 40) & 1 ? "user" : nullptr;
    if (sheetlay::doc_load_mem(data, size, "fuzz.pdf", &d, lo) != 0) {
        if (sheetlay::g_err[0] == '\0') fault("load failed without a message", 0, 0, 0, 0);
        return 0;
    }
    choice a = pick(h);
    choice b = pick(h >> 16);
    if (b.n == a.n) b.n = a.n == 2 ? 4 : 2;
    compose_once(&d, a);
    compose_once(&d, b);
    sheetlay::doc_free(&d);
    return 0;
}
