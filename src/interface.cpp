// The C boundary: the exported functions and the process-wide error text.
//
// Every exported call goes through create(), which loads the input (the
// reader, internal.h), hands it to the output side (nup/write.h) and frees
// it. Nothing thrown inside may cross into a C caller: whatever escapes the
// units below is caught here and becomes a message.
#include <cstdarg>
#include <cstdio>
#include <new>

#include "internal.h"
#include "nup/write.h"
#include "sheetlay.h"

namespace sheetlay {

// Zero-filled at load time, so the text starts empty.
char g_err[1024];

void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts at sizeof - 1 bytes and always terminates.
    int r = std::vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
    if (r < 0) g_err[0] = '\0';
}

namespace {

int32_t create(const char *input_path, const char *output_path, int32_t n, int32_t order,
               int32_t page_size, int32_t border_width) noexcept {
    if (input_path == nullptr || output_path == nullptr) {
        set_error("NULL path argument");
        return 0;
    }
    doc d{};
    bool loaded = false;
    try {
        if (doc_load(input_path, &d) != 0) return 0;
        loaded = true;
        int ok = nup_doc(&d, output_path, n, order, page_size, border_width);
        doc_free(&d);
        loaded = false;
        if (!ok) return 0;
        g_err[0] = '\0';
        return 1;
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
    } catch (...) {
        set_error("failed to build output (damaged page tree or content)");
    }
    if (loaded) doc_free(&d);
    return 0;
}

}  // namespace
}  // namespace sheetlay

extern "C" {

SHEETLAY_API int32_t sheetlay_init(void) {
    sheetlay::g_err[0] = '\0';
    return 1;
}

SHEETLAY_API void sheetlay_cleanup(void) { sheetlay::g_err[0] = '\0'; }

SHEETLAY_API const char *sheetlay_last_error(void) { return sheetlay::g_err; }

SHEETLAY_API int32_t sheetlay_create(const char *input_path, const char *output_path, int32_t n,
                                     int32_t order) {
    return sheetlay::create(input_path, output_path, n, order, -1, 0);
}

SHEETLAY_API int32_t sheetlay_create_sized(const char *input_path, const char *output_path,
                                           int32_t n, int32_t order, int32_t page_size) {
    return sheetlay::create(input_path, output_path, n, order, page_size, 0);
}

SHEETLAY_API int32_t sheetlay_create_bordered(const char *input_path, const char *output_path,
                                              int32_t n, int32_t order, int32_t border_width) {
    return sheetlay::create(input_path, output_path, n, order, -1, border_width);
}

}  // extern "C"

extern "C" SHEETLAY_API void sheetlay_options_init(sheetlay_options *opt) {
    if (!opt) return;
    *opt = sheetlay_options{};
    opt->size = sizeof(sheetlay_options);
    opt->columns = 2;
    opt->rows = 2;
    opt->orientation = SHEETLAY_ORIENT_AUTO;
    opt->fit = SHEETLAY_FIT_SCALE;
    opt->keep = SHEETLAY_KEEP_ALL;
    opt->compress = SHEETLAY_COMPRESS_COMPACT;
}
