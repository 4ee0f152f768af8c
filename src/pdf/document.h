// The document record: what loading keeps of an input file, and the small
// containers it is built from.
//
// The reader builds no object tree. A loaded document is the file's bytes,
// an index of where each object stands in them (or, for members of object
// streams, in decoded bytes kept alongside), and the list of pages; every
// later question is answered by scanning a bounded range of those bytes.
// The records are plain structs because the output side reads them directly
// and its tests build them by hand.
#ifndef SHEETLAY_PDF_DOCUMENT_H
#define SHEETLAY_PDF_DOCUMENT_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace sheetlay {

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

// Range of bytes [start, end); lists of them are sorted by start.
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
int sx_rng_cmp(const void *a, const void *b);  // qsort order of rng by start
void doc_free(doc *d);

// The entry with object number `num`, or null (same result as the first
// match of a linear search; the index holds one entry per number).
const obj_entry *objvec_find(const objvec *v, int32_t num);

// Hash and order for positions and object numbers, for the reader's memo
// tables. Declared in the library's own namespace, so the standard
// containers instantiated on them get the library's hidden visibility and
// stay out of the shared library's exported symbols.
struct pos_hash {
    size_t operator()(int32_t v) const noexcept {
        return static_cast<size_t>(static_cast<uint32_t>(v)) * 0x9E3779B1u;
    }
};
struct pos_less {
    bool operator()(int32_t a, int32_t b) const noexcept { return a < b; }
};
template <class V>
using pos_map = std::unordered_map<int32_t, V, pos_hash>;
using pos_set = std::unordered_set<int32_t, pos_hash>;

}  // namespace sheetlay

#endif
