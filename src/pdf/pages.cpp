// The page tree walk and the page attributes (see pdf/pages.h).
//
// Damaged files can make the tree deep, cyclic or wide, and repeat an entry
// many times in one dictionary: the walk is bounded in depth, marks every
// /Pages node it enters, caps each /Kids list by the size of its text, and
// reads each page's boxes once however often /Kids arrays list the page.
#include "pdf/pages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "error.h"
#include "pdf/bytescan.h"
#include "pdf/lexer.h"

namespace sheetlay {

namespace {

constexpr int kMaxTreeDepth = 256;  // /Pages levels accepted by the walk

}  // namespace

// ===========================================================================
// Page attributes

namespace {

// Reads one number of a box array at t[*p] (sign, digits, fraction).
double read_box_number(const unsigned char *t, int32_t end, int32_t *p) {
    int32_t i = *p;
    bool neg = false;
    if (t[i] == '+' || t[i] == '-') {
        neg = t[i] == '-';
        ++i;
    }
    double v = 0;
    while (i < end && is_dec_digit(t[i])) v = v * 10 + (t[i++] - '0');
    if (i < end && t[i] == '.') {
        ++i;
        double h = 0.1;
        while (i < end && is_dec_digit(t[i])) {
            v += (t[i++] - '0') * h;
            h *= 0.1;
        }
    }
    *p = i;
    return neg ? -v : v;
}

// Reads four numbers of an array whose "[" stands at t[p]. Accepts the box
// when four were read and the third and fourth are positive. On refusal,
// *dead_until (when given) tells up to where another "[" would be refused
// the same way: one that stands before the first number read meets the same
// four numbers, and one before the "]" or end that cut the array short
// meets no more numbers than this one did.
bool read_box_array(const unsigned char *t, int32_t end, int32_t p, double out[4],
                    int32_t *dead_until = nullptr) {
    if (dead_until) *dead_until = -1;
    if (p >= end || t[p] != '[') return false;
    p = skip_ws(t, p + 1, end);
    if (p >= end) return false;
    double v[4];
    int got = 0;
    int32_t first_num = -1;
    while (got < 4 && p < end) {
        unsigned char c = t[p];
        if (c == ']') break;
        if (c == '+' || c == '-' || c == '.' || is_dec_digit(c)) {
            if (got == 0) first_num = p;
            v[got++] = read_box_number(t, end, &p);
        } else {
            ++p;
        }
        p = skip_ws(t, p, end);
    }
    if (got < 4) {
        if (dead_until) *dead_until = p;
        return false;
    }
    if (!(v[2] > 0) || !(v[3] > 0)) {
        if (dead_until) *dead_until = first_num;
        return false;
    }
    for (int k = 0; k < 4; ++k) out[k] = v[k];
    return true;
}

// Reads a reference "N G R" (or "N R") at t[p]; returns N, or -1.
int32_t read_ref_at(const unsigned char *t, int32_t end, int32_t p) {
    if (p >= end || !is_dec_digit(t[p])) return -1;
    int32_t cur = p;
    int32_t num = parse_int_at(t, end, &cur);
    if (num <= 0) return -1;
    int32_t q = skip_ws(t, cur, end);
    if (q < end && is_dec_digit(t[q])) {
        parse_int_at(t, end, &q);
        q = skip_ws(t, q, end);
    }
    if (q >= end || t[q] != 'R') return -1;
    return num;
}

// The array object `num`: its body, when it begins with "[".
bool array_object(const unsigned char *file, int32_t file_len, const objvec *objs, int32_t num,
                  const unsigned char **at, int32_t *at_end) {
    if (!objs) return false;
    const obj_entry *e = objvec_find(objs, num);
    if (!e || e->is_stream) return false;
    const unsigned char *body;
    int32_t blen;
    if (!obj_body(file, file_len, e, &body, &blen)) return false;
    int32_t s = skip_ws(body, 0, blen);
    if (s >= blen || body[s] != '[') return false;
    *at = body + s;
    *at_end = blen - s;
    return true;
}

// The value of an array-valued entry written as a reference to an array
// object: the referenced object's body, when it begins with "[".
bool follow_array_ref(const unsigned char *file, int32_t file_len, const objvec *objs,
                      const unsigned char *t, int32_t end, int32_t p,
                      const unsigned char **at, int32_t *at_end) {
    int32_t num = read_ref_at(t, end, p);
    return num > 0 && array_object(file, file_len, objs, num, at, at_end);
}

// The first accepted box among the occurrences of /name in an object's
// dictionary range. Arrays given by reference are followed once. A damaged
// dictionary may repeat the name many times; each array is read once (see
// read_box_array), and so is each referenced array.
bool read_named_box(const unsigned char *file, int32_t file_len, const objvec *objs,
                    const obj_entry *e, const char *name, double out[4]) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return false;
    int32_t nlen = static_cast<int32_t>(std::strlen(name)) + 1;
    int32_t from = start;
    int32_t dead_until = -1;
    pos_set refused_refs;
    for (;;) {
        int32_t i = find_name(t, end, from, end, name);
        if (i < 0) return false;
        from = i + 1;
        int32_t p = skip_ws(t, i + nlen, end);
        if (p >= end) continue;
        if (t[p] == '[') {
            if (p < dead_until) continue;
            int32_t dead;
            if (read_box_array(t, end, p, out, &dead)) return true;
            dead_until = std::max(dead_until, dead);
        } else {
            int32_t num = read_ref_at(t, end, p);
            if (num <= 0 || refused_refs.count(num)) continue;
            const unsigned char *at;
            int32_t at_end;
            if (array_object(file, file_len, objs, num, &at, &at_end) &&
                read_box_array(at, at_end, 0, out))
                return true;
            refused_refs.insert(num);
        }
    }
}

void set_box(pageinfo *pi, const double b[4]) {
    pi->x0 = b[0];
    pi->y0 = b[1];
    pi->x1 = b[2];
    pi->y1 = b[3];
}

void set_default_box(pageinfo *pi) {
    static const double kDefault[4] = {0, 0, 595, 842};
    set_box(pi, kDefault);
}

// Reads the value of a /Resources entry whose value begins at t[p].
char *resources_value(const unsigned char *file, int32_t file_len, const objvec *objs,
                      const unsigned char *t, int32_t end, int32_t p) {
    p = skip_ws(t, p, end);
    if (p >= end) return nullptr;
    if (p + 1 < end && t[p] == '<' && t[p + 1] == '<') return dict_text_at(t, end, p);
    if (!is_dec_digit(t[p])) return nullptr;
    int32_t cur = p;
    int32_t num = parse_int_at(t, end, &cur);
    if (num <= 0) return nullptr;
    const obj_entry *e = objvec_find(objs, num);
    if (!e) return nullptr;
    if (e->in_objstm) {
        if (!e->text) return nullptr;
        const void *lt = std::memchr(e->text, '<', static_cast<size_t>(e->text_len));
        if (!lt) return nullptr;
        return dict_text_at(e->text, e->text_len,
                            static_cast<int32_t>(static_cast<const unsigned char *>(lt) - e->text));
    }
    if (e->dict_pos < 0) return nullptr;
    int32_t stop = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : file_len;
    if (stop > file_len) stop = file_len;
    return dict_text_at(file, stop, e->dict_pos);
}

}  // namespace

void fill_pageinfo(const unsigned char *t, int32_t len, const objvec *objs, const obj_entry *e,
                   pageinfo *pi) {
    double b[4];
    if (read_named_box(t, len, objs, e, "CropBox", b) ||
        read_named_box(t, len, objs, e, "MediaBox", b))
        set_box(pi, b);
    else
        set_default_box(pi);
}

int32_t obj_rotate_own(const unsigned char *file, int32_t file_len, const obj_entry *e) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return -1;
    int32_t i = find_name(t, end, start, end, "Rotate");
    if (i < 0) return -1;
    int32_t p = skip_ws(t, i + 7, end);
    if (p >= end) return -1;
    bool neg = false;
    if (t[p] == '+' || t[p] == '-') {
        neg = t[p] == '-';
        ++p;
    }
    if (p >= end || !is_dec_digit(t[p])) return -1;
    uint32_t v = 0;
    while (p < end && is_dec_digit(t[p])) v = (v * 10u + static_cast<uint32_t>(t[p++] - '0')) % 360u;
    int32_t r = static_cast<int32_t>(v);
    if (neg) r = (360 - r) % 360;
    return r;
}

int32_t page_rotation(const doc *d, const pageinfo *pi, const obj_entry *page) {
    int32_t own = page ? obj_rotate_own(d->data, d->len, page) : -1;
    int32_t r = own >= 0 ? own : pi->rotate;
    r %= 360;
    if (r < 0) r += 360;
    return r;
}

char *page_resources_dict(const unsigned char *t, int32_t len, const objvec *objs,
                          const unsigned char *page_text, int32_t page_end,
                          int32_t inherited_from) {
    // The page's own text starts after the "endobj" of the object before it.
    // The last "endobj" wholly before page_end, found by its 'j' (rare in
    // text) searching backwards.
    int32_t start = 0;
    for (const unsigned char *end = page_text + (page_end > 0 ? page_end : 0);;) {
        const unsigned char *j = last_of<'j'>(page_text, end);
        if (!j) break;
        if (j - page_text >= 5 && std::memcmp(j - 5, "endobj", 6) == 0) {
            start = static_cast<int32_t>(j - page_text) + 1;
            break;
        }
        end = j;
    }
    int32_t i = find_name(page_text, page_end, start, page_end, "Resources");
    if (i >= 0) return resources_value(t, len, objs, page_text, page_end, i + 10);
    if (inherited_from <= 0) return nullptr;
    // No /Resources of its own: PDF lets the page inherit its nearest
    // ancestor's.
    const obj_entry *node = objvec_find(objs, inherited_from);
    if (!node) return nullptr;
    const unsigned char *nt;
    int32_t ntlen, ns, ne;
    if (!dict_range(t, len, node, &nt, &ntlen, &ns, &ne)) return nullptr;
    int32_t j = find_name(nt, ne, ns, ne, "Resources");
    if (j < 0) return nullptr;
    return resources_value(t, len, objs, nt, ne, j + 10);
}

char *page_resources(const doc *d, const pageinfo *pi, const obj_entry *page) {
    if (!page) return nullptr;
    if (page->in_objstm)
        return page_resources_dict(d->data, d->len, &d->objs, page->text, page->text_len,
                                   pi->res_from);
    if (page->dict_pos < 0) return nullptr;
    int32_t end = page->stream_pos > 0 ? page->stream_pos
                  : page->endobj_pos > 0 ? page->endobj_pos
                                         : d->len;
    if (end > d->len) end = d->len;
    return page_resources_dict(d->data, d->len, &d->objs, d->data, end, pi->res_from);
}

// ===========================================================================
// Page tree

namespace {

// What a /Pages node hands down to its children.
struct inherited {
    int32_t rotate;  // not reduced
    int32_t res_from;
    bool has_crop, has_media;
    double crop[4], media[4];
};

// A page's own boxes, read once per page object however often /Kids
// arrays list it.
struct own_boxes {
    bool has_crop, has_media;
    double crop[4], media[4];
};

struct tree_walk {
    const unsigned char *t;
    int32_t len;
    const objvec *objs;
    int32_t max_num;
    std::vector<pageinfo> *pages;
    std::vector<unsigned char> visited;  // per /Pages node number: entered
    // Per object number: 0 not yet classified, else obj_type + 1.
    std::vector<unsigned char> kinds;
    pos_map<own_boxes> boxes;
    // Lenient reading (the options interface): untyped nodes and pages, a
    // node met again left out, pages written inside /Kids.
    bool lenient = false;
    bool may_inline = false;             // lenient and not encrypted
    std::vector<obj_entry> *inline_pages = nullptr;  // numbered from max_num + 1
    std::vector<unsigned char> *met = nullptr;       // per object number: in the tree

    int kind(const obj_entry *e) {
        int32_t n = e->num;
        if (n < 0 || n > max_num) return classify(e);
        if (kinds.empty()) kinds.assign(static_cast<size_t>(max_num) + 1, 0);
        if (!kinds[n]) kinds[n] = static_cast<unsigned char>(classify(e) + 1);
        return kinds[n] - 1;
    }

    // obj_type, and when lenient, for a dictionary without /Type: a node
    // when it has /Kids, else a page (as other readers take them).
    int classify(const obj_entry *e) {
        int k = obj_type(t, len, e);
        if (k != 0 || !lenient || (e->is_stream && !e->in_objstm)) return k;
        const unsigned char *dt;
        int32_t dtlen, ds, de;
        if (!dict_range(t, len, e, &dt, &dtlen, &ds, &de)) return 0;
        ds = skip_ws(dt, ds, de);
        if (ds + 1 >= de || dt[ds] != '<' || dt[ds + 1] != '<') return 0;
        if (find_name_top(dt, de, ds, de, "Type") >= 0) return 0;
        return find_name_top(dt, de, ds, de, "Kids") >= 0 ? 2 : 1;
    }

    void mark(int32_t n) {
        if (met && n >= 0 && static_cast<size_t>(n) < met->size()) (*met)[static_cast<size_t>(n)] = 1;
    }

    const own_boxes &page_boxes(const obj_entry *e) {
        auto it = boxes.find(e->num);
        if (it != boxes.end()) return it->second;
        own_boxes ob{};
        ob.has_crop = read_named_box(t, len, objs, e, "CropBox", ob.crop);
        ob.has_media = read_named_box(t, len, objs, e, "MediaBox", ob.media);
        return boxes.emplace(e->num, ob).first->second;
    }

    void add_page(const obj_entry *e, int32_t num, const inherited &inh) {
        pageinfo pi{};
        pi.num = num;
        int32_t r = inh.rotate % 360;
        if (r < 0) r += 360;
        pi.rotate = r;
        pi.res_from = inh.res_from;
        // Box precedence: own CropBox, inherited CropBox, own MediaBox,
        // inherited MediaBox, default.
        const own_boxes &ob = page_boxes(e);
        if (ob.has_crop)
            set_box(&pi, ob.crop);
        else if (inh.has_crop)
            set_box(&pi, inh.crop);
        else if (ob.has_media)
            set_box(&pi, ob.media);
        else if (inh.has_media)
            set_box(&pi, inh.media);
        else
            set_default_box(&pi);
        pages->push_back(pi);
    }

    int32_t walk(int32_t node, const inherited &inh, int depth);
};

int32_t tree_walk::walk(int32_t node, const inherited &inh, int depth) {
    // depth counts the /Pages levels above this node; the root is at 0.
    if (depth >= kMaxTreeDepth) return -1;
    const obj_entry *e = objvec_find(objs, node);
    if (!e) return -1;
    int k = kind(e);
    if (k == 1) {
        mark(node);
        add_page(e, node, inh);
        return 1;
    }
    if (k != 2) return -1;
    if (node < 0 || node > max_num) return -1;
    // A node met again closes a loop (or repeats a subtree): an error, or
    // when lenient, the repeat is left out.
    if (visited[node]) return lenient ? 0 : -1;
    visited[node] = 1;
    mark(node);

    const unsigned char *dt;
    int32_t dtlen, ds, de;
    if (!dict_range(t, len, e, &dt, &dtlen, &ds, &de)) return 0;

    // Find the /Kids array: written in place, or a reference to an array
    // object.
    const unsigned char *at = nullptr;
    int32_t at_end = 0, p = -1;
    for (int32_t from = ds;;) {
        int32_t i = find_name(dt, de, from, de, "Kids");
        if (i < 0) break;
        from = i + 1;
        int32_t q = skip_ws(dt, i + 5, de);
        if (q < de && dt[q] == '[') {
            at = dt;
            at_end = de;
            p = q;
            break;
        }
        const unsigned char *ra;
        int32_t ra_end;
        if (follow_array_ref(t, len, objs, dt, de, q, &ra, &ra_end)) {
            at = ra;
            at_end = ra_end;
            p = 0;
            break;
        }
    }
    if (!at) return 0;

    int64_t span = e->in_objstm ? e->text_len
                   : e->endobj_pos > e->hdr_pos ? static_cast<int64_t>(e->endobj_pos) - e->hdr_pos
                                                : 0;
    if (at != dt) span = std::max<int64_t>(span, at_end);
    size_t kcap = static_cast<size_t>(span / 4 + 4096);
    std::vector<int32_t> kids;
    kids.reserve(std::min<size_t>(kcap, 65536));

    // Pages written inside /Kids, by their place in `kids` (as -1 - index
    // into inline_here).
    std::vector<obj_entry> inline_here;
    p = skip_ws(at, p + 1, at_end);
    while (p < at_end) {
        unsigned char c = at[p];
        if (c == ']') break;
        if (c == '<' && p + 1 < at_end && at[p + 1] == '<') {
            int32_t q = may_inline ? dict_end_at(at, at_end, p) : -1;
            if (q < 0) return -2;
            // An entry of its own, as an object stream's member is: its
            // text is the dictionary.
            obj_entry ie{};
            ie.num = -1;
            ie.hdr_pos = ie.dict_pos = ie.stream_pos = ie.data_start = ie.data_end = ie.endobj_pos = -1;
            ie.in_objstm = 1;
            ie.text = at + p;
            ie.text_len = q - p;
            if (kids.size() < kcap) {
                kids.push_back(-1 - static_cast<int32_t>(inline_here.size()));
                inline_here.push_back(ie);
            }
            p = skip_ws(at, q, at_end);
            continue;
        }
        if (is_dec_digit(c)) {
            int32_t kid = parse_int_at(at, at_end, &p);
            if (kid > 0 && kids.size() < kcap) kids.push_back(kid);
            p = skip_ws(at, p, at_end);
            if (p < at_end && is_dec_digit(at[p])) {
                parse_int_at(at, at_end, &p);
                p = skip_ws(at, p, at_end);
            }
            if (p < at_end && at[p] == 'R') p = skip_ws(at, p + 1, at_end);
        } else {
            ++p;
        }
    }
    if (kids.empty()) return 0;

    inherited mine = inh;
    int32_t own_rot = obj_rotate_own(t, len, e);
    if (own_rot >= 0) mine.rotate = own_rot;
    if (find_name(dt, de, ds, de, "Resources") >= 0) mine.res_from = node;
    double b[4];
    if (read_named_box(t, len, objs, e, "CropBox", b)) {
        mine.has_crop = true;
        std::memcpy(mine.crop, b, sizeof b);
    }
    if (read_named_box(t, len, objs, e, "MediaBox", b)) {
        mine.has_media = true;
        std::memcpy(mine.media, b, sizeof b);
    }

    for (int32_t kid : kids) {
        if (kid < 0) {
            // A page dictionary written in place: numbered after the file's
            // objects, once it is known to be a page.
            obj_entry ie = inline_here[static_cast<size_t>(-1 - kid)];
            if (classify(&ie) != 1) return -1;
            int64_t num = static_cast<int64_t>(max_num) + 1 + static_cast<int64_t>(inline_pages->size());
            if (num >= INT32_MAX) return -1;
            ie.num = static_cast<int32_t>(num);
            inline_pages->push_back(ie);
            add_page(&inline_pages->back(), ie.num, mine);
            continue;
        }
        const obj_entry *ke = objvec_find(objs, kid);
        if (!ke) return -1;
        int kk = kind(ke);
        if (kk == 1) {
            add_page(ke, kid, mine);
        } else if (kk == 2) {
            if (walk(kid, mine, depth + 1) < 0) return -1;
        } else {
            return -1;
        }
    }
    return static_cast<int32_t>(pages->size());
}

}  // namespace

int collect_pages(doc *d, int32_t tree, bool lenient) {
    inherited inh{};
    inh.rotate = 0;
    inh.res_from = -1;
    tree_walk w{d->data, d->len, &d->objs, d->max_num, &d->page_store,
                std::vector<unsigned char>(static_cast<size_t>(d->max_num) + 1, 0), {}, {}};
    std::vector<obj_entry> inline_pages;
    w.lenient = lenient;
    w.may_inline = lenient && !d->encrypted;
    w.inline_pages = &inline_pages;
    if (lenient) {
        d->page_tree.assign(static_cast<size_t>(d->max_num) + 1, 0);
        w.met = &d->page_tree;
    }
    int32_t r = w.walk(tree, inh, 0);
    if (r > 0 && !inline_pages.empty()) {
        // The pages written inside /Kids join the index under their new
        // numbers; the walk's entries are copies, so the store may move.
        for (const obj_entry &ie : inline_pages) {
            d->num_index.push_back(static_cast<int32_t>(d->obj_store.size()));
            d->obj_store.push_back(ie);
            d->page_tree.push_back(1);
        }
        d->max_num = inline_pages.back().num;
        doc_publish_objects(d);
    }
    d->pages.items = d->page_store.empty() ? nullptr : d->page_store.data();
    d->pages.count = static_cast<int32_t>(d->page_store.size());
    if (r == -2) {
        set_error("page tree uses inline page dictionaries in /Kids — pages must be indirect objects");
        return -1;
    }
    if (r < 0) {
        set_error("could not resolve the page tree (obj %ld is not a /Pages or /Page object, or tree is broken)",
                  static_cast<long>(tree));
        return -1;
    }
    if (r == 0) {
        set_error("document has no pages");
        return -1;
    }
    return 0;
}

}  // namespace sheetlay
