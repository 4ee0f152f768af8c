// The document record: what loading keeps of an input file, and the small
// containers it is built from.
//
// The reader builds no object tree. A loaded document is the file's bytes,
// an index of where each object stands in them (or, for members of object
// streams, in decoded bytes kept alongside), and the list of pages; every
// later question is answered by scanning a bounded range of those bytes.
// The records the output side reads (objvec, pagevec, pageinfo, obj_entry)
// stay plain structs because it reads them directly and its tests build
// them by hand; the document keeps their storage in standard containers.
#ifndef SHEETLAY_PDF_DOCUMENT_H
#define SHEETLAY_PDF_DOCUMENT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sheetlay {

// Releases a file image by how it was had: new[] (the default), or the
// aligned block loading takes for a large file (pdf/load), which is freed.
struct image_delete {
    bool aligned = false;
    void operator()(unsigned char *p) const noexcept {
        if (aligned)
            std::free(p);
        else
            delete[] p;
    }
};

// One object of the input. Offsets are byte positions in the file image;
// -1 where not applicable.
struct obj_entry {
    // Members: the start of the object's text (first, so that the record
    // packs into 48 bytes: a big file's index holds one per object).
    const unsigned char *text;
    int32_t num;
    int32_t hdr_pos;     // first digit of "N G obj"; -1 for members
    int32_t dict_pos;    // '<' that opens the body; -1 when none / member
    int32_t stream_pos;  // the "stream" keyword; -1 when no stream
    int32_t data_start;  // first byte of stream data; -1 when no stream
    int32_t data_end;    // one past the last byte of stream data
    int32_t endobj_pos;  // the "endobj" keyword; -1 for members
    int32_t text_len;    // members: the length of their text
    // The generation from the header (or 0 for members): with the number it
    // selects the key that encrypts the object's strings and stream.
    int32_t gen;
    uint8_t is_stream;  // 0 or 1
    uint8_t in_objstm;  // 0 or 1
    // 1 when the stream's own dictionary states its /Length as a number
    // and data_end - data_start is that number (the data ends where the
    // dictionary says): the writer need not read the dictionary again.
    uint8_t length_ok;
    // Where the body begins (what body_start reads from the header), as
    // body_at - 1 bytes past hdr_pos; 0 when not known. The scan that finds
    // the header has read it already and keeps it in the record's spare
    // byte: the writer asks for bodies again and again.
    uint8_t body_at;
};

// The objects of a loaded document, as the output side reads them: a view
// of the document's storage (or of entries a test built by hand). After
// loading, `by_num` maps an object number (0..by_num_len-1) to its position
// in `items`, or -1; without it, look-ups search `items`.
struct objvec {
    obj_entry *items;
    int32_t count;
    int32_t *by_num;
    int32_t by_num_len;
};

// One page of the input.
struct pageinfo {
    int32_t num;     // page object number
    int32_t rotate;  // rotation inherited from /Pages ancestors, 0..359
    double x0, y0, x1, y1;  // the page box as written
    int32_t res_from;  // nearest /Pages ancestor with /Resources, or -1
    int32_t trimmed = 0;  // 1 when the box above was cut to the content (nup/trim)
};

// The pages in order, as a view like objvec.
struct pagevec {
    pageinfo *items;
    int32_t count;
};

// Growable byte buffer, always NUL-terminated while data exists. Kept as a
// plain record with its own growth rule because the output side builds its
// whole file in one (and appends decoded stream data to it in place).
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

struct doc_crypt;  // pdf/decrypt.h

// A loaded document. The fields before the storage are what the rest of the
// library reads; `objs` and `pages` view the vectors below once loading has
// completed. A doc owns its storage: it cannot be copied, and moving it
// keeps the views valid (vectors and unique_ptr keep their blocks).
struct doc {
    // The whole file, not NUL-terminated, never written to: `file` below,
    // or the caller's bytes for a document loaded from memory.
    const unsigned char *data = nullptr;
    int32_t len = 0;
    int32_t root = 0;       // trailer /Root, or -1
    int32_t encrypted = 0;  // 1 when any trailer holds /Encrypt
    int32_t info = 0;       // the newest trailer's /Info object number, or 0
    // Where the newest trailer that holds /Encrypt opens its dictionary (the
    // '<' of a classic trailer or of a cross-reference stream), or -1.
    int32_t encrypt_trailer = -1;
    // Set when the document was opened with a password: how its strings
    // and streams are decrypted (pdf/decrypt).
    std::shared_ptr<const doc_crypt> crypt;
    objvec objs{};
    // Decoded object streams whose members' text the index points into.
    std::vector<std::unique_ptr<unsigned char[]>> ar;
    pagevec pages{};
    int32_t catalog = 0;  // chosen catalog, or -1
    int32_t max_num = 0;  // largest object number in objs

    // Storage behind the views.
    std::unique_ptr<unsigned char[], image_delete> file;  // `data` when read from a file or copied
    std::vector<obj_entry> obj_store;       // `objs.items`; the work list while loading
    std::vector<int32_t> num_index;         // `objs.by_num`
    std::vector<pageinfo> page_store;       // `pages.items`
    // Per object number, 1 for the page tree's nodes and pages as a lenient
    // walk met them (typed or not); empty otherwise.
    std::vector<unsigned char> page_tree;
};

void buf_reserve(buf *b, uint64_t n);
void buf_str(buf *b, const char *s);
void buf_append(buf *b, const void *p, uint64_t n);  // like buf_str, any bytes
void buf_free(buf *b);
int sx_rng_cmp(const void *a, const void *b);  // qsort order of rng by start

// Releases what the document owns and leaves it as a new one ({}).
void doc_free(doc *d);

// Points d->objs at the index held in obj_store and num_index.
void doc_publish_objects(doc *d);

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
