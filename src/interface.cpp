// The C boundary: the exported functions and the process-wide error text.
//
// Every exported call goes through create(), which loads the input (the
// reader, pdf/load.h), hands it to the output side (nup/write.h) and frees
// it. Nothing thrown inside may cross into a C caller: whatever escapes the
// units below is caught here and becomes a message.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "error.h"
#include "pdf/document.h"
#include "pdf/load.h"
#include "nup/job.h"
#include "nup/options.h"
#include "nup/write.h"
#include "sheetlay.h"

// The build passes the project's version; builds of the sources alone (the
// fuzz and thread-checking projects) do not need the true one.
#ifndef SHEETLAY_VERSION_STRING
#define SHEETLAY_VERSION_STRING "0.0.0"
#endif

namespace sheetlay {

// Zero-filled at load time, so the text starts empty.
char g_err[1024];

// The same message for the calling thread alone: the options interface
// hands each call its own message from here, whatever other threads do to
// the process-wide text meanwhile.
namespace {
thread_local char t_err[1024];
}

void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts at sizeof - 1 bytes and always terminates.
    int r = std::vsnprintf(t_err, sizeof t_err, fmt, ap);
    va_end(ap);
    if (r < 0) t_err[0] = '\0';
    std::memcpy(g_err, t_err, std::strlen(t_err) + 1);
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

// Hands the calling thread's message (or "" on success) to the caller's
// buffer, cut to fit.
void give_error(int32_t ok, char *err, size_t err_size) {
    if (ok) {
        t_err[0] = '\0';
        g_err[0] = '\0';
    }
    if (!err || err_size == 0) return;
    size_t n = ok ? 0 : std::strlen(t_err);
    if (n > err_size - 1) n = err_size - 1;
    std::memcpy(err, t_err, n);
    err[n] = '\0';
}

// One options call: the checks, the load (from a path or from memory),
// the job, every exception stopped here.
int32_t run_options(const char *input_path, const void *input, size_t input_len,
                    const char *output_path, unsigned char **mem, size_t *mem_len,
                    const sheetlay_options *opt) noexcept {
    doc d{};
    bool loaded = false;
    try {
        job_options o;
        if (!read_options(opt, &o)) return 0;
        // The options interface opens encrypted files; the output is plain.
        load_options lo;
        lo.allow_encrypted = true;
        lo.lenient = true;
        lo.password = o.has_password ? o.password.c_str() : nullptr;
        if (input_path) {
            if (doc_load(input_path, &d, lo) != 0) return 0;
        } else {
            if (doc_load_view(static_cast<const unsigned char *>(input), input_len, "input", &d, lo) != 0)
                return 0;
        }
        loaded = true;
        int ok = nup_options(&d, o, output_path, mem, mem_len);
        doc_free(&d);
        return ok ? 1 : 0;
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
    } catch (...) {
        set_error("failed to build output (damaged page tree or content)");
    }
    if (loaded) doc_free(&d);
    return 0;
}

// One call of the inputs functions: the checks, each input loaded once,
// the job, every exception stopped here.
int32_t run_inputs(const sheetlay_input *inputs, int32_t count, const char *output_path,
                   unsigned char **mem, size_t *mem_len, const sheetlay_options *opt) noexcept {
    if (!inputs || count < 1 || count > 4096) {
        set_error("input count must be 1 to 4096 (got %d)", static_cast<int>(count));
        return 0;
    }
    // A deque: the documents stay where they were made while more join.
    std::deque<doc> docs;
    size_t loaded = 0;
    auto free_all = [&] {
        for (size_t k = 0; k < loaded; ++k) doc_free(&docs[k]);
        loaded = 0;
    };
    try {
        // Pages and password belong to each input; the shared structure
        // carrying either would be silently ignored otherwise.
        if (opt && (opt->size == kOptionsSize02 || opt->size == sizeof(sheetlay_options)) &&
            ((opt->pages && opt->pages[0] != '\0') || opt->password)) {
            set_error("pages and password go in each input");
            return 0;
        }
        job_options o;
        if (!read_options(opt, &o)) return 0;
        std::vector<job_input> in(static_cast<size_t>(count));
        for (int32_t k = 0; k < count; ++k) {
            const sheetlay_input &i = inputs[k];
            if (!i.path && !i.data) {
                set_error("input %d has neither a path nor data", static_cast<int>(k + 1));
                return 0;
            }
            if (i.path && i.data) {
                set_error("input %d has both a path and data", static_cast<int>(k + 1));
                return 0;
            }
            job_input &j = in[static_cast<size_t>(k)];
            if (i.path) {
                j.name = i.path;
            } else {
                j.name = "input ";
                j.name += std::to_string(k + 1);
            }
            if (!parse_selection(i.pages, &j.selection, j.name.c_str())) return 0;
        }
        for (int32_t k = 0; k < count; ++k) {
            const sheetlay_input &i = inputs[k];
            job_input &j = in[static_cast<size_t>(k)];
            load_options lo;
            lo.allow_encrypted = true;
            lo.lenient = true;
            lo.password = i.password;
            doc &d = docs.emplace_back();
            int r = i.path ? doc_load(i.path, &d, lo)
                           : doc_load_view(static_cast<const unsigned char *>(i.data), i.data_len,
                                           j.name.c_str(), &d, lo);
            if (r != 0) {
                free_all();
                return 0;
            }
            ++loaded;
            j.d = &d;
        }
        int ok = nup_inputs(in, o, output_path, mem, mem_len);
        free_all();
        return ok ? 1 : 0;
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
    } catch (...) {
        set_error("failed to build output (damaged page tree or content)");
    }
    free_all();
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

extern "C" {

// Hosts built against this header reach the sized form through a macro of
// this name; the exported function under the plain name is what a 0.2 host's
// binary calls, on its 112-byte structure.
#undef sheetlay_options_init

SHEETLAY_API void sheetlay_options_init_sized(sheetlay_options *opt, size_t size) {
    if (!opt) return;
    if (size != sheetlay::kOptionsSize02 && size != sizeof(sheetlay_options)) {
        // Only the size field, so that the next call refuses the structure.
        if (size >= sizeof opt->size) opt->size = static_cast<uint32_t>(size);
        return;
    }
    sheetlay_options d{};
    d.size = static_cast<uint32_t>(size);
    d.columns = 2;
    d.rows = 2;
    d.orientation = SHEETLAY_ORIENT_AUTO;
    d.fit = SHEETLAY_FIT_SCALE;
    d.keep = SHEETLAY_KEEP_ALL;
    d.compress = SHEETLAY_COMPRESS_COMPACT;
    d.duplex = SHEETLAY_DUPLEX_SHORT_EDGE;
    d.turn = SHEETLAY_TURN_NONE;
    d.trim = SHEETLAY_TRIM_NONE;
    // A 0.2 structure ends before the fields added in 0.3: nothing is written past it.
    std::memcpy(opt, &d, size);
}

SHEETLAY_API void sheetlay_options_init(sheetlay_options *opt) {
    sheetlay_options_init_sized(opt, sheetlay::kOptionsSize02);
}

SHEETLAY_API int32_t sheetlay_nup(const char *input_path, const char *output_path,
                                  const sheetlay_options *opt, char *err, size_t err_size) {
    int32_t ok;
    if (input_path == nullptr || output_path == nullptr) {
        sheetlay::set_error("NULL path argument");
        ok = 0;
    } else {
        ok = sheetlay::run_options(input_path, nullptr, 0, output_path, nullptr, nullptr, opt);
    }
    sheetlay::give_error(ok, err, err_size);
    return ok;
}

SHEETLAY_API int32_t sheetlay_nup_mem(const void *input, size_t input_len, void **output,
                                      size_t *output_len, const sheetlay_options *opt, char *err,
                                      size_t err_size) {
    if (output) *output = nullptr;
    if (output_len) *output_len = 0;
    int32_t ok;
    if (input == nullptr || output == nullptr || output_len == nullptr) {
        sheetlay::set_error("NULL argument");
        ok = 0;
    } else {
        unsigned char *block = nullptr;
        size_t n = 0;
        ok = sheetlay::run_options(nullptr, input, input_len, nullptr, &block, &n, opt);
        if (ok) {
            *output = block;
            *output_len = n;
        }
    }
    sheetlay::give_error(ok, err, err_size);
    return ok;
}

SHEETLAY_API int32_t sheetlay_nup_inputs(const sheetlay_input *inputs, int32_t count,
                                         const char *output_path, const sheetlay_options *opt,
                                         char *err, size_t err_size) {
    int32_t ok;
    if (output_path == nullptr) {
        sheetlay::set_error("NULL path argument");
        ok = 0;
    } else {
        ok = sheetlay::run_inputs(inputs, count, output_path, nullptr, nullptr, opt);
    }
    sheetlay::give_error(ok, err, err_size);
    return ok;
}

SHEETLAY_API int32_t sheetlay_nup_inputs_mem(const sheetlay_input *inputs, int32_t count,
                                             void **output, size_t *output_len,
                                             const sheetlay_options *opt, char *err,
                                             size_t err_size) {
    if (output) *output = nullptr;
    if (output_len) *output_len = 0;
    int32_t ok;
    if (output == nullptr || output_len == nullptr) {
        sheetlay::set_error("NULL argument");
        ok = 0;
    } else {
        unsigned char *block = nullptr;
        size_t n = 0;
        ok = sheetlay::run_inputs(inputs, count, nullptr, &block, &n, opt);
        if (ok) {
            *output = block;
            *output_len = n;
        }
    }
    sheetlay::give_error(ok, err, err_size);
    return ok;
}

SHEETLAY_API void sheetlay_free(void *p) { std::free(p); }

SHEETLAY_API const char *sheetlay_version(void) { return SHEETLAY_VERSION_STRING; }

}  // extern "C"
