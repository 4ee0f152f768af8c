// Internal declarations shared by the library's units (and its tests).
// Nothing here is exported from the shared library.
#ifndef SHEETLAY_INTERNAL_H
#define SHEETLAY_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "codec/inflate.h"

namespace sheetlay {

// ---------------------------------------------------------------------------
// Error text (interface unit)

// The process-wide error text: always NUL-terminated, "" when no error.
extern char g_err[1024];

// Formats a message into g_err (cut at 1023 bytes, always terminated).
void set_error(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// ---------------------------------------------------------------------------
// Document record and containers (reader unit)

// One object of the input. Offsets are byte positions in the file image;
// -1 where not applicable.
struct obj_entry {
    int32_t num;
    int32_t hdr_pos;     // first digit of "N G obj"; -1 for members
    int32_t dict_pos;    // '<' that opens the body; -1 when none / member
    int32_t stream_pos;  // the "stream" keyword; -1 when no stream
    int32_t data_start;  // first byte of stream data; -1 when no stream
    int32_t data_end;    // one past the last byte of stream data
    int32_t endobj_pos;  // the "endobj" keyword; -1 for members
    int32_t is_stream;
    int32_t in_objstm;
    const unsigned char *text;  // members: start of the object's text
    int32_t text_len;           // members: its length
};

// Growable array of obj_entry. After loading, `by_num` maps an object
// number (0..by_num_len-1) to its position in `items`, or -1.
struct objvec {
    obj_entry *items;
    int32_t count;
    int32_t cap;
    int32_t *by_num;
    int32_t by_num_len;
};

// One page of the input.
struct pageinfo {
    int32_t num;     // page object number
    int32_t rotate;  // rotation inherited from /Pages ancestors, 0..359
    double x0, y0, x1, y1;  // the page box as written
    int32_t res_from;  // nearest /Pages ancestor with /Resources, or -1
};

struct pagevec {
    pageinfo *items;
    int32_t count;
    int32_t cap;
};

// Heap blocks owned by a doc (decoded object streams).
struct arena {
    void **blocks;
    int32_t count;
    int32_t cap;
};

// Growable byte buffer, always NUL-terminated while data exists.
struct buf {
    unsigned char *data;
    uint64_t len;
    uint64_t cap;
};

// Range of stream data, sorted by start.
struct rng {
    int32_t start;
    int32_t end;
};

struct doc {
    unsigned char *data;  // the whole file, not NUL-terminated
    int32_t len;
    int32_t root;       // trailer /Root, or -1
    int32_t encrypted;  // 1 when any trailer holds /Encrypt
    objvec objs;
    arena ar;
    pagevec pages;
    int32_t catalog;  // chosen catalog, or -1
    int32_t max_num;  // largest object number in objs
};

void objvec_push(objvec *v, const obj_entry *e);
void pagevec_push(pagevec *v, const pageinfo *p);
void *arena_alloc(arena *a, size_t size);
void arena_free_last(arena *a);  // releases the most recently added block
void buf_reserve(buf *b, uint64_t n);
void buf_str(buf *b, const char *s);
void buf_append(buf *b, const void *p, uint64_t n);  // like buf_str, any bytes
void buf_free(buf *b);
int sx_rng_cmp(const void *a, const void *b);
void doc_free(doc *d);

// The entry with object number `num`, or null (same result as the first
// match of a linear search; the index holds one entry per number).
const obj_entry *objvec_find(const objvec *v, int32_t num);

// ---------------------------------------------------------------------------
// Scanning primitives (reader unit). Texts are byte arrays with explicit
// lengths; no primitive reads at or past the end it is given.

bool is_pdf_ws(unsigned char c);
bool is_alnum(unsigned char c);  // ASCII letters and digits only
int32_t skip_ws(const unsigned char *t, int32_t pos, int32_t end);
int32_t find_kw(const unsigned char *t, int32_t len, int32_t start, const char *kw);
int kw_at(const unsigned char *t, int32_t pos, int32_t len, const char *kw);
int32_t find_name(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  const char *name);
int32_t find_name_top(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                      const char *name);
char *dict_text_at(const unsigned char *t, int32_t len, int32_t pos);  // free() it
int obj_type(const unsigned char *t, int32_t len, const obj_entry *e);
int32_t dict_stream_kw(const unsigned char *t, int32_t len, int32_t pos);
int32_t parse_int_at(const unsigned char *t, int32_t len, int32_t *cursor);
int32_t read_int_adv(const unsigned char *t, int32_t len, int32_t *cursor);
void parse_length(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  int32_t *direct_len, int32_t *len_ref);

// The dictionary range of an object: for a member its own text, otherwise
// the file text from dict_pos to stream_pos / endobj_pos / end of file.
// Returns 0 when the object has none; else sets *t, *start, *end (the text
// to scan is t[start, end), and t may be read up to `*tlen`).
int dict_range(const unsigned char *file, int32_t file_len, const obj_entry *e,
               const unsigned char **t, int32_t *tlen, int32_t *start, int32_t *end);

// The body of an object (what stands between "obj" and "endobj", or a
// member's text). Returns 0 when it cannot be found.
int obj_body(const unsigned char *file, int32_t file_len, const obj_entry *e,
             const unsigned char **body, int32_t *body_len);

// ---------------------------------------------------------------------------
// Loading (reader unit)

// Fills *d from the file at path. 0 on success; -1 on failure with the
// error text set and nothing owned by *d.
int doc_load(const char *path, doc *d);

// Same, from bytes already in memory (copied). `name` stands for the path
// in messages.
int doc_load_mem(const unsigned char *bytes, size_t n, const char *name, doc *d);

// Page readers.
void fill_pageinfo(const unsigned char *t, int32_t len, const objvec *objs,
                   const obj_entry *e, pageinfo *pi);
// The object's own /Rotate reduced into 0..359, or -1 when it has none.
int32_t obj_rotate_own(const unsigned char *t, int32_t len, const obj_entry *e);
// A page's effective rotation (own /Rotate, else inherited), 0..359.
int32_t page_rotation(const doc *d, const pageinfo *pi, const obj_entry *page);
// The page's resource dictionary text (malloc'd, NUL-terminated), or null.
// `page_text`/`page_end` as the page's own text (a member's text, or the
// file text up to the end of its dictionary range); `inherited_from` is
// pageinfo.res_from: the /Pages node whose /Resources the page inherits
// when it has none of its own (-1 for none).
char *page_resources_dict(const unsigned char *t, int32_t len, const objvec *objs,
                          const unsigned char *page_text, int32_t page_end,
                          int32_t inherited_from);
// Convenience: the resources text of a page as the writer needs it.
char *page_resources(const doc *d, const pageinfo *pi, const obj_entry *page);

int32_t resolve_pages(const unsigned char *t, int32_t len, const objvec *objs, int32_t node,
                      int32_t max_num, pagevec *pages, unsigned char *visited,
                      int32_t rotate);

// ---------------------------------------------------------------------------
// Stream data access (reader unit)

// What decoded_stream tells about data it returns still encoded: the value
// texts of the stream's /Filter and /DecodeParms (ranges of the file text;
// start == end == -1 when absent).
struct stream_filter {
    int still_encoded;  // 1 when the data carries a filter the caller must keep
    rng filter;
    rng parms;
};

// The data of a stream object: decoded into `out` (appended) for plain
// Flate, else in place in the file text. Null on failure; *out_len is
// written only on success. `sf` may be null.
const unsigned char *decoded_stream(const obj_entry *e, const unsigned char *text,
                                    int32_t text_len, buf *out, int32_t *out_len,
                                    stream_filter *sf);

// ---------------------------------------------------------------------------
// Composition and output (writer unit)

// Prints a double by the output's number rule into out (size >= 64);
// returns the length. Locale independent.
int fmt_num(char *out, size_t size, double v);

int nup_doc(doc *d, const char *output_path, int32_t n, int32_t order, int32_t page_size,
            int32_t border_width);

}  // namespace sheetlay

#endif
