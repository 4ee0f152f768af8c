// Appearances of markup annotations that come without one: text markup
// (Highlight, Underline, StrikeOut, Squiggly), Ink, Square, Circle, Line,
// Polygon, PolyLine, FreeText and the Text note icon.
//
// Geometric kinds draw in the page's coordinates (their points are given
// there) with no /Matrix and a /BBox that is also where they are placed, so
// the placement is the identity. That box is /Rect, grown to take in every
// point (and the line around it) when the points stray outside: viewers that
// build the look themselves draw the points, whatever the rectangle says,
// and writers that leave the appearance out are the ones whose rectangles
// are careless. FreeText and Text draw in [0 0 w h] of the rectangle; the
// note's icon keeps its size, hanging from the rectangle's top left corner,
// when the rectangle is smaller than the icon. Colours: /C strokes
// (fills for Highlight and the note), /IC fills closed shapes, /BS gives the
// width (default 1) and dashes, /CA the opacity through an ExtGState.
// Counts of points are capped so a hostile array cannot make the content
// grow without bound beyond the input's own size.
#include <algorithm>
#include <cmath>

#include "nup/appearance_impl.h"

namespace sheetlay::nup::detail {

using pdf::value;

namespace {

constexpr size_t kMaxPoints = 100000;  // numbers read from /QuadPoints, /InkList, /Vertices

struct pt {
    double x, y;
};

// Pairs of numbers from an array (stops at the first item that is not a number).
std::vector<pt> read_points(const value *arr, pdf::resolver *res, size_t *budget) {
    std::vector<pt> pts;
    arr = pdf::resolve(arr, res);
    if (!arr || !arr->is_array()) return pts;
    for (size_t k = 0; k + 1 < arr->items.size() && *budget >= 2; k += 2) {
        const value *x = pdf::resolve(&arr->items[k], res), *y = pdf::resolve(&arr->items[k + 1], res);
        if (!x || !y || !x->is_number() || !y->is_number()) break;
        pts.push_back({x->r, y->r});
        *budget -= 2;
    }
    return pts;
}

double opacity(const value &annot, pdf::resolver *res) {
    const value *ca = pdf::get_resolved(&annot, "CA", res);
    return ca && ca->is_number() ? std::clamp(ca->r, 0.0, 1.0) : 1.0;
}

// "0 g" -> "0 G": the DA's fill colour as a stroke colour.
std::string stroke_of(const std::string &fill) {
    std::string s = fill;
    size_t sp = s.rfind(' ');
    for (size_t k = sp == std::string::npos ? 0 : sp + 1; k < s.size(); ++k)
        if (s[k] >= 'a' && s[k] <= 'z') s[k] = static_cast<char>(s[k] - 'a' + 'A');
    return s;
}

void text_markup(const value &annot, std::string_view sub, pdf::resolver *res, appearance *out) {
    std::string &o = out->content;
    size_t budget = kMaxPoints;
    std::vector<pt> q = read_points(annot.get("QuadPoints"), res, &budget);
    const bool highlight = sub == "Highlight";
    const double alpha = opacity(annot, res);
    if (highlight || alpha < 1) o += add_gstate(&out->resources, alpha, highlight);
    const value *c = pdf::get_resolved(&annot, "C", res);
    std::string col;
    if (!c) {
        put(&col, {highlight ? 1.0 : 0.0, highlight ? 1.0 : 0.0, 0}, highlight ? "rg" : "RG");
    } else if (!put_color(&col, c, res, !highlight)) {
        return;  // an empty /C: transparent
    }
    o += col;
    if (!highlight) o += "1 J\n";
    for (size_t k = 0; k + 3 < q.size(); k += 4) {
        // Points in the order writers use: upper left, upper right, lower left, lower right.
        const pt p1 = q[k], p2 = q[k + 1], p3 = q[k + 2], p4 = q[k + 3];
        const double ux = (p1.x + p2.x - p3.x - p4.x) / 2, uy = (p1.y + p2.y - p3.y - p4.y) / 2;
        const double qh = std::hypot(ux, uy);
        if (highlight) {
            // Rounded ends, as viewers draw them: each short side bulges
            // outwards by a curve whose control points stand a quarter of the
            // height out, along the quadrilateral's own directions.
            const double ax = p2.x - p1.x, ay = p2.y - p1.y, al = std::hypot(ax, ay);
            const double h4 = qh / 4;
            if (!(al > 0) || !std::isfinite(al) || !(h4 > 0) || !std::isfinite(h4)) {
                put(&o, {p1.x, p1.y}, "m");
                put(&o, {p2.x, p2.y}, "l");
                put(&o, {p4.x, p4.y}, "l");
                put(&o, {p3.x, p3.y}, "l h f");
                continue;
            }
            const double oax = ax / al * h4, oay = ay / al * h4;  // a quarter height along
            const double onx = ux / qh * h4, ony = uy / qh * h4;  // a quarter height up
            put(&o, {p3.x, p3.y}, "m");
            put(&o, {p3.x - oax + onx, p3.y - oay + ony, p1.x - oax - onx, p1.y - oay - ony, p1.x, p1.y}, "c");
            put(&o, {p2.x, p2.y}, "l");
            put(&o, {p2.x + oax - onx, p2.y + oay - ony, p4.x + oax + onx, p4.y + oay + ony, p4.x, p4.y}, "c");
            o += "h f\n";
            continue;
        }
        if (!(qh > 0) || !std::isfinite(qh)) continue;
        const double lw = qh / 14;
        put(&o, {lw}, "w");
        if (sub == "Squiggly") {
            // A zigzag along the bottom edge, in steps of a sixth of the height.
            const double dx = p4.x - p3.x, dy = p4.y - p3.y, len = std::hypot(dx, dy);
            if (!(len > 0) || !std::isfinite(len)) continue;
            const double step = std::max(qh / 6, len / 1000);
            const int n = static_cast<int>(std::ceil(len / step));
            for (int i = 0; i <= n; ++i) {
                double t = std::min(i * step, len) / len, up = (i % 2 ? 2.0 : 1.0) * lw / qh;
                double x = p3.x + dx * t + ux * up, y = p3.y + dy * t + uy * up;
                put(&o, {x, y}, i == 0 ? "m" : "l");
            }
            o += "S\n";
            continue;
        }
        // Underline a little above the bottom edge; strike out through the middle.
        const double t = sub == "StrikeOut" ? 0.5 : 1.0 / 7;
        put(&o, {p3.x + ux * t, p3.y + uy * t}, "m");
        put(&o, {p4.x + ux * t, p4.y + uy * t}, "l S");
    }
}

// Sets up stroke and fill for the shape kinds; tells which painting to use.
struct paint {
    bool stroke = false, fill = false;
    const char *op(bool closed) const {
        if (stroke && fill) return closed ? "b" : "B";
        if (fill) return "f";
        return closed ? "s" : "S";
    }
};

paint shape_setup(const value &annot, pdf::resolver *res, double bw, bool fillable, appearance *out) {
    paint p;
    std::string &o = out->content;
    const double alpha = opacity(annot, res);
    if (alpha < 1) o += add_gstate(&out->resources, alpha, false);
    const value *c = pdf::get_resolved(&annot, "C", res);
    if (bw > 0) {
        if (!c) {
            o += "0 G\n";
            p.stroke = true;
        } else {
            p.stroke = put_color(&o, c, res, true);
        }
    }
    if (fillable) p.fill = put_color(&o, pdf::get_resolved(&annot, "IC", res), res, false);
    if (p.stroke) {
        put(&o, {bw}, "w");
        o += dash_op(annot, res);
    }
    return p;
}

// /RD: how far the drawing stands inside the rectangle on each side (left,
// bottom, right, top), as viewers honour it for Square, Circle and
// FreeText. False (and nothing to inset) when absent, or when the insets are
// not four finite non-negative numbers that leave room.
bool read_insets(const value &annot, pdf::resolver *res, double w, double h, double rd[4]) {
    if (read_numbers(pdf::get_resolved(&annot, "RD", res), res, rd, 4) != 4) return false;
    for (int k = 0; k < 4; ++k)
        if (!(rd[k] >= 0) || !std::isfinite(rd[k])) return false;
    return rd[0] + rd[2] < w && rd[1] + rd[3] < h;
}

void ellipse(std::string *o, double cx, double cy, double rx, double ry) {
    const double k = 0.5522847498;
    put(o, {cx + rx, cy}, "m");
    put(o, {cx + rx, cy + ry * k, cx + rx * k, cy + ry, cx, cy + ry}, "c");
    put(o, {cx - rx * k, cy + ry, cx - rx, cy + ry * k, cx - rx, cy}, "c");
    put(o, {cx - rx, cy - ry * k, cx - rx * k, cy - ry, cx, cy - ry}, "c");
    put(o, {cx + rx * k, cy - ry, cx + rx, cy - ry * k, cx + rx, cy}, "c");
}

void polyline(std::string *o, const std::vector<pt> &pts) {
    for (size_t k = 0; k < pts.size(); ++k) put(o, {pts[k].x, pts[k].y}, k ? "l" : "m");
}

// The size of a line ending (/LE): six border widths, at least 6.
double ending_size(double bw) { return std::max(6 * bw, 6.0); }

bool known_ending(const value *name) {
    static const char *const kinds[] = {"Square",     "Circle",       "Diamond", "OpenArrow", "ClosedArrow",
                                        "ROpenArrow", "RClosedArrow", "Butt",    "Slash"};
    if (!name || !name->is_name()) return false;
    for (const char *k : kinds)
        if (name->s == k) return true;
    return false;
}

// One line ending at `at`, for a line that arrives there from `from`.
// Closed shapes are filled with /IC when `fill` (its colour already set).
void line_ending(std::string *o, const value *name, pt from, pt at, double bw, bool fill) {
    if (!name || !name->is_name() || name->s == "None") return;
    const double dx = at.x - from.x, dy = at.y - from.y, len = std::hypot(dx, dy);
    if (!(len > 0) || !std::isfinite(len)) return;
    const double s = ending_size(bw), h = s / 2;
    const double ux = dx / len, uy = dy / len;  // along the line, outwards
    const double nx = -uy, ny = ux;             // across it
    auto at_ = [&](double a, double b) { return pt{at.x + ux * a + nx * b, at.y + uy * a + ny * b}; };
    auto shape = [&](std::initializer_list<pt> ps, bool closed) {
        bool first = true;
        for (const pt &p : ps) {
            put(o, {p.x, p.y}, first ? "m" : "l");
            first = false;
        }
        *o += closed ? (fill ? "b\n" : "s\n") : "S\n";
    };
    const double c30 = 0.8660254037844386, s30 = 0.5;
    const std::string &n = name->s;
    // Squares, circles and diamonds touch the end point from inside the
    // line (which stops at them), as viewers draw them.
    if (n == "Square") {
        shape({at_(-s, -h), at_(0, -h), at_(0, h), at_(-s, h)}, true);
    } else if (n == "Circle") {
        ellipse(o, at.x - ux * h, at.y - uy * h, h, h);
        *o += fill ? "b\n" : "s\n";
    } else if (n == "Diamond") {
        shape({at_(0, 0), at_(-h, h), at_(-s, 0), at_(-h, -h)}, true);
    } else if (n == "OpenArrow" || n == "ClosedArrow") {
        shape({at_(-s * c30, s * s30), at_(0, 0), at_(-s * c30, -s * s30)}, n == "ClosedArrow");
    } else if (n == "ROpenArrow" || n == "RClosedArrow") {
        shape({at_(s * c30, s * s30), at_(0, 0), at_(s * c30, -s * s30)}, n == "RClosedArrow");
    } else if (n == "Butt") {
        shape({at_(0, h), at_(0, -h)}, false);
    } else if (n == "Slash") {
        shape({at_(h * s30, h * c30), at_(-h * s30, -h * c30)}, false);
    }
}

// How far the line itself stops short of an end point whose ending is
// `name`: before a square, circle or diamond, and under a closed arrow.
double ending_retreat(const value *name, double bw) {
    if (!name || !name->is_name()) return 0;
    const double s = ending_size(bw);
    if (name->s == "Square" || name->s == "Circle" || name->s == "Diamond") return s;
    if (name->s == "ClosedArrow") return s * 0.8660254037844386;
    return 0;
}

// The points of a line whose ends stop short of their endings (/LE); the
// points as they are when there are none or a segment is too short.
std::vector<pt> retreated(const value &annot, pdf::resolver *res, std::vector<pt> pts, double bw) {
    const value *le = pdf::get_resolved(&annot, "LE", res);
    if (!le || !le->is_array() || le->size() < 2 || pts.size() < 2) return pts;
    auto pull = [](pt &end, pt other, double by) {
        const double dx = end.x - other.x, dy = end.y - other.y, len = std::hypot(dx, dy);
        if (!(by > 0) || !(len > by) || !std::isfinite(len)) return;
        end.x -= dx / len * by;
        end.y -= dy / len * by;
    };
    const double a = ending_retreat(pdf::resolve(le->at(0), res), bw);
    const double b = ending_retreat(pdf::resolve(le->at(1), res), bw);
    if (pts.size() == 2 && a + b >= std::hypot(pts[1].x - pts[0].x, pts[1].y - pts[0].y)) return pts;
    const pt second = pts[1], before_last = pts[pts.size() - 2];
    pull(pts[0], second, a);
    pull(pts.back(), before_last, b);
    return pts;
}

// The /LE endings of a line through `pts` (its first and last segments).
void line_endings(std::string *o, const value &annot, pdf::resolver *res, const std::vector<pt> &pts,
                  double bw) {
    const value *le = pdf::get_resolved(&annot, "LE", res);
    if (!le || !le->is_array() || le->size() < 2 || pts.size() < 2) return;
    if (!known_ending(pdf::resolve(le->at(0), res)) && !known_ending(pdf::resolve(le->at(1), res))) return;
    std::string fill;
    const bool filled = put_color(&fill, pdf::get_resolved(&annot, "IC", res), res, false);
    *o += "q\n[] 0 d\n";  // endings are drawn solid
    *o += fill;
    line_ending(o, pdf::resolve(le->at(0), res), pts[1], pts[0], bw, filled);
    line_ending(o, pdf::resolve(le->at(1), res), pts[pts.size() - 2], pts.back(), bw, filled);
    *o += "Q\n";
}

void shapes(const value &annot, std::string_view sub, pdf::resolver *res, const double r[4], appearance *out) {
    std::string &o = out->content;
    const double bw = border_width(annot, res);
    size_t budget = kMaxPoints;
    if (sub == "Ink") {
        paint p = shape_setup(annot, res, bw, false, out);
        if (!p.stroke) return;
        o += "1 J\n1 j\n";
        const value *list = pdf::get_resolved(&annot, "InkList", res);
        for (size_t k = 0; list && list->is_array() && k < list->items.size() && budget >= 2; ++k) {
            std::vector<pt> pts = read_points(&list->items[k], res, &budget);
            if (pts.empty()) continue;
            if (pts.size() == 1) pts.push_back(pts[0]);  // a dot: round caps make it show
            polyline(&o, pts);
            o += "S\n";
        }
        return;
    }
    if (sub == "Line") {
        double l[4];
        paint p = shape_setup(annot, res, bw, false, out);
        if (!p.stroke || read_numbers(pdf::get_resolved(&annot, "L", res), res, l, 4) != 4) return;
        const std::vector<pt> ends = {{l[0], l[1]}, {l[2], l[3]}};
        const std::vector<pt> drawn = retreated(annot, res, ends, bw);
        put(&o, {drawn[0].x, drawn[0].y}, "m");
        put(&o, {drawn[1].x, drawn[1].y}, "l S");
        line_endings(&o, annot, res, ends, bw);
        return;
    }
    if (sub == "Polygon" || sub == "PolyLine") {
        const bool closed = sub == "Polygon";
        paint p = shape_setup(annot, res, bw, closed, out);
        std::vector<pt> pts = read_points(pdf::get_resolved(&annot, "Vertices", res), res, &budget);
        if (pts.size() < 2 || (!p.stroke && !p.fill)) return;
        polyline(&o, closed || !p.stroke ? pts : retreated(annot, res, pts, bw));
        o += p.op(closed);
        o += '\n';
        if (!closed && p.stroke) line_endings(&o, annot, res, pts, bw);
        return;
    }
    // Square and Circle: inside the rectangle by half the border, so the
    // stroke stays within it, and by /RD where it is given.
    paint p = shape_setup(annot, res, bw, true, out);
    if (!p.stroke && !p.fill) return;
    double rd[4] = {0, 0, 0, 0};
    if (!read_insets(annot, res, r[2] - r[0], r[3] - r[1], rd)) rd[0] = rd[1] = rd[2] = rd[3] = 0;
    const double half = p.stroke ? bw / 2 : 0;
    const double x0 = r[0] + rd[0] + half, y0 = r[1] + rd[1] + half;
    const double w = r[2] - r[0] - rd[0] - rd[2] - 2 * half, h = r[3] - r[1] - rd[1] - rd[3] - 2 * half;
    if (!(w > 0) || !(h > 0)) return;
    if (sub == "Square") {
        put(&o, {x0, y0, w, h}, "re");
    } else {
        ellipse(&o, x0 + w / 2, y0 + h / 2, w / 2, h / 2);
        o += "h\n";
    }
    o += p.op(false);
    o += '\n';
}

void free_text(const value &annot, const value *acroform, pdf::resolver *res, double w, double h,
               appearance *out) {
    std::string &o = out->content;
    const value *da_v = pdf::get_resolved(&annot, "DA", res);
    if (!da_v || !da_v->is_string()) da_v = pdf::get_resolved(acroform, "DA", res);
    const da_info da = parse_da(da_v && da_v->is_string() ? da_v->s : "");
    const text_font f = pick_font(da, pdf::get_resolved(acroform, "DR", res), nullptr, res);
    const double bw = border_width(annot, res);
    const double alpha = opacity(annot, res);
    if (alpha < 1) o += add_gstate(&out->resources, alpha, false);
    std::string bg;
    if (put_color(&bg, pdf::get_resolved(&annot, "C", res), res, false)) {
        o += bg;
        put(&o, {0, 0, w, h}, "re f");
    }
    if (bw > 0) {
        o += stroke_of(da.color);
        o += '\n';
        put(&o, {bw}, "w");
        o += dash_op(annot, res);
        put(&o, {bw / 2, bw / 2, std::max(w - bw, 0.0), std::max(h - bw, 0.0)}, "re S");
    }
    const value *contents = pdf::get_resolved(&annot, "Contents", res);
    const std::string text = contents && contents->is_string() ? to_winansi(contents->s) : "";
    const value *q = pdf::get_resolved(&annot, "Q", res);
    const double qv = q ? q->num_or(0) : 0;
    const int quad = qv >= 0.5 && qv < 1.5 ? 1 : qv >= 1.5 && qv < 2.5 ? 2 : 0;
    const double inset = std::max(bw, 1.0);
    o += "q\n";
    put(&o, {inset, inset, std::max(w - 2 * inset, 0.0), std::max(h - 2 * inset, 0.0)}, "re W n");
    if (!text.empty()) put_text_block(&o, text, f, da.size, da.color, quad, true, w, h, 2 * inset);
    o += "Q\n";
    add_font_resource(&out->resources, f);
}

// The sticky note: a 20 x 20 page with three lines of "text", at the top
// left of the box it is given (at least 20 x 20, see build_markup).
void note_icon(const value &annot, pdf::resolver *res, double w, double h, appearance *out) {
    std::string &o = out->content;
    const double alpha = opacity(annot, res);
    if (alpha < 1) o += add_gstate(&out->resources, alpha, false);
    const double s = std::min({1.0, w / 20, h / 20});
    put(&o, {s, 0, 0, s, 0, h - 20 * s}, "cm");
    std::string fill;
    if (!put_color(&fill, pdf::get_resolved(&annot, "C", res), res, false)) put(&fill, {1, 1, 0}, "rg");
    o += fill;
    o += "0 G\n0.6 w\n1 j\n";
    o += "0.5 0.5 m 0.5 19.5 l 19.5 19.5 l 19.5 5 l 14.5 0.5 l h B\n";
    o += "14.5 0.5 m 14.5 5 l 19.5 5 l S\n";
    o += "3.5 15 m 16.5 15 l 3.5 11.5 m 16.5 11.5 l 3.5 8 m 12 8 l S\n";
}

// Grows box (x0 y0 x1 y1) to take in the points by `margin` around them.
void take_in(double box[4], const std::vector<pt> &pts, double margin) {
    for (const pt &p : pts) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        box[0] = std::min(box[0], p.x - margin);
        box[1] = std::min(box[1], p.y - margin);
        box[2] = std::max(box[2], p.x + margin);
        box[3] = std::max(box[3], p.y + margin);
    }
}

// The box of the kinds drawn from points: the rectangle and every point.
void points_box(const value &annot, std::string_view sub, pdf::resolver *res, double box[4]) {
    size_t budget = kMaxPoints;
    if (sub == "Highlight" || sub == "Underline" || sub == "StrikeOut" || sub == "Squiggly") {
        std::vector<pt> q = read_points(annot.get("QuadPoints"), res, &budget);
        // A highlight's rounded ends reach 3/16 of its height past the
        // quadrilateral; a quarter leaves room.
        double margin = 0;
        for (size_t k = 0; sub == "Highlight" && k + 3 < q.size(); k += 4) {
            double h = std::hypot((q[k].x + q[k + 1].x - q[k + 2].x - q[k + 3].x) / 2,
                                  (q[k].y + q[k + 1].y - q[k + 2].y - q[k + 3].y) / 2);
            if (std::isfinite(h)) margin = std::max(margin, std::min(h, 1e6) / 4);
        }
        take_in(box, q, margin);
        return;
    }
    const double bw = std::min(border_width(annot, res), 1000.0);
    // Line endings reach up to their size past the points.
    const double margin = bw + 1 + (pdf::get_resolved(&annot, "LE", res) ? ending_size(bw) : 0);
    if (sub == "Ink") {
        const value *list = pdf::get_resolved(&annot, "InkList", res);
        for (size_t k = 0; list && list->is_array() && k < list->items.size() && budget >= 2; ++k)
            take_in(box, read_points(&list->items[k], res, &budget), margin);
    } else if (sub == "Line") {
        take_in(box, read_points(pdf::get_resolved(&annot, "L", res), res, &budget), margin);
    } else if (sub == "Polygon" || sub == "PolyLine") {
        take_in(box, read_points(pdf::get_resolved(&annot, "Vertices", res), res, &budget), margin);
    }
}

}  // namespace

bool is_markup_kind(std::string_view s) {
    return s == "Highlight" || s == "Underline" || s == "StrikeOut" || s == "Squiggly" || s == "Ink" ||
           s == "Square" || s == "Circle" || s == "Line" || s == "Polygon" || s == "PolyLine" ||
           s == "FreeText" || s == "Text";
}

bool build_markup(const value &annot, std::string_view sub, const value *acroform, pdf::resolver *res,
                  appearance *out) {
    double r[4];
    if (!read_rect(annot.get("Rect"), res, r)) return false;
    out->resources = value::make_dict();
    const double w = r[2] - r[0], h = r[3] - r[1];
    if (sub == "Text") {
        const double iw = std::max(w, 20.0), ih = std::max(h, 20.0);
        out->bbox[2] = iw;
        out->bbox[3] = ih;
        out->rect[0] = r[0];
        out->rect[1] = r[3] - ih;
        out->rect[2] = r[0] + iw;
        out->rect[3] = r[3];
        note_icon(annot, res, iw, ih, out);
        return true;
    }
    if (sub == "FreeText") {
        out->bbox[2] = w;
        out->bbox[3] = h;
        double rd[4];
        if (read_insets(annot, res, w, h, rd)) {
            // Frame, background and text in the box /RD leaves.
            put(&out->content, {1, 0, 0, 1, rd[0], rd[1]}, "cm");
            free_text(annot, acroform, res, w - rd[0] - rd[2], h - rd[1] - rd[3], out);
            return true;
        }
        free_text(annot, acroform, res, w, h, out);
        return true;
    }
    std::copy(r, r + 4, out->bbox);
    if (sub == "Highlight" || sub == "Underline" || sub == "StrikeOut" || sub == "Squiggly")
        text_markup(annot, sub, res, out);
    else
        shapes(annot, sub, res, r, out);
    points_box(annot, sub, res, out->bbox);
    std::copy(out->bbox, out->bbox + 4, out->rect);
    return true;
}

}  // namespace sheetlay::nup::detail
