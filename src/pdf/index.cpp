// Object discovery (see pdf/index.h).
//
// Every stage works from sorted position lists (keywords, stream ranges)
// and binary searches, and every walk over damaged text shares a budget for
// the file, so that loading stays near linear in the file size whatever
// the damage: a file of thousands of overlapping or unclosed objects must
// not take quadratic time.
#include "pdf/index.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>

#include "error.h"
#include "pdf/bytescan.h"
#include "pdf/gallop.h"
#include "pdf/lexer.h"
#include "pdf/objscan.h"

namespace sheetlay {

namespace {

constexpr int32_t kMaxObjNum = 8388607;  // 2^23 - 1: the largest kept object number

// The "endstream" keywords, searched for when first asked: only a stream
// whose /Length does not check out asks, and in a sound file none does.
class lazy_endstreams {
public:
    lazy_endstreams(const unsigned char *t, int32_t len) : t_(t), len_(len) {}
    int32_t first_at_or_after(int64_t p) {
        if (!done_) {
            kw_.collect(t_, len_, "endstream");
            done_ = true;
        }
        return kw_.first_at_or_after(p);
    }

private:
    const unsigned char *t_;
    int32_t len_;
    bool done_ = false;
    kw_positions kw_;
};

// Reads the integer value of an object such as "12 0 obj 345 endobj".
int32_t plain_int_value(const unsigned char *t, int32_t len, const obj_entry *e) {
    if (e->hdr_pos < 0) return -1;
    int32_t p = e->hdr_pos;
    parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (p < len && is_dec_digit(t[p])) parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (kw_at(t, p, len, "obj")) p = skip_ws(t, p + 3, len);
    return parse_int_at(t, len, &p);
}

// The first byte at or after a position that isspace() does not accept.
// Damaged /Length values of many streams can all point into one long run of
// white space; each run is walked once.
class space_runs {
public:
    space_runs(const unsigned char *t, int32_t len) : t_(t), len_(len) {}
    int32_t skip(int32_t from) {
        // A known run [start, end) that holds `from`?
        auto next = runs_.upper_bound(from);
        if (next != runs_.begin()) {
            auto prev = std::prev(next);
            if (from < prev->second) return prev->second;
        }
        int32_t stop = next != runs_.end() ? next->first : len_;
        int32_t q = from;
        while (q < stop && is_c_space(t_[q])) ++q;
        int32_t end = q;
        if (q == stop && next != runs_.end()) {
            // Reached a known run: it goes on to that run's end.
            end = next->second;
            runs_.erase(next);
        }
        // Short runs (the line end before "endstream" of every sound
        // stream) cost less to walk again than to remember.
        if (end - from > kShortRun) runs_[from] = end;
        return end;
    }

private:
    static constexpr int32_t kShortRun = 64;
    const unsigned char *t_;
    int32_t len_;
    std::map<int32_t, int32_t, pos_less> runs_;  // start -> first byte after the run
};

// Where each stream's data ends, and the "endobj" after it. `lengths`:
// the /Length of each stream entry in order, as the scan read it.
void delimit_streams(doc *d, const std::vector<int32_t> &endobjs, lazy_endstreams &endstreams,
                     dict_budget &budget, const std::vector<stream_length> &lengths) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    std::vector<obj_entry> &v = d->obj_store;
    const int32_t count = static_cast<int32_t>(v.size());
    // First entry index for each object number, for indirect /Length.
    struct num_at {
        int32_t num, idx;
    };
    std::vector<num_at> first;  // built when the first indirect /Length is met
    auto find_first = [&](int32_t num) -> const obj_entry * {
        if (first.empty()) {
            first.resize(static_cast<size_t>(count));
            for (int32_t i = 0; i < count; ++i) first[static_cast<size_t>(i)] = num_at{v[i].num, i};
            std::sort(first.begin(), first.end(), [](const num_at &a, const num_at &b) {
                return a.num != b.num ? a.num < b.num : a.idx < b.idx;
            });
        }
        auto it = std::lower_bound(first.begin(), first.end(), num,
                                   [](const num_at &a, int32_t n) { return a.num < n; });
        return (it != first.end() && it->num == num) ? &v[it->idx] : nullptr;
    };

    space_runs spaces(t, len);
    kw_cursor endobj_at(endobjs);
    const std::vector<char> allowed = dicts_allowed(v, len, budget, 1);
    size_t si = 0;  // the stream entry's place in `lengths`
    for (int32_t i = 0; i < count; ++i) {
        obj_entry &e = v[i];
        if (!e.is_stream) continue;
        int32_t L = -1, R = -1;
        const stream_length *read = si < lengths.size() ? &lengths[si] : nullptr;
        ++si;
        if (allowed[static_cast<size_t>(i)]) {
            if (read && read->direct != kLengthUnread) {
                L = read->direct;
                R = read->ref;
            } else {
                parse_length(t, len, e.dict_pos, e.stream_pos, &L, &R);
            }
        }
        const bool direct = L >= 0;
        if (L < 0 && R >= 0) {
            const obj_entry *le = find_first(R);
            if (le && !le->is_stream) L = plain_int_value(t, len, le);
        }
        if (L < 0) continue;
        int64_t E = static_cast<int64_t>(e.data_start) + L;
        int64_t dend = -1;
        if (E < len) {
            int64_t q = spaces.skip(static_cast<int32_t>(E));
            if (q + 9 <= len && std::memcmp(t + q, "endstream", 9) == 0) dend = E;
        }
        if (dend < 0) {
            int32_t f = endstreams.first_at_or_after(static_cast<int64_t>(e.data_start) + 1);
            if (f < 0) {
                dend = len;
            } else {
                dend = f;
                if (f - 1 >= 0 && t[f - 1] == '\n') {
                    dend = f - 1;
                    if (f - 2 >= 0 && t[f - 2] == '\r' && f - 1 > e.data_start) dend = f - 2;
                } else if (f - 1 >= 0 && t[f - 1] == '\r') {
                    dend = f - 1;
                }
            }
        }
        if (dend < e.data_start) dend = e.data_start;
        e.data_end = static_cast<int32_t>(dend);
        e.length_ok = direct && dend == E ? 1 : 0;
        e.endobj_pos = endobj_at.first_at_or_after(dend + 1);
    }
}

void remove_false_headers(doc *d) {
    std::vector<obj_entry> &v = d->obj_store;
    std::vector<rng> ranges;
    for (const obj_entry &e : v) {
        if (e.is_stream && e.data_start >= 0 && e.data_start < e.data_end)
            ranges.push_back(rng{e.data_start, e.data_end});
    }
    // Sound files list their streams in file order already. Ranges of
    // equal start may come in any order: only the largest end up to each
    // start counts below.
    auto by_start = [](const rng &a, const rng &b) { return a.start < b.start; };
    if (!std::is_sorted(ranges.begin(), ranges.end(), by_start))
        std::sort(ranges.begin(), ranges.end(), by_start);
    std::vector<int32_t> maxend(ranges.size());
    int32_t m = INT32_MIN;
    for (size_t k = 0; k < ranges.size(); ++k) {
        m = std::max(m, ranges[k].end);
        maxend[k] = m;
    }
    gallop_cursor<rng> after(ranges);
    auto inside = [&](int32_t pos) {
        // The last range whose start is at most pos.
        const size_t it = after.find([pos](const rng &r) { return r.start <= pos; });
        if (it == 0) return false;
        return maxend[it - 1] > pos;
    };
    size_t i = 0;
    while (i < v.size()) {
        const obj_entry &e = v[i];
        if ((e.is_stream && e.endobj_pos == -1) || inside(e.hdr_pos)) {
            // The last entry takes its place.
            v[i] = v.back();
            v.pop_back();
        } else {
            ++i;
        }
    }
}

// An object that lost its "endobj" runs on to the next object's: its body
// would hold that object's header and text, and a copy of it would carry
// them into the output. Such a body ends where the next header begins.
// A header quoted in a string or a comment of the body is text; telling
// the two apart reads the body with its strings, which damaged files can
// make long and overlapping, so that reading shares one budget for the file
// and, once it is spent, a body simply ends at the first header in it.
void end_runaway_bodies(doc *d, const std::vector<int32_t> &heads) {
    const unsigned char *t = d->data;
    const int32_t len = d->len;
    int64_t budget = 4 * static_cast<int64_t>(len) + 4194304;
    gallop_cursor<int32_t> heads_from(heads);
    for (obj_entry &e : d->obj_store) {
        if (e.is_stream || e.in_objstm || e.hdr_pos < 0 || e.endobj_pos <= 0) continue;
        const int32_t stop = std::min(e.endobj_pos, len);
        {
            // The first "obj" from the header on is the object's own (only
            // digits and white space stand between). It ends a header that
            // begins before the body, so when no other "obj" comes before
            // the "endobj" the body holds no header (the common case, told
            // without reading the header again).
            const size_t own = heads_from.find([&e](int32_t h) { return h < e.hdr_pos; });
            if (own + 1 >= heads.size() || static_cast<int64_t>(heads[own + 1]) + 3 > stop) continue;
        }
        const int32_t from = body_start(t, len, e.hdr_pos);
        // next_header(t, len, from, stop), from the list of every "obj".
        int32_t first = -1;
        for (auto it = heads.begin() + static_cast<std::ptrdiff_t>(
                           heads_from.find([from](int32_t h) { return h < from; }));
             it != heads.end() && static_cast<int64_t>(*it) + 3 <= stop; ++it) {
            int32_t num = 0;
            const int32_t h = header_before(t, *it, &num);
            if (h >= from) {
                first = h;
                break;
            }
        }
        if (first < 0) continue;
        // Unless the reading below shows otherwise, the body ends at the
        // first header: so it does when the budget is spent, and when a
        // string stays open up to the "endobj" (a broken string, most likely
        // cut short by the damage that took the "endobj").
        int32_t cut = first;
        int32_t i = from;
        int32_t outside = -1;  // the first header outside strings and comments
        while (i < stop && budget > 0) {
            unsigned char c = t[i];
            if (c == '(') {
                open_literal open;
                int32_t j = skip_literal(t, i, stop, &open);
                budget -= j - i;
                if (open.depth > 0) break;
                i = j;
                continue;
            }
            if (c == '%') {
                int32_t j = i + 1;
                while (j < stop && t[j] != '\n' && t[j] != '\r') ++j;
                budget -= j - i;
                i = j;
                continue;
            }
            --budget;
            if (c == 'o' && kw_at(t, i, len, "obj")) {
                int32_t num = 0;
                int32_t h = header_before(t, i, &num);
                if (h >= from) {
                    outside = h;
                    break;
                }
            }
            ++i;
        }
        if (outside >= 0)
            cut = outside;
        else if (i >= stop)
            cut = stop;  // read to the end: every header in it was quoted
        e.endobj_pos = cut;
    }
}

// Whether an object's text holds the name /Catalog. `names` holds the
// positions of every /Catalog in the file. A range [dict_pos, endobj_pos)
// holds one exactly when some position in it leaves room for the name: a
// name cannot end right at an "endobj" keyword, since the keyword must
// follow a byte that is no letter. Ranges of damaged files may nest and
// overlap, so searching each range by itself could cost objects x file size.
bool text_has_catalog(const doc *d, const obj_entry &e, const std::vector<int32_t> &names) {
    if (e.in_objstm) return e.text_len > 7 && find_name(e.text, e.text_len, 0, e.text_len, "Catalog") >= 0;
    if (e.dict_pos < 0) return false;
    int32_t end = e.endobj_pos > 0 ? e.endobj_pos : d->len;
    auto it = std::lower_bound(names.begin(), names.end(), e.dict_pos);
    return it != names.end() && static_cast<int64_t>(*it) + 8 <= end;
}

}  // namespace

std::vector<char> dicts_allowed(const std::vector<obj_entry> &v, int32_t len, dict_budget &budget,
                                int64_t factor) {
    struct range_of {
        int64_t size;
        int32_t idx;
    };
    const int32_t count = static_cast<int32_t>(v.size());
    auto has_dict = [](const obj_entry &e) { return !e.in_objstm && e.is_stream && e.dict_pos >= 0; };
    auto size_of = [len](const obj_entry &e) {
        int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
        return static_cast<int64_t>(b) - e.dict_pos;
    };
    std::vector<char> ok(v.size(), 0);
    // When the budget covers every dictionary (every sound file), the
    // order does not matter: all are read, and neither the list of them
    // nor the sort is needed.
    int64_t total = 0;
    for (const obj_entry &e : v)
        if (has_dict(e)) total += factor * std::max<int64_t>(size_of(e), 0);
    if (total <= budget.left) {
        for (int32_t i = 0; i < count; ++i) ok[static_cast<size_t>(i)] = has_dict(v[i]);
        budget.left -= total;
        return ok;
    }
    std::vector<range_of> ranges;
    for (int32_t i = 0; i < count; ++i)
        if (has_dict(v[i])) ranges.push_back(range_of{size_of(v[i]), i});
    std::sort(ranges.begin(), ranges.end(), [](const range_of &a, const range_of &b) {
        return a.size != b.size ? a.size < b.size : a.idx < b.idx;
    });
    for (const range_of &r : ranges) ok[static_cast<size_t>(r.idx)] = budget.take(factor * r.size);
    return ok;
}

void find_objects(doc *d, int64_t dict_work, const std::vector<int32_t> *cuts) {
    std::vector<int32_t> heads;
    {
        object_scan found;
        lazy_endstreams endstreams(d->data, d->len);
        // The scan reads the /Length of the stream dictionaries when this
        // stage may read them all (as in every sound file).
        scan_objects(d, found, dict_work, cuts);
        dict_budget budget{dict_work};
        delimit_streams(d, found.endobjs, endstreams, budget, found.lengths);
        heads = std::move(found.heads);
    }
    remove_false_headers(d);
    end_runaway_bodies(d, heads);
}

void reduce_index(doc *d, const std::vector<char> &is_objstm) {
    std::vector<obj_entry> &v = d->obj_store;
    const int32_t count = static_cast<int32_t>(v.size());
    int32_t M = 0;
    for (const obj_entry &e : v)
        if (e.num <= kMaxObjNum && e.num > M) M = e.num;
    {
        std::vector<int32_t> plain(static_cast<size_t>(M) + 1, -1), member(static_cast<size_t>(M) + 1, -1);
        std::vector<char> objstm(static_cast<size_t>(count), 0);
        for (int32_t i = 0; i < count; ++i) {
            const obj_entry &e = v[i];
            if (e.num > M || e.num < 0) continue;
            if (e.in_objstm)
                member[e.num] = i;
            else if ((objstm[i] = static_cast<size_t>(i) < is_objstm.size() && is_objstm[static_cast<size_t>(i)]))
                continue;
            else
                plain[e.num] = i;
        }
        // The kept entries close up in place, in their order: the choice of
        // entry i reads only entry i and the tables of positions, and entry i
        // moves to a place at or before i, so no entry is overwritten before
        // it is read. (A second vector would hold the index twice at once,
        // the largest block of a big file's load.)
        d->max_num = 0;
        size_t kept = 0;
        for (int32_t i = 0; i < count; ++i) {
            const obj_entry &e = v[i];
            if (e.num > kMaxObjNum || e.num <= 0) continue;
            bool keep = e.in_objstm ? (plain[e.num] == -1 && member[e.num] == i)
                                    : (!objstm[i] && plain[e.num] == i);
            if (!keep) continue;
            if (e.num > d->max_num) d->max_num = e.num;
            if (kept != static_cast<size_t>(i)) v[kept] = e;
            ++kept;
        }
        v.resize(kept);
    }
    // Look-ups by number go through a table.
    d->num_index.assign(static_cast<size_t>(d->max_num) + 1, -1);
    for (size_t i = 0; i < v.size(); ++i)
        d->num_index[static_cast<size_t>(v[i].num)] = static_cast<int32_t>(i);
    doc_publish_objects(d);
}

int32_t find_page_tree(doc *d) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    if (d->root >= 0 && objvec_find(&d->objs, d->root)) {
        d->catalog = d->root;
    } else {
        d->catalog = 1;
        std::vector<int32_t> names;
        for (int32_t i = find_name(t, len, 0, len, "Catalog"); i >= 0;
             i = find_name(t, len, i + 1, len, "Catalog"))
            names.push_back(i);
        for (const obj_entry &e : d->obj_store) {
            if (text_has_catalog(d, e, names)) {
                d->catalog = e.num;
                break;
            }
        }
    }
    const obj_entry *cat = objvec_find(&d->objs, d->catalog);
    if (!cat) {
        set_error("catalog (obj %ld) has no /Pages reference", static_cast<long>(d->catalog));
        return -1;
    }
    int32_t tree = -1;
    int kind = obj_type(t, len, cat);
    if (kind == 1 || kind == 2) {
        tree = d->catalog;
    } else {
        const unsigned char *ct;
        int32_t cs, ce;
        if (cat->in_objstm) {
            ct = cat->text;
            cs = 0;
            ce = cat->text_len;
        } else if (cat->dict_pos >= 0) {
            ct = t;
            cs = cat->dict_pos;
            ce = cat->endobj_pos > 0 ? cat->endobj_pos : len;
        } else {
            ct = nullptr;
            cs = ce = 0;
        }
        if (ct) tree = first_name_int(ct, ce, cs, ce, "Pages", 1);
        if (tree <= 0) {
            set_error("catalog (obj %ld) has no /Pages reference", static_cast<long>(d->catalog));
            return -1;
        }
    }
    return tree;
}

}  // namespace sheetlay
