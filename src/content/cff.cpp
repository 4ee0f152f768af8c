// Compact font programs (/FontFile3 /Type1C, /CIDFontType0C): the tables
// that lead from a code, a glyph name or a CID to a glyph, and a Type 2
// charstring interpreter that follows a glyph's outline to its box.
//
// All offsets are checked against the program's length before use; INDEX
// counts only bound loops, never allocations beyond what the bytes can
// hold. Subroutine calls nest at most 10 deep and each glyph may run a
// bounded number of operators; a glyph that breaks any of this reads as
// unreadable (the caller then takes the font's whole box for it).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "content/fontprog.h"
#include "content/geom.h"

namespace sheetlay::content {

namespace {

constexpr int kMaxSubrDepth = 10;
constexpr int kMaxStack = 96;
constexpr int64_t kMaxOps = 50000;  // operators and operands per glyph

// One INDEX: `count` items whose data lie between offsets read on demand.
struct index {
    size_t start = 0, end = 0;  // the INDEX's own bytes
    uint32_t count = 0;
    uint32_t off_size = 0;
    size_t offsets = 0, base = 0;  // offset array; data start - 1
    bool ok = false;
};

class cff_font;

struct dict {
    std::map<int, std::vector<double>> ops;
    const std::vector<double> *get(int op) const {
        auto it = ops.find(op);
        return it == ops.end() ? nullptr : &it->second;
    }
    double num(int op, double def) const {
        const auto *v = get(op);
        return v && !v->empty() && std::isfinite(v->back()) ? v->back() : def;
    }
};

struct priv {
    index subrs;
    double default_w = 0, nominal_w = 0;
};

class cff_font : public font_program {
public:
    explicit cff_font(std::string d) : d_(std::move(d)) {}
    bool parse();
    void prepare() { prepare_glyphs(); }
    int32_t builtin_glyph(uint32_t code) const override {
        return code < 256 ? encoding_[code] : -1;
    }
    int32_t glyph_by_name(std::string_view name) const override {
        if (cid_keyed_) return -1;
        if (!names_done_) {
            // Names are needed only by fonts whose dictionary names glyphs:
            // sorted on first use, pointing into the program's strings.
            names_done_ = true;
            for (size_t g = 0; g < sid_of_.size(); ++g) {
                if (sid_of_[g] < 0) continue;
                const std::string_view nm = name_of(sid_of_[g]);
                if (!nm.empty()) by_name_.push_back({nm, static_cast<int32_t>(g)});
            }
            std::stable_sort(by_name_.begin(), by_name_.end(),
                             [](const auto &a, const auto &b) { return a.first < b.first; });
        }
        auto it = std::lower_bound(by_name_.begin(), by_name_.end(), name,
                                   [](const auto &a, std::string_view n) { return a.first < n; });
        return it != by_name_.end() && it->first == name ? it->second : -1;
    }
    int32_t glyph_by_cid(uint32_t cid) const override {
        if (!cid_keyed_) return font_program::glyph_by_cid(cid);
        return gid_of_sid(static_cast<int32_t>(std::min<uint32_t>(cid, 0x7fffffff)));
    }

protected:
    glyph_extent compute(int32_t gid, int64_t *ops) const override;

private:
    uint32_t u8(size_t p) const { return static_cast<unsigned char>(d_[p]); }
    bool have(size_t p, size_t n) const { return p <= d_.size() && n <= d_.size() - p; }
    uint32_t be(size_t p, uint32_t n) const {
        uint32_t v = 0;
        for (uint32_t k = 0; k < n; ++k) v = v << 8 | u8(p + k);
        return v;
    }
    index read_index(size_t p) const;
    bool item(const index &ix, uint32_t k, size_t *a, size_t *b) const;
    bool read_dict(size_t a, size_t b, dict *out) const;
    bool read_private(const dict &top, priv *out) const;
    std::string_view name_of(int32_t sid) const;
    bool read_charset(size_t off);
    void read_encoding(size_t off);
    int32_t gid_of_sid(int32_t sid) const {
        auto it = std::lower_bound(by_sid_.begin(), by_sid_.end(), std::pair<int32_t, int32_t>{sid, -1});
        return it != by_sid_.end() && it->first == sid ? it->second : -1;
    }
    friend class charstring;

    std::string d_;
    index strings_, gsubrs_, charstrings_;
    std::vector<priv> privs_;      // one, or one per FD
    std::vector<uint8_t> fd_of_;   // CID-keyed: glyph -> FD
    bool cid_keyed_ = false;
    std::vector<int32_t> sid_of_;  // glyph -> SID (CID when CID-keyed)
    std::vector<std::pair<int32_t, int32_t>> by_sid_;  // (SID, glyph), sorted; the first glyph wins
    mutable std::vector<std::pair<std::string_view, int32_t>> by_name_;
    mutable bool names_done_ = false;
    int32_t encoding_[256];
};

index cff_font::read_index(size_t p) const {
    index ix;
    ix.start = p;
    if (!have(p, 2)) return ix;
    ix.count = be(p, 2);
    if (ix.count == 0) {
        ix.end = p + 2;
        ix.ok = true;
        return ix;
    }
    if (!have(p, 3)) return ix;
    ix.off_size = u8(p + 2);
    if (ix.off_size < 1 || ix.off_size > 4) return ix;
    ix.offsets = p + 3;
    const size_t table = (static_cast<size_t>(ix.count) + 1) * ix.off_size;
    if (!have(ix.offsets, table)) return ix;
    ix.base = ix.offsets + table - 1;
    const size_t last = be(ix.offsets + table - ix.off_size, ix.off_size);
    if (last < 1 || !have(ix.base, last) || !have(ix.base + 1, last - 1)) return ix;
    ix.end = ix.base + last;
    ix.ok = true;
    return ix;
}

bool cff_font::item(const index &ix, uint32_t k, size_t *a, size_t *b) const {
    if (!ix.ok || k >= ix.count) return false;
    const size_t o0 = be(ix.offsets + static_cast<size_t>(k) * ix.off_size, ix.off_size);
    const size_t o1 = be(ix.offsets + (static_cast<size_t>(k) + 1) * ix.off_size, ix.off_size);
    if (o0 < 1 || o1 < o0 || ix.base + o1 > ix.end) return false;
    *a = ix.base + o0;
    *b = ix.base + o1;
    return true;
}

bool cff_font::read_dict(size_t a, size_t b, dict *out) const {
    std::vector<double> st;
    size_t p = a;
    while (p < b) {
        const uint32_t c = u8(p);
        if (c <= 21) {
            int op = static_cast<int>(c);
            ++p;
            if (c == 12) {
                if (p >= b) return false;
                op = 1200 + static_cast<int>(u8(p++));
            }
            out->ops[op] = st;
            st.clear();
            continue;
        }
        if (st.size() >= 48) return false;
        if (c == 28) {
            if (p + 3 > b) return false;
            st.push_back(static_cast<int16_t>(be(p + 1, 2)));
            p += 3;
        } else if (c == 29) {
            if (p + 5 > b) return false;
            st.push_back(static_cast<int32_t>(be(p + 1, 4)));
            p += 5;
        } else if (c == 30) {
            // A real, as nibbles: digits, '.', 'E', 'E-', '-', end.
            std::string s;
            ++p;
            bool end = false;
            while (p < b && !end && s.size() < 64) {
                const uint32_t byte = u8(p++);
                for (uint32_t n : {byte >> 4, byte & 15}) {
                    if (n <= 9) s += static_cast<char>('0' + n);
                    else if (n == 0xa) s += '.';
                    else if (n == 0xb) s += 'E';
                    else if (n == 0xc) s += "E-";
                    else if (n == 0xe) s += '-';
                    else if (n == 0xf) { end = true; break; }
                    else return false;
                }
            }
            if (!end) return false;
            char *e = nullptr;
            const double v = std::strtod(s.c_str(), &e);
            st.push_back(e && *e == 0 && std::isfinite(v) ? v : 0);
        } else if (c >= 32 && c <= 246) {
            st.push_back(static_cast<int>(c) - 139);
            ++p;
        } else if (c >= 247 && c <= 254) {
            if (p + 2 > b) return false;
            const int w = static_cast<int>(u8(p + 1));
            st.push_back(c <= 250 ? (static_cast<int>(c) - 247) * 256 + w + 108
                                  : -(static_cast<int>(c) - 251) * 256 - w - 108);
            p += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool cff_font::read_private(const dict &top, priv *out) const {
    const auto *pv = top.get(18);
    if (!pv || pv->size() != 2) return true;  // no Private: no local subrs
    const double size = (*pv)[0], off = (*pv)[1];
    if (!(size >= 0 && off >= 0 && off <= static_cast<double>(d_.size()) &&
          size <= static_cast<double>(d_.size()) - off))
        return false;
    const size_t a = static_cast<size_t>(off), b = a + static_cast<size_t>(size);
    dict pd;
    if (!read_dict(a, b, &pd)) return false;
    out->default_w = pd.num(20, 0);
    out->nominal_w = pd.num(21, 0);
    const double s = pd.num(19, -1);
    if (s > 0 && s <= static_cast<double>(d_.size() - a)) {
        out->subrs = read_index(a + static_cast<size_t>(s));
        if (!out->subrs.ok) return false;
    }
    return true;
}

std::string_view cff_font::name_of(int32_t sid) const {
    if (sid < 391) return cff_standard_name(sid);
    size_t a = 0, b = 0;
    if (!item(strings_, static_cast<uint32_t>(sid - 391), &a, &b)) return {};
    return std::string_view(d_).substr(a, b - a);
}

bool cff_font::read_charset(size_t off) {
    const uint32_t n = static_cast<uint32_t>(count_);
    sid_of_.assign(n, -1);
    if (n) sid_of_[0] = 0;
    if (off == 0) {
        for (uint32_t g = 1; g < n && g <= 228; ++g) sid_of_[g] = static_cast<int32_t>(g);
    } else if (off <= 2) {
        return !cid_keyed_;  // expert sets: names unknown, glyphs still readable
    } else {
        size_t p = off;
        if (!have(p, 1)) return false;
        const uint32_t fmt = u8(p++);
        uint32_t g = 1;
        if (fmt == 0) {
            for (; g < n; ++g, p += 2) {
                if (!have(p, 2)) return false;
                sid_of_[g] = static_cast<int32_t>(be(p, 2));
            }
        } else if (fmt == 1 || fmt == 2) {
            const uint32_t nl = fmt == 1 ? 1 : 2;
            while (g < n) {
                if (!have(p, 2 + nl)) return false;
                const uint32_t first = be(p, 2), left = be(p + 2, nl);
                p += 2 + nl;
                for (uint32_t k = 0; k <= left && g < n; ++k) sid_of_[g++] = static_cast<int32_t>(first + k);
            }
        } else {
            return false;
        }
    }
    by_sid_.reserve(n);
    for (uint32_t g = 0; g < n; ++g)
        if (sid_of_[g] >= 0) by_sid_.push_back({sid_of_[g], static_cast<int32_t>(g)});
    std::sort(by_sid_.begin(), by_sid_.end());
    return true;
}

void cff_font::read_encoding(size_t off) {
    std::fill(encoding_, encoding_ + 256, -1);
    if (cid_keyed_) return;
    if (off == 0) {
        for (uint32_t c = 0; c < 256; ++c)
            if (const int32_t sid = standard_encoding_sid(c)) encoding_[c] = gid_of_sid(sid);
        return;
    }
    if (off == 1) return;  // expert encoding: not read (codes fall back)
    size_t p = off;
    if (!have(p, 2)) return;
    const uint32_t fmt = u8(p++);
    const uint32_t n = u8(p++);
    int32_t g = 1;
    if ((fmt & 0x7f) == 0) {
        if (!have(p, n)) return;
        for (uint32_t k = 0; k < n; ++k, ++g)
            if (g < count_) encoding_[u8(p + k)] = g;
        p += n;
    } else if ((fmt & 0x7f) == 1) {
        if (!have(p, 2 * static_cast<size_t>(n))) return;
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t first = u8(p + 2 * k), left = u8(p + 2 * k + 1);
            for (uint32_t c = first; c <= first + left && c < 256; ++c, ++g)
                if (g < count_) encoding_[c] = g;
        }
        p += 2 * static_cast<size_t>(n);
    } else {
        return;
    }
    if (fmt & 0x80) {
        if (!have(p, 1)) return;
        const uint32_t ns = u8(p++);
        if (!have(p, 3 * static_cast<size_t>(ns))) return;
        for (uint32_t k = 0; k < ns; ++k)
            encoding_[u8(p + 3 * k)] = gid_of_sid(static_cast<int32_t>(be(p + 3 * k + 1, 2)));
    }
}

bool cff_font::parse() {
    if (!have(0, 4) || u8(0) != 1) return false;
    const index names = read_index(u8(2));
    if (!names.ok) return false;
    const index tops = read_index(names.end);
    if (!tops.ok) return false;
    strings_ = read_index(tops.end);
    if (!strings_.ok) return false;
    gsubrs_ = read_index(strings_.end);
    if (!gsubrs_.ok) return false;
    size_t a = 0, b = 0;
    dict top;
    if (!item(tops, 0, &a, &b) || !read_dict(a, b, &top)) return false;
    if (top.num(1206, 2) != 2) return false;  // Type 1 charstrings inside CFF: not read
    const double cs = top.num(17, -1);
    if (!(cs > 0 && cs < static_cast<double>(d_.size()))) return false;
    charstrings_ = read_index(static_cast<size_t>(cs));
    if (!charstrings_.ok || charstrings_.count == 0) return false;
    count_ = static_cast<int32_t>(charstrings_.count);
    if (const auto *m = top.get(1207); m && m->size() == 6) {
        for (size_t k = 0; k < 6; ++k) fm[k] = (*m)[k];
        for (double v : fm)
            if (!std::isfinite(v) || std::fabs(v) > 1e3) return false;
    }
    cid_keyed_ = top.get(1230) != nullptr;
    if (cid_keyed_) {
        const double fa = top.num(1236, -1), fs = top.num(1237, -1);
        if (!(fa > 0 && fa < static_cast<double>(d_.size()) && fs > 0 && fs < static_cast<double>(d_.size())))
            return false;
        const index fds = read_index(static_cast<size_t>(fa));
        if (!fds.ok || fds.count == 0 || fds.count > 256) return false;
        for (uint32_t k = 0; k < fds.count; ++k) {
            dict fd;
            priv pv;
            if (!item(fds, k, &a, &b) || !read_dict(a, b, &fd) || !read_private(fd, &pv)) return false;
            privs_.push_back(pv);
        }
        size_t p = static_cast<size_t>(fs);
        fd_of_.assign(static_cast<size_t>(count_), 0);
        if (!have(p, 1)) return false;
        const uint32_t fmt = u8(p++);
        if (fmt == 0) {
            if (!have(p, static_cast<size_t>(count_))) return false;
            for (int32_t g = 0; g < count_; ++g) fd_of_[static_cast<size_t>(g)] = static_cast<uint8_t>(u8(p + static_cast<size_t>(g)));
        } else if (fmt == 3) {
            if (!have(p, 2)) return false;
            const uint32_t nr = be(p, 2);
            p += 2;
            if (!have(p, 3 * static_cast<size_t>(nr) + 2)) return false;
            uint32_t end = 0;  // ranges follow each other: work stays within the glyph count
            for (uint32_t k = 0; k < nr; ++k) {
                const uint32_t first = be(p + 3 * k, 2), fd = u8(p + 3 * k + 2);
                const uint32_t next = be(p + 3 * k + 3, 2);
                if (first < end || next < first) return false;
                end = next;
                for (uint32_t g = first; g < next && g < static_cast<uint32_t>(count_); ++g) fd_of_[g] = static_cast<uint8_t>(fd);
            }
        } else {
            return false;
        }
        for (uint8_t fd : fd_of_)
            if (fd >= privs_.size()) return false;
    } else {
        priv pv;
        if (!read_private(top, &pv)) return false;
        privs_.push_back(pv);
    }
    const double cso = top.num(15, 0);
    if (!(cso >= 0 && cso < static_cast<double>(d_.size()))) return false;
    if (!read_charset(static_cast<size_t>(cso))) return false;
    const double eo = top.num(16, 0);
    if (eo >= 0 && eo < static_cast<double>(d_.size())) read_encoding(static_cast<size_t>(eo));
    else std::fill(encoding_, encoding_ + 256, -1);
    return true;
}

int32_t bias(uint32_t n) { return n < 1240 ? 107 : n < 33900 ? 1131 : 32768; }

// One glyph's Type 2 charstring, run to collect its outline's box.
class charstring {
public:
    charstring(const cff_font &f, const priv &p) : f_(f), p_(p) {}
    bool run(int32_t gid, int depth_of_seac);
    int64_t ops() const { return ops_ + seac_ops_; }
    glyph_extent out;

private:
    bool exec(size_t a, size_t b, int depth);
    void point(double x, double y) {
        if (!drawn_) {
            out.x0 = out.x1 = x;
            out.y0 = out.y1 = y;
            drawn_ = true;
        }
        out.x0 = std::min(out.x0, x);
        out.x1 = std::max(out.x1, x);
        out.y0 = std::min(out.y0, y);
        out.y1 = std::max(out.y1, y);
    }
    void line(double dx, double dy) {
        point(x_, y_);
        x_ += dx;
        y_ += dy;
        point(x_, y_);
    }
    void curve(double dx1, double dy1, double dx2, double dy2, double dx3, double dy3);
    void take_width(bool extra) {
        if (width_done_) return;
        width_done_ = true;
        out.width = extra && n_ > 0 ? p_.nominal_w + s_[0] : p_.default_w;
    }
    void shift(int k) {  // drops the first k operands
        std::memmove(s_, s_ + k, sizeof(double) * static_cast<size_t>(n_ - k));
        n_ -= k;
    }

    const cff_font &f_;
    const priv &p_;
    double s_[kMaxStack];
    int n_ = 0;
    double x_ = 0, y_ = 0;
    int stems_ = 0;
    bool width_done_ = false, drawn_ = false, ended_ = false;
    int64_t ops_ = 0, seac_ops_ = 0;
    int seac_ = 0;
};

void charstring::curve(double dx1, double dy1, double dx2, double dy2, double dx3, double dy3) {
    const double x0 = x_, y0 = y_, x1 = x0 + dx1, y1 = y0 + dy1, x2 = x1 + dx2, y2 = y1 + dy2,
                 x3 = x2 + dx3, y3 = y2 + dy3;
    point(x0, y0);
    point(x3, y3);
    x_ = x3;
    y_ = y3;
    // A curve whose control points lie within the box so far stays in it.
    if (std::min(x1, x2) >= out.x0 && std::max(x1, x2) <= out.x1 && std::min(y1, y2) >= out.y0 &&
        std::max(y1, y2) <= out.y1)
        return;
    auto at = [&](double t) { point(cubic_at(x0, x1, x2, x3, t), cubic_at(y0, y1, y2, y3, t)); };
    cubic_turns(x0, x1, x2, x3, at);
    cubic_turns(y0, y1, y2, y3, at);
}

bool charstring::run(int32_t gid, int seac) {
    size_t a = 0, b = 0;
    if (!f_.item(f_.charstrings_, static_cast<uint32_t>(gid), &a, &b)) return false;
    seac_ = seac;
    out.width = std::nan("");
    if (!exec(a, b, 0)) return false;
    if (!ended_) return false;
    out.status = drawn_ ? glyph_status::drawn : glyph_status::blank;
    return true;
}

bool charstring::exec(size_t a, size_t b, int depth) {
    if (depth > kMaxSubrDepth) return false;
    const std::string &d = f_.d_;
    size_t p = a;
    while (p < b) {
        if (++ops_ > kMaxOps) return false;
        const uint32_t c = static_cast<unsigned char>(d[p]);
        // Operands.
        if (c == 28 || c >= 32) {
            if (n_ >= kMaxStack) return false;
            if (c == 28) {
                if (p + 3 > b) return false;
                s_[n_++] = static_cast<int16_t>(f_.be(p + 1, 2));
                p += 3;
            } else if (c <= 246) {
                s_[n_++] = static_cast<int>(c) - 139;
                ++p;
            } else if (c <= 254) {
                if (p + 2 > b) return false;
                const int w = static_cast<int>(f_.u8(p + 1));
                s_[n_++] = c <= 250 ? (static_cast<int>(c) - 247) * 256 + w + 108
                                    : -(static_cast<int>(c) - 251) * 256 - w - 108;
                p += 2;
            } else {
                if (p + 5 > b) return false;
                s_[n_++] = static_cast<int32_t>(f_.be(p + 1, 4)) / 65536.0;
                p += 5;
            }
            continue;
        }
        ++p;
        switch (c) {
        case 1: case 3: case 18: case 23:  // stems
            take_width(n_ % 2 == 1);
            stems_ += n_ / 2;
            n_ = 0;
            break;
        case 19: case 20:  // hintmask, cntrmask: pending operands are vertical stems
            take_width(n_ % 2 == 1);
            stems_ += n_ / 2;
            n_ = 0;
            p += static_cast<size_t>((stems_ + 7) / 8);
            if (p > b) return false;
            break;
        case 21:  // rmoveto
            take_width(n_ > 2);
            if (n_ > 2) shift(n_ - 2);
            if (n_ < 2) return false;
            x_ += s_[0];
            y_ += s_[1];
            n_ = 0;
            break;
        case 22: case 4:  // hmoveto, vmoveto
            take_width(n_ > 1);
            if (n_ > 1) shift(n_ - 1);
            if (n_ < 1) return false;
            (c == 22 ? x_ : y_) += s_[0];
            n_ = 0;
            break;
        case 5:  // rlineto
            for (int k = 0; k + 1 < n_; k += 2) line(s_[k], s_[k + 1]);
            n_ = 0;
            break;
        case 6: case 7: {  // hlineto, vlineto: alternate
            bool h = c == 6;
            for (int k = 0; k < n_; ++k, h = !h) h ? line(s_[k], 0) : line(0, s_[k]);
            n_ = 0;
            break;
        }
        case 8:  // rrcurveto
            for (int k = 0; k + 5 < n_; k += 6) curve(s_[k], s_[k + 1], s_[k + 2], s_[k + 3], s_[k + 4], s_[k + 5]);
            n_ = 0;
            break;
        case 24: {  // rcurveline
            int k = 0;
            for (; k + 5 < n_ - 2; k += 6) curve(s_[k], s_[k + 1], s_[k + 2], s_[k + 3], s_[k + 4], s_[k + 5]);
            if (k + 1 < n_) line(s_[k], s_[k + 1]);
            n_ = 0;
            break;
        }
        case 25: {  // rlinecurve
            int k = 0;
            for (; k + 1 < n_ - 6; k += 2) line(s_[k], s_[k + 1]);
            if (k + 5 < n_) curve(s_[k], s_[k + 1], s_[k + 2], s_[k + 3], s_[k + 4], s_[k + 5]);
            n_ = 0;
            break;
        }
        case 26: {  // vvcurveto
            int k = 0;
            double dx1 = 0;
            if (n_ % 2 == 1) dx1 = s_[k++];
            for (; k + 3 < n_; k += 4, dx1 = 0) curve(dx1, s_[k], s_[k + 1], s_[k + 2], 0, s_[k + 3]);
            n_ = 0;
            break;
        }
        case 27: {  // hhcurveto
            int k = 0;
            double dy1 = 0;
            if (n_ % 2 == 1) dy1 = s_[k++];
            for (; k + 3 < n_; k += 4, dy1 = 0) curve(s_[k], dy1, s_[k + 1], s_[k + 2], s_[k + 3], 0);
            n_ = 0;
            break;
        }
        case 30: case 31: {  // vhcurveto, hvcurveto: alternate, last may end off-axis
            bool h = c == 31;
            for (int k = 0; k + 3 < n_; k += 4, h = !h) {
                const double last = (n_ - k == 5) ? s_[k + 4] : 0;
                if (h) curve(s_[k], 0, s_[k + 1], s_[k + 2], last, s_[k + 3]);
                else curve(0, s_[k], s_[k + 1], s_[k + 2], s_[k + 3], last);
            }
            n_ = 0;
            break;
        }
        case 10: case 29: {  // callsubr, callgsubr
            if (n_ < 1) return false;
            const index &ix = c == 10 ? p_.subrs : f_.gsubrs_;
            const double k = s_[--n_] + bias(ix.count);
            if (!(k >= 0 && k < static_cast<double>(ix.count))) return false;
            size_t sa = 0, sb = 0;
            if (!f_.item(ix, static_cast<uint32_t>(k), &sa, &sb)) return false;
            if (!exec(sa, sb, depth + 1)) return false;
            if (ended_) return true;
            break;
        }
        case 11:  // return
            return true;
        case 14: {  // endchar, with four operands an accented character
            take_width(n_ == 1 || n_ == 5);
            if (n_ == 5) shift(1);
            if (n_ >= 4) {
                if (seac_ > 0) return false;
                const int32_t base = f_.gid_of_sid(standard_encoding_sid(static_cast<uint32_t>(std::clamp(s_[2], 0.0, 255.0))));
                const int32_t accent = f_.gid_of_sid(standard_encoding_sid(static_cast<uint32_t>(std::clamp(s_[3], 0.0, 255.0))));
                const double adx = s_[0], ady = s_[1];
                if (base < 0 || accent < 0) return false;
                for (int k = 0; k < 2; ++k) {
                    charstring part(f_, p_);
                    const bool read = part.run(k == 0 ? base : accent, 1);
                    seac_ops_ += part.ops();
                    if (!read) return false;
                    if (part.out.status != glyph_status::drawn) continue;
                    const double ox = k == 0 ? 0 : adx, oy = k == 0 ? 0 : ady;
                    point(part.out.x0 + ox, part.out.y0 + oy);
                    point(part.out.x1 + ox, part.out.y1 + oy);
                }
            }
            n_ = 0;
            ended_ = true;
            return true;
        }
        case 12: {
            if (p >= b) return false;
            const uint32_t e = f_.u8(p++);
            double *s = s_;
            switch (e) {
            case 35:  // flex
                if (n_ < 13) return false;
                curve(s[0], s[1], s[2], s[3], s[4], s[5]);
                curve(s[6], s[7], s[8], s[9], s[10], s[11]);
                break;
            case 34:  // hflex
                if (n_ < 7) return false;
                curve(s[0], 0, s[1], s[2], s[3], 0);
                curve(s[4], 0, s[5], -s[2], s[6], 0);
                break;
            case 36:  // hflex1
                if (n_ < 9) return false;
                curve(s[0], s[1], s[2], s[3], s[4], 0);
                curve(s[5], 0, s[6], s[7], s[8], -(s[1] + s[3] + s[7]));
                break;
            case 37: {  // flex1
                if (n_ < 11) return false;
                const double sx = s[0] + s[2] + s[4] + s[6] + s[8], sy = s[1] + s[3] + s[5] + s[7] + s[9];
                const bool horiz = std::fabs(sx) > std::fabs(sy);
                curve(s[0], s[1], s[2], s[3], s[4], s[5]);
                curve(s[6], s[7], s[8], s[9], horiz ? s[10] : -sx, horiz ? -sy : s[10]);
                break;
            }
            case 0:  // dotsection (old): nothing
                break;
            default:
                return false;  // arithmetic and storage: not followed
            }
            n_ = 0;
            break;
        }
        default:
            return false;
        }
    }
    // Running off the end of a subroutine returns from it; off the end of
    // the glyph leaves it unfinished (checked by the caller).
    return true;
}

glyph_extent cff_font::compute(int32_t gid, int64_t *ops) const {
    const size_t fd = cid_keyed_ && static_cast<size_t>(gid) < fd_of_.size() ? fd_of_[static_cast<size_t>(gid)] : 0;
    if (fd >= privs_.size()) return {};
    charstring cs(*this, privs_[fd]);
    const bool ok = cs.run(gid, 0);
    *ops = cs.ops();
    if (!ok) return {};
    glyph_extent e = cs.out;
    for (double v : {e.x0, e.y0, e.x1, e.y1})
        if (!std::isfinite(v)) return {};
    return e;
}

}  // namespace

std::unique_ptr<font_program> read_cff(std::string data) {
    auto f = std::make_unique<cff_font>(std::move(data));
    if (!f->parse()) return nullptr;
    f->prepare();
    return f;
}

}  // namespace sheetlay::content
