// The bounding box of what a page's content draws: the library's own
// interpreter of content streams, reduced to the geometry of ink.
//
// Trimming cuts a page down to what it shows, so the box must never be
// smaller than the ink a viewer puts on paper: every approximation here
// errs outward (curves and strokes by their exact extent or more, glyphs by
// their advance and the font's full height, images by their whole square,
// shadings by the whole clip). Paint in white does not count, so that a
// white background does not hold the box open. What cannot be read, and any
// input that exhausts a bound (operand stack, nesting, form recursion, total
// work), gives no box: the caller then leaves the page as it is.
#ifndef SHEETLAY_CONTENT_BBOX_H
#define SHEETLAY_CONTENT_BBOX_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "pdf/object.h"

namespace sheetlay {
struct doc;
struct pageinfo;
class doc_resolver;
}  // namespace sheetlay

namespace sheetlay::content {

// An axis-parallel box; empty when x0 > x1 or y0 > y1.
struct box {
    double x0 = 1, y0 = 1, x1 = 0, y1 = 0;
    bool empty() const { return !(x0 <= x1 && y0 <= y1); }
    // Joins a point; a point out of range (an overflowing matrix) may
    // stand anywhere, so the box then covers everything and the clip
    // decides. Inline: paths and text add points by the hundred thousand.
    void add(double x, double y) {
        if (!(std::isfinite(x) && std::isfinite(y))) [[unlikely]] {
            x0 = y0 = -1e300;
            x1 = y1 = 1e300;
            return;
        }
        if (empty()) {
            x0 = x1 = x;
            y0 = y1 = y;
            return;
        }
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    }
    void add(const box &b) {
        if (b.empty()) return;
        add(b.x0, b.y0);
        add(b.x1, b.y1);
    }
    void clip(const box &b) {  // intersection
        x0 = std::max(x0, b.x0);
        y0 = std::max(y0, b.y0);
        x1 = std::min(x1, b.x1);
        y1 = std::min(y1, b.y1);
    }
};

// Fonts read once for the pages of one document: a caller that reads many
// pages keeps one for as long as its resolver lives, so that the fonts the
// pages share are read once. Callers that read pages on several threads
// give each thread its own cache and let them share a store, which names
// before the threads start the fonts the pages name: each font is then
// read once in all, by whichever thread needs it first, and each thread
// finds what it would have found alone.
struct font_cache;
struct font_store;
std::shared_ptr<font_store> make_font_store();
std::shared_ptr<font_cache> make_font_cache(font_store *shared = nullptr);
// Whether a font of the cache has spent its glyph budget (glyphs asked for
// since may have been refused).
bool glyphs_spent(const font_cache &c);
// Names in the store the fonts that `resources` (resolved by `res`) names.
void store_fonts(font_store *store, doc_resolver &res, const pdf::value *resources);
// The fonts the store names, in order; reads the k-th (0 <= k < count)
// with `res` unless a reader has already (any thread).
size_t stored_fonts(const font_store &store);
void read_stored_font(font_store *store, size_t k, const doc *d, doc_resolver &res);

// Where the interpreter finds objects and the decoded data of streams.
struct source {
    font_cache *fonts = nullptr;  // optional: fonts kept beyond one call
    virtual ~source() = default;
    virtual pdf::resolver *objects() = 0;
    // The decoded data of stream object `num`; false when it cannot be read.
    virtual bool stream_data(int32_t num, std::string *out) = 0;
};

// The work one call may do, counted in tokens and glyphs (forms and Type 3
// glyphs included), and its depths.
struct limits {
    int64_t work = 40'000'000;
    int32_t operands = 1024;  // operands before one operator
    int32_t q_depth = 512;    // nested q
    int32_t form_depth = 16;  // forms and Type 3 glyphs inside each other
};

struct result {
    bool ok = false;  // false: unreadable or a bound exhausted
    box ink;          // empty when nothing is drawn
};

// The ink of `data` drawn with `resources` (a dictionary, or null), clipped
// to `clip`, in the coordinates of the stream's own space.
result content_box(const unsigned char *data, size_t len, const pdf::value *resources,
                   source &src, const box &clip, const limits &lim = {});

// The ink of page `p` of d in its default user space, clipped to its
// visible box; with `annotations`, the rectangles of the printable
// annotations a sheet draws count as ink.
result page_box(const doc *d, doc_resolver &res, const pageinfo &p, bool annotations,
                const limits &lim = {}, font_cache *fonts = nullptr);

}  // namespace sheetlay::content

#endif
