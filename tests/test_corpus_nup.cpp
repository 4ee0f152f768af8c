// End to end over real-world files: every PDF of the corpus folder goes
// through the public interface, and each output must pass qpdf's check, hold
// the right number of sheets, and show every input page as the input itself
// shows it.
//
// The look is compared on grey renderings: a sheet is rendered, the area a
// page was placed in is cut out, and it is compared with the input page
// rendered at the same size. Two numbers decide, both in grey levels (0..255)
// on images reduced to a small common size:
//   diff  the mean absolute difference: a page put in the wrong cell, turned
//         the wrong way or drawn wrongly;
//   dink  the change of the mean ink (255 - mean grey): content lost or added.
//         Reducing an image keeps its mean, so this one does not depend on
//         sub-pixel placement, and a lost font or image shows in it however
//         little of the page it covers.
// Both limits grow with the page's own ink: a page holding one small word and
// a page of dense text differ a hundredfold in what their correct renderings
// differ by. Calibration (poppler 22.12, the corpus of 18 files, 2-up, 4-up,
// framed right-to-left and 6-up Letter runs): correct outputs reach at most
// 0.55 of the diff limit (tiny images enlarged fifty times: diff 2.0 for ink
// 237; one small word: 0.046 for ink 0.08) and 0.22 of the dink limit (a
// photograph page: 0.10 for ink 21). The same pages with their fonts or their
// images taken away exceed the dink limit 3 to 50 times (the least: one word
// without its font; a photograph page without its text loses 10 % of its ink,
// a page without its logo 7 %); only losses under about 2 % of a page's ink
// pass. Turned upside down, pages exceed the diff limit 1.5 to 15 times.
// MeasureRejectsBrokenPages keeps the limits honest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using testtools::Gray;

namespace {

// ---------------------------------------------------------------------------
// Measuring

// Sheets are rendered with their longer side this many pixels (85 dpi for
// A4; pdftoppm's time hardly depends on it). At 50 dpi the one small word of
// a page differs between two correct renderings by as much ink as it has.
constexpr int kSheetPx = 1000;
// Both images of a page are reduced to this longer side before comparing, so
// that sub-pixel placement and antialiasing average out.
constexpr int kComparePx = 40;
// Limits: slack + rel x the input page's ink (see the calibration above).
// For diff the ink counts up to kDiffInkCap only: beyond that a page is
// mostly picture, and two renderings of a picture differ by resampling, not
// by how much of it there is.
constexpr double kDiffSlack = 0.08, kDiffRel = 0.12, kDiffInkCap = 30;
constexpr double kInkSlack = 0.02, kInkRel = 0.02;

// One input page as displayed: its crop box turned by its rotation.
struct PageGeom {
    double w = 0, h = 0;  // displayed size, points
    int rot = 0;
};

// The displayed size of every page, from `pdfinfo -box` (the crop box is the
// area pdftoppm renders and the layout places).
std::optional<std::vector<PageGeom>> page_geometry(const std::string &pdf, int pages) {
    testtools::CmdResult r = testtools::run_cmd(
        {testtools::pdfinfo_path(), "-box", "-f", "1", "-l", std::to_string(pages), pdf});
    if (r.status != 0) return std::nullopt;
    std::vector<PageGeom> g(static_cast<size_t>(pages));
    std::vector<bool> seen(static_cast<size_t>(pages));
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        int p = 0, rot = 0;
        double x0, y0, x1, y1;
        if (std::sscanf(line.c_str(), "Page %d rot: %d", &p, &rot) == 2 && p >= 1 && p <= pages) {
            g[static_cast<size_t>(p - 1)].rot = ((rot % 360) + 360) % 360;
        } else if (std::sscanf(line.c_str(), "Page %d CropBox: %lf %lf %lf %lf", &p, &x0, &y0, &x1,
                               &y1) == 5 &&
                   p >= 1 && p <= pages) {
            g[static_cast<size_t>(p - 1)].w = std::fabs(x1 - x0);
            g[static_cast<size_t>(p - 1)].h = std::fabs(y1 - y0);
            seen[static_cast<size_t>(p - 1)] = true;
        }
    }
    for (size_t i = 0; i < g.size(); ++i) {
        if (!seen[i] || !(g[i].w > 0) || !(g[i].h > 0)) return std::nullopt;
        if (g[i].rot == 90 || g[i].rot == 270) std::swap(g[i].w, g[i].h);
    }
    return g;
}

// A rectangle on a sheet, PDF units, origin at the bottom left.
struct Rect {
    double x0, y0, x1, y1;
};

// Where page `index` lands: the grid by n, cells read row by row from the top
// (right to left within a row for order 1), the page scaled uniformly into its
// cell and centred there.
Rect placement(int n, int order, double sheet_w, double sheet_h, const PageGeom &page, int index) {
    int cols = 2, rows = 1;
    switch (n) {
        case 4: cols = 2; rows = 2; break;
        case 6: cols = 3; rows = 2; break;
        case 9: cols = 3; rows = 3; break;
        case 16: cols = 4; rows = 4; break;
        default: break;
    }
    const int slot = index % n;
    const int r = slot / cols, c = slot % cols;
    const int col = order == 0 ? c : cols - 1 - c;
    const double cw = sheet_w / cols, ch = sheet_h / rows;
    const double cx = col * cw, cy = sheet_h - (r + 1) * ch;
    const double s = std::min(cw / page.w, ch / page.h);
    const double w = page.w * s, h = page.h * s;
    const double x0 = cx + (cw - w) / 2, y0 = cy + (ch - h) / 2;
    return {x0, y0, x0 + w, y0 + h};
}

std::optional<Gray> pdftoppm(const std::string &pdf, int page,
                             const std::vector<std::string> &size_args) {
    const std::string prefix = testtools::tmp_path("e2e", "");
    const std::string p = std::to_string(page);
    // Annotations are left out: sheets carry page contents only, not the
    // input's link borders or form widgets.
    std::vector<std::string> argv = {testtools::pdftoppm_path(), "-gray", "-hide-annotations",
                                     "-f", p, "-l", p, "-singlefile"};
    argv.insert(argv.end(), size_args.begin(), size_args.end());
    argv.push_back(pdf);
    argv.push_back(prefix);
    testtools::CmdResult r = testtools::run_cmd(argv);
    const std::string file = prefix + ".pgm";
    std::optional<std::string> bytes = testtools::read_file(file);
    testtools::remove_file(file);
    if (r.status != 0 || !bytes) return std::nullopt;
    return testtools::parse_pgm(*bytes);
}

// Page `page` with its longer side `px` pixels.
std::optional<Gray> render_fit(const std::string &pdf, int page, int px) {
    return pdftoppm(pdf, page, {"-scale-to", std::to_string(px)});
}

// Page `page`, displayed turned by `rot`, at exactly w x h pixels. Kept for
// later runs that need the same page at the same size (most corpus pages get
// the same size in 2-up and 4-up sheets).
std::optional<Gray> render_exact(const std::string &pdf, int page, int rot, int w, int h) {
    static std::map<std::tuple<std::string, int, int, int>, Gray> cache;
    const auto key = std::make_tuple(pdf, page, w, h);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    // pdftoppm takes the sizes in the page's unturned orientation.
    const bool quarter = rot == 90 || rot == 270;
    std::optional<Gray> g =
        pdftoppm(pdf, page,
                 {"-scale-to-x", std::to_string(quarter ? h : w), "-scale-to-y",
                  std::to_string(quarter ? w : h)});
    if (g && (g->w != w || g->h != h)) {
        ADD_FAILURE() << "pdftoppm rendered " << g->w << "x" << g->h << ", not " << w << "x" << h;
        return std::nullopt;
    }
    if (g && pdf.rfind(testtools::corpus_dir(), 0) == 0) cache.emplace(key, *g);
    return g;
}

// The image without a band of `px` pixels on every side.
Gray inset(const Gray &img, int px) {
    Gray out;
    if (img.w <= 2 * px || img.h <= 2 * px) return out;
    out.w = img.w - 2 * px;
    out.h = img.h - 2 * px;
    for (int y = px; y < img.h - px; ++y)
        for (int x = px; x < img.w - px; ++x) out.px.push_back(img.at(x, y));
    return out;
}

// How a placed page compares with its input page.
struct Verdict {
    double diff = 255;  // mean absolute difference
    double ink = 0;     // the input page's mean ink
    double dink = 255;  // placed page's ink minus the input page's
    bool ok() const {
        return diff <= kDiffSlack + kDiffRel * std::min(ink, kDiffInkCap) &&
               std::fabs(dink) <= kInkSlack + kInkRel * ink;
    }
};

Verdict judge(const Gray &placed, const Gray &input) {
    Verdict v;
    if (placed.empty() || input.empty()) return v;
    const double k = static_cast<double>(kComparePx) / std::max(input.w, input.h);
    const int w = std::clamp(static_cast<int>(std::lround(input.w * k)), 1,
                             std::min(placed.w, input.w));
    const int h = std::clamp(static_cast<int>(std::lround(input.h * k)), 1,
                             std::min(placed.h, input.h));
    const Gray a = testtools::downscale(placed, w, h), b = testtools::downscale(input, w, h);
    double sum = 0;
    for (size_t i = 0; i < a.px.size(); ++i) sum += std::abs(int(a.px[i]) - int(b.px[i]));
    v.diff = sum / static_cast<double>(a.px.size());
    v.ink = 255 - b.mean();
    v.dink = (255 - a.mean()) - v.ink;
    return v;
}

std::string describe(const Verdict &v) {
    char b[96];
    std::snprintf(b, sizeof b, "diff %.3f dink %+.3f ink %.2f", v.diff, v.dink, v.ink);
    return b;
}

std::string base_name(const std::string &path) {
    return std::filesystem::path(path).filename().string();
}

// ---------------------------------------------------------------------------
// One run over one file

// Which create function a run calls: sheetlay_create, or the _sized or
// _bordered one with `page_size` or `border`.
enum class Api { plain, sized, bordered };

struct Run {
    int n;
    int order;
    Api api = Api::plain;
    int page_size = SHEETLAY_SIZE_FIRST_PAGE;
    int border = 0;  // points
};

struct PageResult {
    int page;  // 1-based input page
    Verdict v;
};

std::string describe(const std::string &name, const std::vector<PageResult> &placed) {
    std::string s = name + ":";
    for (const auto &p : placed) s += "\n    p" + std::to_string(p.page) + " " + describe(p.v);
    return s;
}

// Makes the n-up file of `input` through the public interface and checks it.
// Returns what was measured for each placed page.
std::vector<PageResult> check_file(const std::string &input, const Run &run) {
    std::vector<PageResult> placed;
    const std::string name = base_name(input);
    SCOPED_TRACE(name + " n=" + std::to_string(run.n) + " order=" + std::to_string(run.order) +
                 " size=" + std::to_string(run.page_size) + " border=" + std::to_string(run.border));

    const int pages = testtools::pdfinfo_pages(input);
    if (pages < 1) {
        ADD_FAILURE() << "pdfinfo cannot read the input";
        return placed;
    }
    std::optional<std::vector<PageGeom>> geom = page_geometry(input, pages);
    if (!geom) {
        ADD_FAILURE() << "pdfinfo gives no page boxes";
        return placed;
    }

    const std::string out = testtools::tmp_path("e2e-out");
    int rc = 0;
    switch (run.api) {
        case Api::plain: rc = sheetlay_create(input.c_str(), out.c_str(), run.n, run.order); break;
        case Api::sized:
            rc = sheetlay_create_sized(input.c_str(), out.c_str(), run.n, run.order, run.page_size);
            break;
        case Api::bordered:
            rc = sheetlay_create_bordered(input.c_str(), out.c_str(), run.n, run.order, run.border);
            break;
    }
    if (rc != 1) {
        ADD_FAILURE() << "create failed: " << sheetlay_last_error();
        testtools::remove_file(out);
        return placed;
    }
    EXPECT_STREQ(sheetlay_last_error(), "");

    testtools::QpdfResult q = testtools::qpdf_check(out);
    EXPECT_EQ(q.status, 0) << q.out;

    const int sheets = (pages + run.n - 1) / run.n;
    EXPECT_EQ(testtools::pdfinfo_pages(out), sheets);

    // Sheets are the first page's displayed size, unturned, or the size asked for.
    static const double kSizes[3][2] = {{595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    const bool fixed = run.api == Api::sized && run.page_size >= 0 && run.page_size <= 2;
    const double W = fixed ? kSizes[run.page_size][0] : (*geom)[0].w;
    const double H = fixed ? kSizes[run.page_size][1] : (*geom)[0].h;
    std::optional<testtools::PageSize> ps = testtools::pdfinfo_page_size(out, 1);
    if (ps) {
        EXPECT_NEAR(ps->w, W, 0.01);
        EXPECT_NEAR(ps->h, H, 0.01);
        EXPECT_EQ(ps->rot, 0);
    } else {
        ADD_FAILURE() << "no size for the first sheet";
    }

    std::optional<Gray> fine;  // the current sheet at a higher resolution, made when needed
    int fine_sheet = -1;
    for (int s = 0; s < sheets; ++s) {
        std::optional<Gray> sheet = render_fit(out, s + 1, kSheetPx);
        if (!sheet) {
            ADD_FAILURE() << "pdftoppm cannot render sheet " << s + 1;
            continue;
        }
        // The frame is stroked on the placed area's edge, half outside.
        const double hb = run.border / 2.0;
        const int band = run.border > 0 ? static_cast<int>(std::ceil(hb * sheet->w / W)) + 1 : 0;
        for (int slot = 0; slot < run.n; ++slot) {
            const int index = s * run.n + slot;
            if (index >= pages) {
                // A cell without a page stays blank.
                // (Its edge pixels may hold a neighbour's edge or frame.)
                Rect r = placement(run.n, run.order, W, H, PageGeom{W, H, 0}, index);
                Gray cell = testtools::crop_pdf_rect(*sheet, W, H, r.x0, r.y0, r.x1, r.y1);
                EXPECT_GT(inset(cell, band + 1).mean(), 254.5)
                    << "sheet " << s + 1 << ", empty cell " << slot;
                continue;
            }
            const PageGeom &pg = (*geom)[static_cast<size_t>(index)];
            Rect r = placement(run.n, run.order, W, H, pg, index);
            // The placed page against its input rendered at the cell's size.
            auto compare = [&](const Gray &img, int frame_band) -> std::optional<Verdict> {
                Gray cell = testtools::crop_pdf_rect(img, W, H, r.x0, r.y0, r.x1, r.y1);
                std::optional<Gray> ref =
                    cell.empty() ? std::nullopt : render_exact(input, index + 1, pg.rot, cell.w, cell.h);
                if (!ref) return std::nullopt;
                return frame_band > 0 ? judge(inset(cell, frame_band), inset(*ref, frame_band))
                                      : judge(cell, *ref);
            };
            std::optional<Verdict> v = compare(*sheet, band);
            if (v && !v->ok()) {
                // Fine tiling patterns (hatching) are rasterised tile by tile,
                // so at low resolution the same pattern under another matrix
                // keeps a little more or less ink. Judge such a page again at
                // a resolution where its lines are resolved.
                constexpr int kFine = 4;
                if (!fine || fine_sheet != s) {
                    fine = render_fit(out, s + 1, kSheetPx * kFine);
                    fine_sheet = s;
                }
                if (fine) {
                    const int fine_band =
                        run.border > 0 ? static_cast<int>(std::ceil(hb * fine->w / W)) + 1 : 0;
                    if (std::optional<Verdict> again = compare(*fine, fine_band)) v = again;
                }
            }
            if (!v) {
                ADD_FAILURE() << "cannot render input page " << index + 1;
                continue;
            }
            if (run.border > 0) {
                // Check that the frame is there; the comparison leaves it out.
                Gray left = testtools::crop_pdf_rect(*sheet, W, H, r.x0 - hb, r.y0, r.x0 + hb, r.y1);
                Gray top = testtools::crop_pdf_rect(*sheet, W, H, r.x0, r.y1 - hb, r.x1, r.y1 + hb);
                EXPECT_LT(left.mean(), 128.0) << "no frame left of page " << index + 1;
                EXPECT_LT(top.mean(), 128.0) << "no frame above page " << index + 1;
            }
            placed.push_back({index + 1, *v});
        }
    }
    testtools::remove_file(out);

    for (const auto &p : placed)
        EXPECT_TRUE(p.v.ok()) << "page " << p.page << " does not look like its input\n"
                              << describe(name, placed);
    return placed;
}

#define REQUIRE_E2E_TOOLS() \
    REQUIRE_CORPUS();       \
    REQUIRE_QPDF();         \
    REQUIRE_PDFTOPPM();     \
    REQUIRE_PDFINFO()

// ---------------------------------------------------------------------------
// The corpus runs

struct CorpusCase {
    const char *name;
    Run run;
    bool multi_page_only;  // only files of more than one page
};

void run_corpus(const CorpusCase &c) {
    std::vector<std::string> files = testtools::corpus_files();
    ASSERT_FALSE(files.empty()) << "no PDF in " << testtools::corpus_dir();
    int ran = 0;
    for (const auto &f : files) {
        if (c.multi_page_only && testtools::pdfinfo_pages(f) < 2) continue;
        if (c.run.border > 0) {
            // A frame covers its page only on sheets many times wider than
            // the line (a 3 pt line on a 4 pt sheet covers everything).
            std::optional<std::vector<PageGeom>> g = page_geometry(f, 1);
            if (g && std::min((*g)[0].w, (*g)[0].h) < 50.0 * c.run.border) {
                std::printf("[%s] %s: sheet too small for the frame, left out\n", c.name,
                            base_name(f).c_str());
                continue;
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<PageResult> placed = check_file(f, c.run);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count();
        std::printf("[%s] %s\n    (%lld ms)\n", c.name, describe(base_name(f), placed).c_str(),
                    static_cast<long long>(ms));
        ++ran;
    }
    EXPECT_GT(ran, 0) << "no corpus file fits this case";
}

TEST(CorpusNup, TwoUp) {
    REQUIRE_E2E_TOOLS();
    run_corpus({"2-up", {2, 0}, false});
}

TEST(CorpusNup, FourUp) {
    REQUIRE_E2E_TOOLS();
    run_corpus({"4-up", {4, 0, Api::sized, SHEETLAY_SIZE_FIRST_PAGE}, false});
}

TEST(CorpusNup, FourUpRightToLeftFramed) {
    REQUIRE_E2E_TOOLS();
    run_corpus({"4-up rtl framed", {4, 1, Api::bordered, SHEETLAY_SIZE_FIRST_PAGE, 3}, true});
}

TEST(CorpusNup, SixUpOnLetter) {
    REQUIRE_E2E_TOOLS();
    run_corpus({"6-up letter", {6, 0, Api::sized, SHEETLAY_SIZE_LETTER}, true});
}

// ---------------------------------------------------------------------------
// The measure itself: pages that lost their fonts or images, or were turned
// upside down, must fail it.

// The file rewritten by qpdf in its plain-text form with every name `name`
// standing alone (not the start of a longer name) renamed in place, so that a
// resource dictionary no longer offers that kind of resource. "" when the
// file has no such name.
std::string without(const std::string &input, const std::string &name) {
    const std::string qdf = testtools::tmp_path("qdf");
    testtools::CmdResult r = testtools::run_cmd(
        {testtools::qpdf_path(), "--qdf", "--object-streams=disable", input, qdf});
    std::string t = testtools::read_file(qdf).value_or("");
    testtools::remove_file(qdf);
    EXPECT_TRUE((r.status == 0 || r.status == 3) && !t.empty()) << r.out;
    bool renamed = false;
    for (size_t p = 0; (p = t.find(name, p)) != std::string::npos;) {
        const size_t e = p + name.size();
        if (e < t.size() && !std::isalnum(static_cast<unsigned char>(t[e]))) {
            t[e - 1] = 'x';
            renamed = true;
        }
        p = e;
    }
    return renamed ? testtools::write_temp(t, "broken") : "";
}

TEST(CorpusNup, MeasureRejectsBrokenPages) {
    REQUIRE_E2E_TOOLS();
    struct Breakage {
        const char *what;
        const char *name;  // the resource kind taken away
    };
    const Breakage breakages[] = {{"no fonts", "/Font"}, {"no XObjects", "/XObject"}};
    int rejected = 0;
    for (const auto &f : testtools::corpus_files()) {
        SCOPED_TRACE(base_name(f));
        const int pages = testtools::pdfinfo_pages(f);
        std::optional<std::vector<PageGeom>> geom = page_geometry(f, pages);
        ASSERT_TRUE(geom.has_value());
        std::vector<std::string> broken;
        for (const auto &b : breakages) broken.push_back(without(f, b.name));
        for (int i = 0; i < pages; ++i) {
            // The size the page gets in a 4-up sheet.
            const PageGeom &pg = (*geom)[static_cast<size_t>(i)];
            const double W = (*geom)[0].w, H = (*geom)[0].h, k = kSheetPx / std::max(W, H);
            Rect r = placement(4, 0, W, H, pg, i);
            const int w = std::max(1, static_cast<int>(std::lround((r.x1 - r.x0) * k)));
            const int h = std::max(1, static_cast<int>(std::lround((r.y1 - r.y0) * k)));
            std::optional<Gray> ref = render_exact(f, i + 1, pg.rot, w, h);
            ASSERT_TRUE(ref.has_value());

            // Upside down: rejected unless the page looks the same turned.
            Verdict turned = judge(testtools::rotate_cw(*ref, 180), *ref);
            if (turned.diff > 0.5 * turned.ink) {
                EXPECT_FALSE(turned.ok()) << "page " << i + 1 << " upside down: " << describe(turned);
                ++rejected;
            }
            std::printf("[broken] %s p%d upside down: %s\n", base_name(f).c_str(), i + 1,
                        describe(turned).c_str());
            for (size_t b = 0; b < broken.size(); ++b) {
                if (broken[b].empty()) continue;
                std::optional<Gray> img = render_exact(broken[b], i + 1, pg.rot, w, h);
                ASSERT_TRUE(img.has_value());
                Verdict v = judge(*img, *ref);
                // A loss of a tenth of the page's ink must not pass (smaller
                // ones exist: a few words beside a large picture).
                if (-v.dink >= std::max(0.1 * v.ink, 0.05)) {
                    EXPECT_FALSE(v.ok()) << "page " << i + 1 << " with " << breakages[b].what
                                         << ": " << describe(v);
                    ++rejected;
                }
                std::printf("[broken] %s p%d %s: %s\n", base_name(f).c_str(), i + 1,
                            breakages[b].what, describe(v).c_str());
            }
        }
        for (const auto &b : broken)
            if (!b.empty()) testtools::remove_file(b);
    }
    EXPECT_GT(rejected, 0);
}

// ---------------------------------------------------------------------------
// Encrypted input

TEST(CorpusNup, EncryptedInputRefused) {
    struct EncryptedCase {
        const char *name;
        bool xref_stream;
        bool indirect;
    };
    const EncryptedCase cases[] = {
        {"table, direct dictionary", false, false},
        {"table, indirect dictionary", false, true},
        {"cross-reference stream", true, false},
    };
    const std::string enc_dict = "<< /Filter /Standard /V 1 /R 2 /P -4 /O <" +
                                 std::string(64, '1') + "> /U <" + std::string(64, '2') + "> >>";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pdfgen::DocSpec plan;
        plan.pages.push_back({});
        plan.pages.push_back({});
        plan.xref_stream = c.xref_stream;
        const int enc = pdfgen::first_free_num(plan) + 10;
        if (c.indirect) plan.objects.push_back({enc, enc_dict});
        plan.trailer_extra = " /Encrypt " + (c.indirect ? std::to_string(enc) + " 0 R" : enc_dict) +
                             " /ID [<0123456789abcdef0123456789abcdef> "
                             "<0123456789abcdef0123456789abcdef>]";
        const std::string in = testtools::write_temp(pdfgen::make_doc(plan), "encrypted");
        const std::string out = testtools::tmp_path("encrypted-out");
        EXPECT_EQ(sheetlay_create(in.c_str(), out.c_str(), 2, 0), 0);
        EXPECT_EQ(std::string(sheetlay_last_error()), "encrypted PDFs are not supported: " + in);
        EXPECT_FALSE(testtools::file_exists(out));
        testtools::remove_file(in);
        testtools::remove_file(out);
    }
}

}  // namespace
