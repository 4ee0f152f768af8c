// The content interpreter (see bbox.h): graphics state, paths, clipping,
// colour (as far as white or not), text, images, shadings, forms and Type 3
// glyphs, each reduced to the box it inks.
//
// Coordinates are taken to device space (the space of the outermost
// stream) as paths are built, so that a box is a plain min/max there.
// The clip is kept as a box too: the box around the true clip path, which
// only ever lets more count, never less.
//
// Names the stream selects resources by (fonts, colour spaces, graphics
// states, shadings, XObjects) are resolved in resources.cpp; the operator
// loop and the path code stay together here, in one unit, since they are
// the hot part and share the path's structures.
#include "content/geom.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include "content/bounds.h"
#include "content/fonts.h"
#include "content/resources.h"
#include "content/tokens.h"

namespace sheetlay::content {

namespace {

using pdf::value;

struct gstate {
    mat ctm;
    box clip;
    double lw = 1, ml = 10;
    int lj = 0, lc = 0;
    space fcs = space::gray, scs = space::gray;
    bool fwhite = false, swhite = false;
    const font_info *font = nullptr;
    double tfs = 0, tc = 0, tw = 0, th = 1, tl = 0, rise = 0;
    int tr = 0;
};




struct pt {
    double x, y;
};

// One piece of the current path, in device space: its ends and the
// directions it leaves its start and reaches its end in.
struct seg {
    pt p0, p1, t0, t1;
};

struct subpath {
    size_t first = 0, count = 0;
    bool closed = false;
};

pt unit(pt v) {
    double l = std::sqrt(v.x * v.x + v.y * v.y);  // hypot only where the squares overflow
    if (!std::isfinite(l)) l = std::hypot(v.x, v.y);
    if (!(l > 1e-12)) return {0, 0};
    return {v.x / l, v.y / l};
}

// What text shows in when no font is selected: advances of a full em over
// the font's whole default height.
const font_info kNoFont;

// Runs of text longer than this are mapped string by string (a bound on
// how far the text matrix can drift by rounding from where the run's
// bound puts it).
constexpr size_t kMaxRun = 4096;

class interp {
public:
    interp(source &src, const limits &lim) : src_(src), lim_(lim), work_(lim.work), names_(src) {}

    box run(const unsigned char *t, size_t len, const value *res, gstate gs, int depth);

private:
    // Memoised sub-streams (forms, Type 3 glyphs): their ink in their own
    // space, drawn with the given state.
    box sub_stream(int32_t num, const value *res, const box &clip, const gstate &gs, int depth);

    void ink(box *out, const box &b, const gstate &gs) {
        if (b.empty()) return;
        box c = usable(b) ? b : unbounded();
        c.clip(gs.clip);
        out->add(c);
    }

    source &src_;
    const limits &lim_;
    int64_t work_;
    resource_names names_;  // fonts, colour spaces and other entries by name
    std::map<std::tuple<int32_t, bool, bool, double, const font_info *, double, int>, box> memo_;
    std::set<int32_t> active_;
    // The strings of one run of text (show_run): each one's extent in its
    // own text space, and the text matrix it was shown with.
    struct piece {
        box ext;
        mat tm;
    };
    std::vector<piece> pieces_;
    friend struct runner;
};

box interp::sub_stream(int32_t num, const value *res, const box &clip, const gstate &gs, int depth) {
    auto key = std::make_tuple(num, gs.fwhite, gs.swhite, gs.lw, gs.font, gs.tfs, gs.tr);
    auto hit = memo_.find(key);
    if (hit != memo_.end()) return hit->second;
    if (depth >= lim_.form_depth || active_.count(num)) throw stop{};
    std::string data;
    box out;
    if (!src_.stream_data(num, &data)) {
        out = clip;  // cannot see through it: all of it may be ink
    } else {
        gstate inner = gs;
        inner.ctm = mat{};
        inner.clip = clip;
        active_.insert(num);
        out = run(reinterpret_cast<const unsigned char *>(data.data()), data.size(), res, inner, depth + 1);
        active_.erase(num);
    }
    memo_[key] = out;
    return out;
}


// One stream's operators. Returns the ink in the stream's device space.
box interp::run(const unsigned char *t, size_t len, const value *res, gstate gs, int depth) {
    pdf::resolver *r = src_.objects();
    token_reader rd(t, len, lim_.operands, &work_);
    std::vector<gstate> stack;
    box out;

    // The current path.
    box pbox;
    std::vector<seg> segs;
    std::vector<subpath> subs;
    pt cur{0, 0}, start{0, 0};  // in device space
    bool have_cur = false, pending_clip = false;
    auto dev = [&](double x, double y) {
        const mat &m = gs.ctm;
        return pt{m.a * x + m.c * y + m.e, m.b * x + m.d * y + m.f};
    };
    auto move_to = [&](pt p) {
        subs.push_back({segs.size(), 0, false});
        cur = start = p;
        have_cur = true;
        pbox.add(p.x, p.y);
    };
    auto line_to = [&](pt p) {
        if (!have_cur) move_to(p);
        if (subs.empty()) subs.push_back({segs.size(), 0, false});
        pt d{p.x - cur.x, p.y - cur.y};
        segs.push_back({cur, p, d, d});
        ++subs.back().count;
        pbox.add(p.x, p.y);
        cur = p;
    };
    auto curve_to = [&](pt p1, pt p2, pt p3) {
        if (!have_cur) move_to(p1);
        if (subs.empty()) subs.push_back({segs.size(), 0, false});
        const pt p0 = cur;
        add_cubic_turns(&pbox, p0.x, p0.y, p1.x, p1.y, p2.x, p2.y, p3.x, p3.y);
        pbox.add(p3.x, p3.y);
        // Tangents at the ends: toward the nearest distinct control point.
        pt t0{p1.x - p0.x, p1.y - p0.y};
        if (t0.x == 0 && t0.y == 0) t0 = {p2.x - p0.x, p2.y - p0.y};
        if (t0.x == 0 && t0.y == 0) t0 = {p3.x - p0.x, p3.y - p0.y};
        pt t1{p3.x - p2.x, p3.y - p2.y};
        if (t1.x == 0 && t1.y == 0) t1 = {p3.x - p1.x, p3.y - p1.y};
        if (t1.x == 0 && t1.y == 0) t1 = {p3.x - p0.x, p3.y - p0.y};
        segs.push_back({p0, p3, t0, t1});
        ++subs.back().count;
        cur = p3;
    };
    auto close = [&] {
        if (subs.empty() || !have_cur) return;
        if (cur.x != start.x || cur.y != start.y) line_to(start);
        subs.back().closed = true;
        cur = start;
    };
    // The stroke of the path: its box grown by half the line width as the
    // matrix stretches it along each axis, with the tips of mitred corners
    // and of projecting caps, which reach further.
    auto stroke_box = [&] {
        const mat &m = gs.ctm;
        const double hw = std::fabs(gs.lw) / 2;
        // The square root of the sum of squares, hypot (several times
        // slower) only where the squares overflow.
        auto norm = [](double x, double y) {
            const double n = std::sqrt(x * x + y * y);
            return std::isfinite(n) ? n : std::hypot(x, y);
        };
        const double ex = hw * norm(m.a, m.c), ey = hw * norm(m.b, m.d);
        box b = pbox;
        if (b.empty()) return b;
        b.x0 -= ex;
        b.x1 += ex;
        b.y0 -= ey;
        b.y1 += ey;
        const double rd = hw * std::max(norm(m.a, m.b), norm(m.c, m.d));
        if (!(rd > 0)) return b;
        auto join = [&](pt v, pt in, pt outd) {
            if (gs.lj != 0) return;
            const pt u = unit(in), w = unit(outd);
            const double cosang = -(u.x * w.x + u.y * w.y);  // between the two arms
            const double s = std::sqrt(std::max(0.0, (1 - cosang) / 2));
            if (!(s > 1e-9)) return;
            const double ratio = 1 / s;
            if (ratio > gs.ml) return;  // bevelled instead
            const pt dir = unit({u.x - w.x, u.y - w.y});
            b.add(v.x + dir.x * rd * ratio, v.y + dir.y * rd * ratio);
        };
        auto cap = [&](pt v, pt d) {
            if (gs.lc != 2) return;
            const pt u = unit(d);
            const pt nrm{-u.y, u.x};
            for (double s : {-1.0, 1.0}) b.add(v.x + (u.x + s * nrm.x) * rd, v.y + (u.y + s * nrm.y) * rd);
        };
        for (const subpath &sp : subs) {
            if (sp.count == 0) continue;
            for (size_t k = sp.first; k + 1 < sp.first + sp.count; ++k) join(segs[k].p1, segs[k].t1, segs[k + 1].t0);
            const seg &a = segs[sp.first], &z = segs[sp.first + sp.count - 1];
            if (sp.closed) {
                join(z.p1, z.t1, a.t0);
            } else {
                cap(a.p0, {-a.t0.x, -a.t0.y});
                cap(z.p1, z.t1);
            }
        }
        return b;
    };
    auto paint = [&](bool fill, bool stroke) {
        if (fill && !gs.fwhite) ink(&out, pbox, gs);
        if (stroke && !gs.swhite && !stroke_adds_nothing(pbox, gs.ctm, gs.lw, gs.lj, gs.ml, gs.lc, gs.clip, out)) ink(&out, stroke_box(), gs);
        if (pending_clip && usable(pbox)) gs.clip.clip(pbox);
        pending_clip = false;
        pbox = box{};
        segs.clear();
        subs.clear();
        have_cur = false;
    };

    // Text.
    mat tm, tlm;
    box text_clip;
    bool text_clips = false;
    auto text_ink = [&](const box &b) {
        const int mode = gs.tr;
        bool inked = false;
        if ((mode == 0 || mode == 4) && !gs.fwhite) inked = true;
        if ((mode == 1 || mode == 5) && !gs.swhite) inked = true;
        if ((mode == 2 || mode == 6) && (!gs.fwhite || !gs.swhite)) inked = true;
        if (inked) ink(&out, b, gs);
        if (mode >= 4) {
            text_clip.add(usable(b) ? b : unbounded());
            text_clips = true;
        }
    };
    auto show = [&](const value &s) {
        if (!s.is_string()) return;
        const font_info *f = gs.font;
        if (!f) f = &kNoFont;
        const std::string &bytes = s.s;
        const size_t step = static_cast<size_t>(f->bytes);
        work_ -= static_cast<int64_t>(bytes.size());
        if (work_ < 0) throw stop{};
        const double size = gs.tfs, th = gs.th;
        // Glyph positions along the baseline, and the glyphs' box, in text space.
        double pos = 0;
        double ext[4] = {1, 1, 0, 0};
        const mat base = mul(tm, gs.ctm);
        for (size_t k = 0; k + step <= bytes.size(); k += step) {
            uint32_t code = static_cast<unsigned char>(bytes[k]);
            if (step == 2) code = code << 8 | static_cast<unsigned char>(bytes[k + 1]);
            double w0 = f->width(code) / 1000;
            if (f->type3) {
                w0 = f->width(code) * f->fm[0];
                auto name = f->names.find(static_cast<int>(code));
                const value *procs = f->charprocs;
                const value *proc = name != f->names.end() && procs ? procs->get(name->second) : nullptr;
                if (proc && proc->is_ref() && proc->i > 0 && proc->i <= INT32_MAX) {
                    const mat fm{f->fm[0], f->fm[1], f->fm[2], f->fm[3], f->fm[4], f->fm[5]};
                    const mat place = mul(mul(fm, mat{size * th, 0, 0, size, pos, gs.rise}), base);
                    gstate g = gs;
                    box glyph = sub_stream(static_cast<int32_t>(proc->i),
                                           f->resources ? f->resources : res, unbounded(), g, depth);
                    const box b = map_box(glyph, place);
                    const int mode = gs.tr;
                    if (mode != 3 && mode != 7) ink(&out, b, gs);
                    if (mode >= 4) {
                        text_clip.add(b);
                        text_clips = true;
                    }
                }
            } else if (!f->vertical) {
                horizontal_glyph(*f, code, pos, w0, size, th, gs.rise, ext);
            } else {
                const double y = pos;
                box g{(-w0 / 2) * size * th, y + (f->lo - f->vy / 1000) * size, (w0 / 2) * size * th,
                      y + (f->hi - f->vy / 1000) * size};
                if (g.x0 > g.x1) std::swap(g.x0, g.x1);
                if (g.y0 > g.y1) std::swap(g.y0, g.y1);
                text_ink(map_box(g, base));
            }
            const double spacing = gs.tc + (step == 1 && code == 32 ? gs.tw : 0);
            if (f->vertical) pos += f->vadv / 1000 * size + spacing;
            else pos += (w0 * size + spacing) * th;
        }
        if (ext[0] <= ext[2]) text_ink(map_box(box{ext[0], ext[1], ext[2], ext[3]}, base));
        if (f->vertical) tm = mul(mat{1, 0, 0, 1, 0, pos}, tm);
        else tm = mul(mat{1, 0, 0, 1, pos, 0}, tm);
    };
    auto adjust = [&](double n) {
        const double d = -n / 1000 * gs.tfs;
        if (gs.font && gs.font->vertical) tm = mul(mat{1, 0, 0, 1, 0, d}, tm);
        else tm = mul(mat{1, 0, 0, 1, d * gs.th, 0}, tm);
    };
    // One showing operator's strings and adjustments (TJ; Tj, ' and " show
    // one string) in horizontal text that neither clips nor draws glyph
    // procedures: the text matrix moves and each string's extent in text
    // space is found as show() finds them, but the strings' boxes are taken
    // to device space only when the whole run may reach outside the ink
    // found so far. Lines of text mostly lie within the column already
    // inked, and the box a run adds is then nothing: the same result, with
    // one box mapped per run instead of one per string.
    auto show_run = [&](const value *items, size_t count) {
        const font_info *f = gs.font ? gs.font : &kNoFont;
        const int mode = gs.tr;
        if (f->type3 || f->vertical || mode >= 4 || count > kMaxRun) {
            for (size_t i = 0; i < count; ++i) {
                if (items[i].is_number()) adjust(items[i].r);
                else show(items[i]);
            }
            return;
        }
        const bool inked = ((mode == 0) && !gs.fwhite) || ((mode == 1) && !gs.swhite) ||
                           ((mode == 2) && (!gs.fwhite || !gs.swhite));
        const size_t step = static_cast<size_t>(f->bytes);
        const double size = gs.tfs, th = gs.th;
        // (The stand-in for no font is shared by every reader: no rows.)
        const font_info::code_ink *rows = step == 1 && f != &kNoFont ? f->ink_table() : nullptr;
        const mat tm0 = tm;
        double shift = 0, drift = 0;  // where tm now stands from tm0 along the baseline, and its furthest
        double u[4] = {1, 1, 0, 0};  // the run's extent from tm0, in text space
        pieces_.clear();
        for (size_t i = 0; i < count; ++i) {
            const value &it = items[i];
            if (it.is_number()) {
                adjust(it.r);
                shift += -it.r / 1000 * gs.tfs * gs.th;
                drift = std::max(drift, std::fabs(shift));
                continue;
            }
            if (!it.is_string()) continue;
            const std::string &bytes = it.s;
            work_ -= static_cast<int64_t>(bytes.size());
            if (work_ < 0) throw stop{};
            double pos = 0;
            double ext[4] = {1, 1, 0, 0};
            if (rows) {
                // One byte a code: each code's row, made on its first use.
                const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes.data());
                const double tc = gs.tc, tw = gs.tw, rise = gs.rise;
                for (size_t k = 0, len = bytes.size(); k < len; ++k) {
                    const uint32_t code = b[k];
                    const font_info::code_ink *g = &rows[code];
                    if (!g->state) [[unlikely]]
                        g = &f->make_ink(code);
                    glyph_ink(*g, pos, size, th, rise, ext);
                    const double spacing = tc + (code == 32 ? tw : 0);
                    pos += (g->w0 * size + spacing) * th;
                }
            } else {
                for (size_t k = 0; k + step <= bytes.size(); k += step) {
                    uint32_t code = static_cast<unsigned char>(bytes[k]);
                    if (step == 2) code = code << 8 | static_cast<unsigned char>(bytes[k + 1]);
                    const double w0 = f->width(code) / 1000;
                    horizontal_glyph(*f, code, pos, w0, size, th, gs.rise, ext);
                    const double spacing = gs.tc + (step == 1 && code == 32 ? gs.tw : 0);
                    pos += (w0 * size + spacing) * th;
                }
            }
            if (inked && ext[0] <= ext[2]) {
                pieces_.push_back({{ext[0], ext[1], ext[2], ext[3]}, tm});
                const double lo = ext[0] + shift, hi = ext[2] + shift;
                if (u[0] > u[2]) {
                    u[0] = lo, u[1] = ext[1], u[2] = hi, u[3] = ext[3];
                } else {
                    u[0] = std::min(u[0], lo), u[1] = std::min(u[1], ext[1]);
                    u[2] = std::max(u[2], hi), u[3] = std::max(u[3], ext[3]);
                }
            }
            tm = mul(mat{1, 0, 0, 1, pos, 0}, tm);
            shift += pos;
            drift = std::max(drift, std::fabs(shift));
        }
        if (pieces_.empty() ||
            (pieces_.size() > 1 && run_adds_nothing(box{u[0], u[1], u[2], u[3]}, drift, tm0, gs.ctm, gs.clip, out)))
            return;
        // String by string otherwise, each passed over where it lies within
        // the ink found so far (the strings before it included).
        for (const piece &p : pieces_) {
            const mat base = mul(p.tm, gs.ctm);
            if (!piece_adds_nothing(p.ext, base, gs.clip, out)) ink(&out, map_box(p.ext, base), gs);
        }
    };
    auto next_line = [&](double tx, double ty) {
        tlm = mul(mat{1, 0, 0, 1, tx, ty}, tlm);
        tm = tlm;
    };
    auto colour = [&](space s, bool fill) {
        double v[32];
        size_t n = 0;
        for (size_t k = 0; k < rd.count() && n < 32; ++k) {
            if (rd.arg(k).kind != operand::number) return fill ? (void)(gs.fwhite = false) : (void)(gs.swhite = false);
            v[n++] = rd.arg(k).num;
        }
        (fill ? gs.fwhite : gs.swhite) = whiteish(s, v, n);
    };

    std::vector<operand> inline_dict;
    while (rd.next()) {
        const char *op = rd.op();
        const size_t n = rd.count();
        auto num = [&](size_t k) { return k < n && rd.arg(k).kind == operand::number ? rd.arg(k).num : 0.0; };
        auto name = [&](size_t k) -> const std::string * {
            return k < n && rd.arg(k).kind == operand::text_name ? &rd.arg(k).name : nullptr;
        };
        // The last operand as a value (a string, an array), or null: an
        // operand slot read as a number or a name keeps whatever value it
        // held before, which is not this operator's.
        auto last_value = [&]() -> const value * {
            return n && rd.arg(n - 1).kind == operand::other ? &rd.arg(n - 1).v : nullptr;
        };
        // Tj, ' and " show their last operand when it is a string, and
        // nothing otherwise (the line still moves for ' and ").
        auto show_last = [&] {
            const value *s = last_value();
            if (s && s->is_string()) show_run(s, 1);
        };
        // One switch over the operator's (up to three) bytes packed into a
        // word: a handful of compares to any operator, where testing them
        // one after another took dozens for the later ones.
        switch (rd.op_word()) {
            case op_word("l"): line_to(dev(num(0), num(1))); break;
            case op_word("m"): move_to(dev(num(0), num(1))); break;
            case op_word("c"): curve_to(dev(num(0), num(1)), dev(num(2), num(3)), dev(num(4), num(5))); break;
            case op_word("v"): curve_to(cur, dev(num(0), num(1)), dev(num(2), num(3))); break;
            case op_word("y"): {
                const pt p3 = dev(num(2), num(3));
                curve_to(dev(num(0), num(1)), p3, p3);
                break;
            }
            case op_word("h"): close(); break;
            case op_word("re"): {
                const double x = num(0), y = num(1), w = num(2), h = num(3);
                move_to(dev(x, y));
                line_to(dev(x + w, y));
                line_to(dev(x + w, y + h));
                line_to(dev(x, y + h));
                close();
                break;
            }
            case op_word("S"): paint(false, true); break;
            case op_word("s"):
                close();
                paint(false, true);
                break;
            case op_word("f"): case op_word("f*"): case op_word("F"): case op_word("F*"): paint(true, false); break;
            case op_word("B"): case op_word("B*"): paint(true, true); break;
            case op_word("b"): case op_word("b*"):
                close();
                paint(true, true);
                break;
            case op_word("n"): paint(false, false); break;
            case op_word("W"): case op_word("W*"): pending_clip = true; break;
            case op_word("Tj"): show_last(); break;
            case op_word("TJ"): {
                const value *arr = last_value();
                if (arr && arr->is_array()) show_run(arr->items.data(), arr->items.size());
                break;
            }
            case op_word("'"):
                next_line(0, -gs.tl);
                show_last();
                break;
            case op_word("\""):
                if (n >= 3) {
                    gs.tw = num(n - 3);
                    gs.tc = num(n - 2);
                }
                next_line(0, -gs.tl);
                show_last();
                break;
            case op_word("Tf"): {
                const std::string *nm = name(n >= 2 ? n - 2 : 0);
                gs.font = nm ? names_.font(res, *nm) : nullptr;
                gs.tfs = rd.num_back(0, 0);
                break;
            }
            case op_word("Tc"): gs.tc = rd.num_back(0, 0); break;
            case op_word("Tw"): gs.tw = rd.num_back(0, 0); break;
            case op_word("Tz"): gs.th = rd.num_back(0, 100) / 100; break;
            case op_word("TL"): gs.tl = rd.num_back(0, 0); break;
            case op_word("Ts"): gs.rise = rd.num_back(0, 0); break;
            case op_word("Tr"): gs.tr = static_cast<int>(std::clamp(rd.num_back(0, 0), 0.0, 7.0)); break;
            case op_word("Td"): next_line(num(0), num(1)); break;
            case op_word("TD"):
                gs.tl = -num(1);
                next_line(num(0), num(1));
                break;
            case op_word("Tm"):
                if (n >= 6) tm = tlm = mat{num(n - 6), num(n - 5), num(n - 4), num(n - 3), num(n - 2), num(n - 1)};
                break;
            case op_word("T*"): next_line(0, -gs.tl); break;
            case op_word("BT"):
                tm = tlm = mat{};
                text_clip = box{};
                text_clips = false;
                break;
            case op_word("ET"):
                if (text_clips && usable(text_clip)) gs.clip.clip(text_clip);
                text_clips = false;
                break;
            case op_word("q"):
                if (stack.size() >= static_cast<size_t>(lim_.q_depth)) throw stop{};
                stack.push_back(gs);
                break;
            case op_word("Q"):
                if (!stack.empty()) {
                    gs = stack.back();
                    stack.pop_back();
                }
                break;
            case op_word("cm"):
                if (n >= 6) gs.ctm = mul(mat{num(n - 6), num(n - 5), num(n - 4), num(n - 3), num(n - 2), num(n - 1)}, gs.ctm);
                break;
            case op_word("w"): gs.lw = rd.num_back(0, gs.lw); break;
            case op_word("M"): gs.ml = rd.num_back(0, gs.ml); break;
            case op_word("j"): gs.lj = static_cast<int>(std::clamp(rd.num_back(0, 0), 0.0, 2.0)); break;
            case op_word("J"): gs.lc = static_cast<int>(std::clamp(rd.num_back(0, 0), 0.0, 2.0)); break;
            case op_word("gs"): {
                const std::string *nm = name(n ? n - 1 : 0);
                const value *egs = nm ? names_.entry(res, "ExtGState", *nm, nullptr) : nullptr;
                if (egs && egs->is_dict()) {
                    const value *v;
                    if ((v = pdf::get_resolved(egs, "LW", r)) && v->is_number()) gs.lw = v->r;
                    if ((v = pdf::get_resolved(egs, "ML", r)) && v->is_number()) gs.ml = v->r;
                    if ((v = pdf::get_resolved(egs, "LJ", r)) && v->is_number()) gs.lj = static_cast<int>(std::clamp(v->r, 0.0, 2.0));
                    if ((v = pdf::get_resolved(egs, "LC", r)) && v->is_number()) gs.lc = static_cast<int>(std::clamp(v->r, 0.0, 2.0));
                }
                break;
            }
            case op_word("G"):
                gs.scs = space::gray;
                colour(space::gray, false);
                break;
            case op_word("g"):
                gs.fcs = space::gray;
                colour(space::gray, true);
                break;
            case op_word("RG"):
                gs.scs = space::rgb;
                colour(space::rgb, false);
                break;
            case op_word("rg"):
                gs.fcs = space::rgb;
                colour(space::rgb, true);
                break;
            case op_word("K"):
                gs.scs = space::cmyk;
                colour(space::cmyk, false);
                break;
            case op_word("k"):
                gs.fcs = space::cmyk;
                colour(space::cmyk, true);
                break;
            case op_word("cs"): case op_word("cS"): case op_word("CS"):
            case op_word("Cs"): {
                const std::string *nm = name(n ? n - 1 : 0);
                const space s = nm ? names_.color_space(res, *nm) : space::other;
                // A new space starts at its initial colour, which is ink.
                if (op[0] == 'c') {
                    gs.fcs = s;
                    gs.fwhite = false;
                } else {
                    gs.scs = s;
                    gs.swhite = false;
                }
                break;
            }
            case op_word("sh"): {
                const std::string *nm = name(n ? n - 1 : 0);
                const value *sh = nm ? names_.entry(res, "Shading", *nm, nullptr) : nullptr;
                box b = gs.clip;
                const value *bb = pdf::get_resolved(sh, "BBox", r);
                if (bb && bb->is_array() && bb->items.size() == 4) {
                    box s{bb->items[0].num_or(0), bb->items[1].num_or(0), bb->items[2].num_or(0), bb->items[3].num_or(0)};
                    if (s.x0 > s.x1) std::swap(s.x0, s.x1);
                    if (s.y0 > s.y1) std::swap(s.y0, s.y1);
                    b = map_box(s, gs.ctm);
                }
                ink(&out, b, gs);
                break;
            }
            case op_word("Do"): {
                const std::string *nm = name(n ? n - 1 : 0);
                int32_t obj = 0;
                const value *x = nm ? names_.entry(res, "XObject", *nm, &obj) : nullptr;
                const value *sub = pdf::get_resolved(x, "Subtype", r);
                if (sub && sub->is_name("Image")) {
                    const value *m = pdf::get_resolved(x, "ImageMask", r);
                    const bool is_mask = m && m->k == pdf::kind::boolean && m->b;
                    if (!is_mask || !gs.fwhite) ink(&out, map_box(box{0, 0, 1, 1}, gs.ctm), gs);
                } else if (sub && sub->is_name("Form") && obj > 0) {
                    mat fm;
                    const value *m = pdf::get_resolved(x, "Matrix", r);
                    if (m && m->is_array() && m->items.size() == 6)
                        fm = mat{m->items[0].num_or(1), m->items[1].num_or(0), m->items[2].num_or(0),
                                 m->items[3].num_or(1), m->items[4].num_or(0), m->items[5].num_or(0)};
                    box clip = unbounded();
                    const value *bb = pdf::get_resolved(x, "BBox", r);
                    if (bb && bb->is_array() && bb->items.size() == 4) {
                        clip = box{bb->items[0].num_or(0), bb->items[1].num_or(0), bb->items[2].num_or(0), bb->items[3].num_or(0)};
                        if (clip.x0 > clip.x1) std::swap(clip.x0, clip.x1);
                        if (clip.y0 > clip.y1) std::swap(clip.y0, clip.y1);
                    }
                    const value *fres = pdf::get_resolved(x, "Resources", r);
                    const box inner = sub_stream(obj, fres ? fres : res, clip, gs, depth);
                    ink(&out, map_box(inner, mul(fm, gs.ctm)), gs);
                }
                break;
            }
            case op_word("BI"): inline_dict.clear(); break;
            case op_word("ID"): {
                inline_dict.assign(rd.ops().begin(), rd.ops().begin() + static_cast<std::ptrdiff_t>(n));
                if (!rd.skip_inline_image(inline_dict)) throw stop{};
                bool is_mask = false;
                for (size_t k = 0; k + 1 < inline_dict.size(); k += 2)
                    if (inline_dict[k].kind == operand::text_name &&
                        (inline_dict[k].name == "IM" || inline_dict[k].name == "ImageMask"))
                        is_mask = inline_dict[k + 1].kind == operand::other &&
                                  inline_dict[k + 1].v.k == pdf::kind::boolean && inline_dict[k + 1].v.b;
                if (!is_mask || !gs.fwhite) ink(&out, map_box(box{0, 0, 1, 1}, gs.ctm), gs);
                break;
            }
            default:
                // sc, scn, SC, SCN (any third byte): the colour in the
                // current space.
                if ((op[0] == 's' || op[0] == 'S') && (op[1] == 'c' || op[1] == 'C')) {
                    if (op[0] == 's') colour(gs.fcs, true);
                    else colour(gs.scs, false);
                }
                // Everything else (marked content, compatibility sections,
                // d0/d1, ri, i, d) draws nothing and changes nothing
                // measured here.
                break;
        }
    }
    return out;
}

}  // namespace

result content_box(const unsigned char *data, size_t len, const pdf::value *resources, source &src,
                   const box &clip, const limits &lim) {
    result r;
    try {
        interp it(src, lim);
        gstate gs;
        gs.clip = clip;
        r.ink = it.run(data, len, resources, gs, 0);
        r.ok = true;
    } catch (const stop &) {
        r.ok = false;
        r.ink = box{};
    }
    return r;
}

}  // namespace sheetlay::content
