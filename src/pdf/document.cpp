// The document record's containers: growth, release and look-up by number.
//
// Growth doubles, so that loading a file of N objects costs O(N) copies.
// A failed allocation leaves the container as it was (a push is dropped,
// a buffer released), and the callers check for that.
#include "pdf/document.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace sheetlay {

void objvec_push(objvec *v, const obj_entry *e) {
    if (v->count == v->cap) {
        int64_t ncap = v->count == 0 ? 128 : 2 * static_cast<int64_t>(v->count);
        if (ncap > INT32_MAX) return;
        void *p = std::realloc(v->items, static_cast<size_t>(ncap) * sizeof(obj_entry));
        if (!p) return;
        v->items = static_cast<obj_entry *>(p);
        v->cap = static_cast<int32_t>(ncap);
    }
    v->items[v->count++] = *e;
}

void pagevec_push(pagevec *v, const pageinfo *pg) {
    if (v->count == v->cap) {
        int64_t ncap = v->count == 0 ? 64 : 2 * static_cast<int64_t>(v->count);
        if (ncap > INT32_MAX) return;
        void *p = std::realloc(v->items, static_cast<size_t>(ncap) * sizeof(pageinfo));
        if (!p) return;
        v->items = static_cast<pageinfo *>(p);
        v->cap = static_cast<int32_t>(ncap);
    }
    v->items[v->count++] = *pg;
}

void *arena_alloc(arena *a, size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    if (a->count == a->cap) {
        int64_t ncap = a->cap == 0 ? 4 : 2 * static_cast<int64_t>(a->cap);
        if (ncap > INT32_MAX) {
            std::free(block);
            return nullptr;
        }
        void *p = std::realloc(a->blocks, static_cast<size_t>(ncap) * sizeof(void *));
        if (!p) {
            std::free(block);
            return nullptr;
        }
        a->blocks = static_cast<void **>(p);
        a->cap = static_cast<int32_t>(ncap);
    }
    a->blocks[a->count++] = block;
    return block;
}

void arena_free_last(arena *a) {
    if (a->count > 0) {
        std::free(a->blocks[a->count - 1]);
        a->blocks[--a->count] = nullptr;
    }
}

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

void doc_free(doc *d) {
    std::free(d->data);
    for (int32_t i = 0; i < d->ar.count; ++i) std::free(d->ar.blocks[i]);
    std::free(d->ar.blocks);
    std::free(d->objs.items);
    std::free(d->objs.by_num);
    std::free(d->pages.items);
    std::memset(d, 0, sizeof *d);
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
