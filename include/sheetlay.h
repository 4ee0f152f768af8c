/*
 * sheetlay - make n-up PDF files.
 *
 * Public C interface. Every function is safe to call without sheetlay_init.
 * A create function returns 1 on success and 0 on failure; after a failure
 * sheetlay_last_error() holds one message describing it. The error text is a
 * single buffer for the whole process: a host that calls the library from
 * several threads at once must not rely on it across threads.
 */
#ifndef SHEETLAY_H
#define SHEETLAY_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(SHEETLAY_BUILDING)
#    define SHEETLAY_API __declspec(dllexport)
#  elif defined(SHEETLAY_STATIC)
#    define SHEETLAY_API
#  else
#    define SHEETLAY_API __declspec(dllimport)
#  endif
#else
#  define SHEETLAY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Page sizes for sheetlay_create_sized. Any negative value means: the size
 * of the first input page (turned when that page is shown rotated). */
#define SHEETLAY_SIZE_FIRST_PAGE (-1)
#define SHEETLAY_SIZE_A4 0
#define SHEETLAY_SIZE_LETTER 1
#define SHEETLAY_SIZE_A3 2

/* Reading orders. */
#define SHEETLAY_ORDER_LTR 0
#define SHEETLAY_ORDER_RTL 1

/* Empties the error text; always returns 1. */
SHEETLAY_API int32_t sheetlay_init(void);

/* Empties the error text. */
SHEETLAY_API void sheetlay_cleanup(void);

/* The error text of the last failed call, or "" (never NULL). The pointer
 * stays valid for the life of the process; its contents change with every
 * later call. */
SHEETLAY_API const char *sheetlay_last_error(void);

/* Writes output_path: the pages of input_path, n per sheet (2, 4, 6, 9 or
 * 16), in reading order `order` (0 left to right, 1 right to left), on sheets
 * the size of the first page, without frames. */
SHEETLAY_API int32_t sheetlay_create(const char *input_path, const char *output_path,
                                     int32_t n, int32_t order);

/* As sheetlay_create, on sheets of page_size: 0 A4, 1 Letter, 2 A3, or
 * negative for the first page's size. */
SHEETLAY_API int32_t sheetlay_create_sized(const char *input_path, const char *output_path,
                                           int32_t n, int32_t order, int32_t page_size);

/* As sheetlay_create, with a black frame of border_width points around each
 * placed page (0 for none). */
SHEETLAY_API int32_t sheetlay_create_bordered(const char *input_path, const char *output_path,
                                              int32_t n, int32_t order, int32_t border_width);

/* ------------------------------------------------------------------------
 * The options interface: any grid, flow, sheet size and orientation,
 * margins, gaps, page selection, booklets, links and bookmarks, compact
 * output, encrypted input, in files or in memory.
 *
 * A call returns 1 on success and 0 on failure. On failure the message goes
 * into err (cut to err_size - 1 bytes and terminated; err may be NULL or
 * err_size 0) and also into the process-wide text of sheetlay_last_error();
 * on success err becomes "". A host running calls on several threads reads
 * each call's own message from its err buffer.
 * ---------------------------------------------------------------------- */

/* Called now and then with the number of pages placed and their total. A
 * nonzero return cancels the call, which then fails with "cancelled" and
 * writes nothing. */
typedef int32_t (*sheetlay_progress_fn)(void *user, int32_t done, int32_t total);

typedef struct sheetlay_options {
    uint32_t size;            /* sizeof(sheetlay_options), set by sheetlay_options_init */
    int32_t columns;          /* 1..32 */
    int32_t rows;             /* 1..32 */
    uint32_t flow;            /* SHEETLAY_FLOW_* bits */
    double sheet_width;       /* points; 0 and 0: the first selected page's displayed size */
    double sheet_height;
    int32_t orientation;      /* SHEETLAY_ORIENT_* */
    int32_t fit;              /* SHEETLAY_FIT_* */
    double margin;            /* points, on all four sides of the sheet */
    double gap;               /* points, between neighbouring cells */
    double border;            /* frame line width in points; 0 none */
    const char *pages;        /* page selection; NULL or "" all pages in order */
    int32_t booklet;          /* 0 or 1 */
    uint32_t keep;            /* SHEETLAY_KEEP_* bits */
    int32_t compress;         /* SHEETLAY_COMPRESS_* */
    int32_t reserved;         /* 0 */
    const char *password;     /* for encrypted input; NULL for none */
    sheetlay_progress_fn progress;  /* may be NULL */
    void *progress_user;
    /* added in 0.3 */
    int32_t signature;        /* booklets: sheets per signature; 0: all sheets in one */
    int32_t duplex;           /* SHEETLAY_DUPLEX_* (booklets) */
    int32_t turn;             /* SHEETLAY_TURN_* */
    uint32_t marks;           /* SHEETLAY_MARK_* bits */
    int32_t trim;             /* SHEETLAY_TRIM_* */
    int32_t reserved2;        /* 0 */
    double trim_margin;       /* points kept around the content when trimming */
} sheetlay_options;

#define SHEETLAY_FLOW_RTL       1u  /* rows run right to left */
#define SHEETLAY_FLOW_COLUMNS   2u  /* fill each column before the next */
#define SHEETLAY_FLOW_BOTTOM_UP 4u  /* start at the bottom row */
#define SHEETLAY_ORIENT_AUTO      0
#define SHEETLAY_ORIENT_PORTRAIT  1
#define SHEETLAY_ORIENT_LANDSCAPE 2
#define SHEETLAY_ORIENT_AS_GIVEN  3
#define SHEETLAY_FIT_SCALE  0     /* scale each page up or down to its cell */
#define SHEETLAY_FIT_SHRINK 1     /* scale down only, never enlarge */
#define SHEETLAY_FIT_SAME   2     /* one scale for all pages: the largest at which every page fits */

#define SHEETLAY_DUPLEX_SHORT_EDGE 0   /* backs printed flipping on the short edge (0.2's booklets) */
#define SHEETLAY_DUPLEX_LONG_EDGE  1   /* flipping on the long edge: every back side turned upside down */

#define SHEETLAY_TURN_NONE  0
#define SHEETLAY_TURN_LEFT  1          /* a page that shows larger turned is turned a quarter counter-clockwise */
#define SHEETLAY_TURN_RIGHT 2          /* ... a quarter clockwise */

#define SHEETLAY_MARK_CROP 1u          /* crop marks at the corners of each placed page */
#define SHEETLAY_MARK_CUT  2u          /* cut lines through the middle of the gaps between cells */

#define SHEETLAY_TRIM_NONE 0
#define SHEETLAY_TRIM_EACH 1           /* each page cut to the box around what it draws */
#define SHEETLAY_TRIM_SAME 2           /* all pages of an input cut to one box: the union of their boxes */
#define SHEETLAY_KEEP_LINKS       1u
#define SHEETLAY_KEEP_ANNOTATIONS 2u
#define SHEETLAY_KEEP_OUTLINE     4u
#define SHEETLAY_KEEP_INFO        8u
#define SHEETLAY_KEEP_ALL        15u
#define SHEETLAY_COMPRESS_NONE    0  /* content written decoded, as the six functions write it */
#define SHEETLAY_COMPRESS_COMPACT 1

/* One input of a job of several: a file or a PDF in memory, with its own
 * page selection and password. */
typedef struct sheetlay_input {
    const char *path;         /* a PDF file, or NULL when data is given */
    const void *data;         /* a PDF in memory (data_len bytes), used when path is NULL */
    size_t data_len;
    const char *pages;        /* this input's page selection; NULL or "" all its pages */
    const char *password;     /* NULL for none */
} sheetlay_input;

/* Fills the first `size` bytes of *opt with the defaults and sets opt->size =
 * size; size must be 112 (a 0.2 structure) or 144. An unknown size writes
 * nothing but the size field, so the next call refuses it. The defaults: 2 x
 * 2, flow 0, the first page's size, auto orientation, fit scale, no margin,
 * gap or border, all pages, no booklet, keep all, compact output, no
 * password, no progress; no signatures, short-edge duplex, no turning, no
 * marks, no trimming. */
SHEETLAY_API void sheetlay_options_init_sized(sheetlay_options *opt, size_t size);

/* Fills a 0.2-sized structure (112 bytes). Code compiled against this header
 * reaches sheetlay_options_init_sized through the macro below instead, with
 * its own structure's size. */
SHEETLAY_API void sheetlay_options_init(sheetlay_options *opt);
#define sheetlay_options_init(opt) sheetlay_options_init_sized((opt), sizeof(sheetlay_options))

/* Writes output_path from input_path. A NULL opt means the defaults. */
SHEETLAY_API int32_t sheetlay_nup(const char *input_path, const char *output_path,
                                  const sheetlay_options *opt, char *err, size_t err_size);

/* The same from a PDF in memory, read where it stands (the bytes must stay
 * unchanged until the call returns); the output is a block the library allocates
 * (release it with sheetlay_free). On failure *output is NULL and
 * *output_len 0. Messages name the input "input". */
SHEETLAY_API int32_t sheetlay_nup_mem(const void *input, size_t input_len, void **output,
                                      size_t *output_len, const sheetlay_options *opt,
                                      char *err, size_t err_size);

/* Several inputs in one job: their selections are joined in order into one
 * sequence of cells, laid out as one input's selection is. opt must carry no
 * pages and no password (they go in each input). A file input is named by
 * its path in messages, a memory input "input N" (1-based). */
SHEETLAY_API int32_t sheetlay_nup_inputs(const sheetlay_input *inputs, int32_t count,
                                         const char *output_path, const sheetlay_options *opt,
                                         char *err, size_t err_size);
/* The same, the output returned in a block the library allocates (release it
 * with sheetlay_free). */
SHEETLAY_API int32_t sheetlay_nup_inputs_mem(const sheetlay_input *inputs, int32_t count,
                                             void **output, size_t *output_len,
                                             const sheetlay_options *opt, char *err,
                                             size_t err_size);

/* Releases a block returned by sheetlay_nup_mem or sheetlay_nup_inputs_mem (NULL is fine). */
SHEETLAY_API void sheetlay_free(void *p);

/* The library's version, "MAJOR.MINOR.PATCH". */
SHEETLAY_API const char *sheetlay_version(void);

#ifdef __cplusplus
}
#endif

#endif /* SHEETLAY_H */
