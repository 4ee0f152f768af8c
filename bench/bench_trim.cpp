// Trimming measured: what it costs (a trimmed job next to the untrimmed one,
// compact 4-up on A4, on GeoTopo and its ten-fold copy), whether it cuts
// anything (every ink pixel of every corpus page, rendered by pdftoppm at
// 72 dpi, inside the box + 1 pt), how tight it is (pages whose four sides
// lie within 6 pt of the rendered ink's box), how its boxes compare with a
// Ghostscript bbox pass (when gs is installed), and the text scale gained
// on GeoTopo 4-up on A4.
//
//   bench_trim [corpus-dir [runs]]   (--options are ignored)
//
// Jobs run in fresh child processes, trimmed and untrimmed alternating;
// times are medians of `runs` (3).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "content/bbox.h"
#include "nup/geometry.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/resolve.h"
#include "sheetlay.h"

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string &s) { return "'" + s + "'"; }

bool have(const char *tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// One job in a child process; its wall time in seconds, or -1.
double job_seconds(const std::string &in, const std::string &out, int trim) {
    int fd[2];
    if (pipe(fd) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.sheet_width = 595.276;
        o.sheet_height = 841.89;
        o.trim = trim;
        auto t0 = std::chrono::steady_clock::now();
        int ok = sheetlay_nup(in.c_str(), out.c_str(), &o, nullptr, 0);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) s = -1;
        if (write(fd[1], &s, sizeof s) != sizeof s) _exit(2);
        _exit(0);
    }
    close(fd[1]);
    double s = -1;
    if (read(fd[0], &s, sizeof s) != sizeof s) s = -1;
    close(fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return s;
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct gray {
    int w = 0, h = 0;
    std::vector<unsigned char> px;
};

bool read_pgm(const std::string &path, gray *g) {
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    if (!(f >> magic >> g->w >> g->h >> maxval) || magic != "P5" || maxval > 255) return false;
    f.get();
    g->px.resize(static_cast<size_t>(g->w) * g->h);
    return static_cast<bool>(f.read(reinterpret_cast<char *>(g->px.data()), static_cast<std::streamsize>(g->px.size())));
}

// A box in displayed page coordinates: points from the top-left corner.
struct dbox {
    double x0, y0, x1, y1;
    bool empty = false;
};

// The box of a rendered page's ink (any pixel not white), 1 px = 1 pt,
// through the centres of the outermost ink pixels (a pixel tells only that
// ink stands somewhere in it; the 1 pt allowance covers the rest).
dbox rendered_ink(const gray &g) {
    dbox b{1e9, 1e9, -1e9, -1e9};
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x)
            if (g.px[static_cast<size_t>(y) * g.w + x] < 255) {
                b.x0 = std::min(b.x0, x + 0.5);
                b.y0 = std::min(b.y0, y + 0.5);
                b.x1 = std::max(b.x1, x + 0.5);
                b.y1 = std::max(b.y1, y + 0.5);
            }
    b.empty = b.x1 < 0;
    return b;
}

// A user-space box shown on a page of box (lx ly ux uy) turned by `rot`.
dbox displayed(double x0, double y0, double x1, double y1, double lx, double ly, double ux, double uy, int rot) {
    switch (rot) {
        case 90: return {y0 - ly, x0 - lx, y1 - ly, x1 - lx};
        case 180: return {ux - x1, y0 - ly, ux - x0, y1 - ly};
        case 270: return {uy - y1, ux - x1, uy - y0, ux - x0};
        default: return {x0 - lx, uy - y1, x1 - lx, uy - y0};
    }
}

struct page_box {
    double x0, y0, x1, y1;  // user space, the trimmed box (EACH, margin 0)
    double lx, ly, ux, uy;  // the visible box
    int rot;
};

std::vector<page_box> boxes_of(const std::string &path, double *seconds) {
    std::vector<page_box> out;
    sheetlay::doc d{};
    sheetlay::load_options lo;
    if (sheetlay::doc_load(path.c_str(), &d, lo) != 0) return out;
    sheetlay::doc_resolver res(&d);
    auto t0 = std::chrono::steady_clock::now();
    // Fonts read once per document, as the trim reads them.
    const auto fonts = sheetlay::content::make_font_cache();
    for (int32_t i = 0; i < d.pages.count; ++i) {
        const sheetlay::pageinfo &p = d.pages.items[i];
        page_box b{};
        b.lx = std::min(p.x0, p.x1);
        b.ly = std::min(p.y0, p.y1);
        b.ux = std::max(p.x0, p.x1);
        b.uy = std::max(p.y0, p.y1);
        const sheetlay::obj_entry *e = sheetlay::objvec_find(&d.objs, p.num);
        b.rot = e ? sheetlay::page_rotation(&d, &p, e) : 0;
        auto r = sheetlay::content::page_box(&d, res, p, true, {}, fonts.get());
        if (r.ok && !r.ink.empty()) {
            b.x0 = r.ink.x0, b.y0 = r.ink.y0, b.x1 = r.ink.x1, b.y1 = r.ink.y1;
        } else {
            b.x0 = b.lx, b.y0 = b.ly, b.x1 = b.ux, b.y1 = b.uy;
        }
        out.push_back(b);
    }
    if (seconds) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    sheetlay::doc_free(&d);
    return out;
}

// Ghostscript's per-page boxes (%%HiResBoundingBox). With -dUseCropBox they
// are relative to the visible box's lower-left corner, and like the render
// they are in the page's displayed frame (after /Rotate), y upwards.
std::vector<std::vector<double>> gs_boxes(const std::string &path, double *seconds) {
    std::vector<std::vector<double>> out;
    auto t0 = std::chrono::steady_clock::now();
    std::string cmd = "gs -q -dNOPAUSE -dBATCH -dSAFER -dUseCropBox -sDEVICE=bbox " + quote(path) + " 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        double a, b, c, e;
        if (std::sscanf(line, "%%%%HiResBoundingBox: %lf %lf %lf %lf", &a, &b, &c, &e) == 4) out.push_back({a, b, c, e});
    }
    pclose(f);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--", 0) != 0) args.push_back(argv[i]);
    std::string corpus = args.size() > 0 ? args[0] : "";
    if (corpus.empty()) {
        const char *env = std::getenv("SHEETLAY_CORPUS_DIR");
        corpus = env ? env : "";
    }
#ifdef SHEETLAY_BENCH_CORPUS
    if (corpus.empty()) corpus = SHEETLAY_BENCH_CORPUS;
#endif
    const int runs = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 3;
    const std::string geo = corpus + "/GeoTopo-komprimiert.pdf";
    if (corpus.empty() || !fs::exists(geo)) {
        std::printf("bench_trim: no corpus (GeoTopo-komprimiert.pdf) found; skipped\n");
        return 0;
    }
    const fs::path tmp = fs::temp_directory_path() / ("bench_trim_" + std::to_string(getpid()));
    fs::create_directories(tmp);

    // --- cost ---------------------------------------------------------------
    std::vector<std::pair<std::string, std::string>> inputs = {{"GeoTopo (117 pages)", geo}};
    if (have("qpdf") && !std::getenv("BENCH_TRIM_NO_COST")) {
        std::string ten = (tmp / "ten.pdf").string(), list;
        for (int k = 0; k < 10; ++k) list += quote(geo) + " ";
        if (std::system(("qpdf --empty --pages " + list + "-- " + quote(ten) + " 2>/dev/null").c_str()) == 0 ||
            fs::exists(ten))
            inputs.push_back({"GeoTopo x10 (1,170 pages)", ten});
    }
    std::printf("cost: compact 4-up on A4, median of %d fresh processes each, alternating\n", runs);
    if (std::getenv("BENCH_TRIM_NO_COST")) inputs.clear();
    for (auto &[name, path] : inputs) {
        std::vector<double> plain, trimmed;
        const std::string out = (tmp / "out.pdf").string();
        for (int r = 0; r < runs; ++r) {
            plain.push_back(job_seconds(path, out, SHEETLAY_TRIM_NONE));
            trimmed.push_back(job_seconds(path, out, SHEETLAY_TRIM_EACH));
        }
        const double a = median(plain), b = median(trimmed);
        std::printf("  %-26s untrimmed %7.3f s  trimmed %7.3f s  ratio %.2fx\n", name.c_str(), a, b, a > 0 ? b / a : 0);
    }

    // --- nothing cut, tight, next to Ghostscript ------------------------------
    const bool gs = have("gs");
    int pages = 0, cut = 0, tight = 0, blank = 0, gs_pages = 0, gs_inside = 0;
    double worst_cut = 0, gs_worst = 0, gs_time = 0, box_time = 0;
    std::string worst_where;
    std::vector<std::string> files;
    for (auto &e : fs::directory_iterator(corpus))
        if (e.path().extension() == ".pdf") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const std::string &f : files) {
        double secs = 0;
        std::vector<page_box> boxes = boxes_of(f, &secs);
        box_time += secs;
        if (boxes.empty()) continue;
        const std::string prefix = (tmp / "r").string();
        for (auto &e : fs::directory_iterator(tmp))
            if (e.path().extension() == ".pgm") fs::remove(e.path());
        if (std::system(("pdftoppm -r 72 -gray " + quote(f) + " " + quote(prefix) + " 2>/dev/null").c_str()) != 0) continue;
        std::vector<std::string> pgms;
        for (auto &e : fs::directory_iterator(tmp))
            if (e.path().extension() == ".pgm") pgms.push_back(e.path().string());
        std::sort(pgms.begin(), pgms.end(), [](const std::string &a, const std::string &b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        std::vector<std::vector<double>> gb;
        if (gs) {
            double t = 0;
            gb = gs_boxes(f, &t);
            gs_time += t;
        }
        for (size_t k = 0; k < boxes.size() && k < pgms.size(); ++k) {
            gray g;
            if (!read_pgm(pgms[k], &g)) continue;
            const page_box &b = boxes[k];
            const dbox ink = rendered_ink(g);
            const dbox mine = displayed(b.x0, b.y0, b.x1, b.y1, b.lx, b.ly, b.ux, b.uy, b.rot);
            ++pages;
            if (ink.empty) {
                ++blank;
                continue;
            }
            const double over = std::max({mine.x0 - ink.x0, mine.y0 - ink.y0, ink.x1 - mine.x1, ink.y1 - mine.y1});
            if (over > 1) {
                ++cut;
                if (std::getenv("BENCH_TRIM_VERBOSE"))
                    std::printf("    cut %s p%zu rot %d: ink %.0f %.0f %.0f %.0f box %.1f %.1f %.1f %.1f\n",
                                fs::path(f).filename().c_str(), k + 1, b.rot, ink.x0, ink.y0, ink.x1, ink.y1,
                                mine.x0, mine.y0, mine.x1, mine.y1);
                if (over > worst_cut) {
                    worst_cut = over;
                    worst_where = fs::path(f).filename().string() + " page " + std::to_string(k + 1);
                }
            }
            if (std::fabs(mine.x0 - ink.x0) <= 6 && std::fabs(mine.y0 - ink.y0) <= 6 &&
                std::fabs(mine.x1 - ink.x1) <= 6 && std::fabs(mine.y1 - ink.y1) <= 6)
                ++tight;
            else if (std::getenv("BENCH_TRIM_VERBOSE"))
                std::printf("    loose %s p%zu: ink %.1f %.1f %.1f %.1f box %.1f %.1f %.1f %.1f\n",
                            fs::path(f).filename().c_str(), k + 1, ink.x0, ink.y0, ink.x1, ink.y1, mine.x0,
                            mine.y0, mine.x1, mine.y1);
            if (k < gb.size()) {
                ++gs_pages;
                // Both in the displayed frame, from the top-left corner:
                // Ghostscript's box counts y up from the bottom edge.
                const std::vector<double> &q = gb[k];
                const double dh = (b.rot == 90 || b.rot == 270) ? b.ux - b.lx : b.uy - b.ly;
                const dbox theirs{q[0], dh - q[3], q[2], dh - q[1]};
                const double in = std::max({mine.x0 - theirs.x0, mine.y0 - theirs.y0, theirs.x1 - mine.x1,
                                            theirs.y1 - mine.y1});
                if (in > 1) {
                    ++gs_inside;
                    if (std::getenv("BENCH_TRIM_VERBOSE"))
                        std::printf("    gs %s p%zu: gs %.1f %.1f %.1f %.1f ours %.1f %.1f %.1f %.1f\n",
                                    fs::path(f).filename().c_str(), k + 1, theirs.x0, theirs.y0, theirs.x1,
                                    theirs.y1, mine.x0, mine.y0, mine.x1, mine.y1);
                }
                gs_worst = std::max(gs_worst, in);
            }
        }
    }
    const int inked = pages - blank;
    std::printf("boxes: %d corpus files, %d pages (%d without ink), interpreted in %.3f s\n", int(files.size()), pages, blank, box_time);
    std::printf("  nothing cut: %d of %d inked pages have ink more than 1 pt outside the box", cut, inked);
    if (cut) std::printf(" (worst %.1f pt, %s)", worst_cut, worst_where.c_str());
    std::printf("\n  tight: %d of %d inked pages (%.1f %%) have every side within 6 pt of the rendered ink\n", tight,
                inked, inked ? 100.0 * tight / inked : 0);
    if (gs)
        std::printf("  ghostscript bbox: %d pages in %.2f s; ours smaller than its box by > 1 pt on %d pages (worst %.1f pt)\n",
                    gs_pages, gs_time, gs_inside, gs_worst);
    else
        std::printf("  ghostscript bbox: gs not installed; skipped\n");

    // --- text scale on GeoTopo 4-up A4 -----------------------------------------
    std::vector<page_box> geob = boxes_of(geo, nullptr);
    if (!geob.empty()) {
        using sheetlay::nup::grid;
        auto sheet_of = [](double w, double h) {
            grid a = sheetlay::nup::make_grid(595.276, 841.89, 2, 2), b = sheetlay::nup::make_grid(841.89, 595.276, 2, 2);
            return sheetlay::nup::cell_scale(b, w, h) > sheetlay::nup::cell_scale(a, w, h) ? b : a;
        };
        auto dims = [](const page_box &b, bool trimmed, double *w, double *h) {
            *w = trimmed ? b.x1 - b.x0 : b.ux - b.lx;
            *h = trimmed ? b.y1 - b.y0 : b.uy - b.ly;
            if (b.rot == 90 || b.rot == 270) std::swap(*w, *h);
        };
        double w, h;
        dims(geob[0], false, &w, &h);
        const grid g0 = sheet_of(w, h);
        dims(geob[0], true, &w, &h);
        const grid g1 = sheet_of(w, h);
        std::vector<double> gains;
        for (const page_box &b : geob) {
            dims(b, false, &w, &h);
            const double s0 = sheetlay::nup::cell_scale(g0, w, h);
            dims(b, true, &w, &h);
            const double s1 = sheetlay::nup::cell_scale(g1, w, h);
            gains.push_back(s1 / s0);
        }
        std::sort(gains.begin(), gains.end());
        double mean = 0;
        for (double x : gains) mean += x;
        mean /= double(gains.size());
        std::printf("text scale, GeoTopo 4-up on A4 trimmed / untrimmed: median %.3fx, mean %.3fx, lowest %.3fx\n",
                    gains[gains.size() / 2], mean, gains.front());
    }
    fs::remove_all(tmp);
    return 0;
}
