// The document record's containers: the byte buffer, release of a document
// and look-up by number.
//
// A buffer grows by doubling, so that appending N bytes costs O(N) copies;
// a failed allocation releases it (data becomes null), and the callers
// check for that. Everything else a document owns is held by standard
// containers and released with it.
#include "pdf/document.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace sheetlay {

void buf_free(buf *b) {
    std::free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

void buf_reserve(buf *b, uint64_t n) {
    if (!b->data) {
        b->data = static_cast<unsigned char *>(std::malloc(1048576));
        if (!b->data) {
            b->len = b->cap = 0;
            return;
        }
        b->cap = 1048576;
        b->len = 0;
        b->data[0] = 0;
    }
    // Anything near 2^63 cannot be had; refuse rather than overflow.
    if (n > (UINT64_C(1) << 62) || b->len > (UINT64_C(1) << 62)) {
        buf_free(b);
        return;
    }
    uint64_t need = b->len + n + 1;
    if (need > b->cap) {
        uint64_t ncap = b->cap;
        while (ncap < need) ncap *= 2;
        if (ncap > SIZE_MAX) {
            buf_free(b);
            return;
        }
        void *p = std::realloc(b->data, static_cast<size_t>(ncap));
        if (!p) {
            buf_free(b);
            return;
        }
        b->data = static_cast<unsigned char *>(p);
        b->cap = ncap;
    }
}

void buf_append(buf *b, const void *p, uint64_t n) {
    buf_reserve(b, n);
    if (!b->data) return;
    if (n) std::memcpy(b->data + b->len, p, static_cast<size_t>(n));
    b->len += n;
    b->data[b->len] = 0;
}

void buf_str(buf *b, const char *s) { buf_append(b, s, std::strlen(s)); }

int sx_rng_cmp(const void *a, const void *b) {
    const rng *x = static_cast<const rng *>(a);
    const rng *y = static_cast<const rng *>(b);
    if (x->start < y->start) return -1;
    if (x->start > y->start) return 1;
    return 0;
}

void doc_free(doc *d) { *d = doc{}; }

void doc_publish_objects(doc *d) {
    d->objs.items = d->obj_store.data();
    d->objs.count = static_cast<int32_t>(d->obj_store.size());
    d->objs.by_num = d->num_index.empty() ? nullptr : d->num_index.data();
    d->objs.by_num_len = static_cast<int32_t>(d->num_index.size());
}

const obj_entry *objvec_find(const objvec *v, int32_t num) {
    if (v->by_num) {
        if (num < 0 || num >= v->by_num_len) return nullptr;
        int32_t i = v->by_num[num];
        return i >= 0 ? &v->items[i] : nullptr;
    }
    for (int32_t i = 0; i < v->count; ++i)
        if (v->items[i].num == num) return &v->items[i];
    return nullptr;
}

}  // namespace sheetlay
