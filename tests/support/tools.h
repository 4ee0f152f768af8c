// Test helpers: temporary files, running external programs, and the outside
// checks the tests rely on (qpdf's structural check, poppler's page count and
// rendering, nm).
//
// Tool paths come from the build (SHEETLAY_QPDF, SHEETLAY_PDFTOPPM,
// SHEETLAY_PDFINFO, SHEETLAY_NM); an empty path means the tool was not found,
// and a test that needs it skips with one of the REQUIRE_* macros below.
#ifndef SHEETLAY_TEST_TOOLS_H
#define SHEETLAY_TEST_TOOLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/pdfgen.h"

namespace testtools {

// ---------------------------------------------------------------------------
// Files

// The folder for temporary files (SHEETLAY_TEST_TMP).
std::string tmp_dir();
// The first 16 bytes of the SHA-256 of `bytes`, in hex: a short name for
// an output that tests compare with a recorded one.
std::string hex_digest(std::string_view bytes);

// A new, unused path in tmp_dir: "<stem>-<pid>-<counter><ext>". Not created.
std::string tmp_path(std::string_view stem = "t", std::string_view ext = ".pdf");
// Writes `bytes` to a fresh tmp_path and returns that path (fails the
// current test and returns "" when the write fails).
std::string write_temp(std::string_view bytes, std::string_view stem = "t",
                       std::string_view ext = ".pdf");
bool write_file(const std::string &path, std::string_view bytes);
std::optional<std::string> read_file(const std::string &path);
bool file_exists(const std::string &path);
void remove_file(const std::string &path);

// The corpus folder (SHEETLAY_CORPUS_DIR), "" when not configured, and its
// *.pdf files as full paths in name order.
std::string corpus_dir();
std::vector<std::string> corpus_files();

// ---------------------------------------------------------------------------
// Running programs

struct CmdResult {
    int status = -1;  // exit status; 128 + signal when killed; 127 when it could not start
    std::string out;  // stdout and stderr together
};

// Runs argv[0] with the arguments argv[1..] (no shell involved) and waits.
CmdResult run_cmd(const std::vector<std::string> &argv);

// Tool paths ("" when absent) and presence.
std::string qpdf_path();
std::string pdftoppm_path();
std::string pdfinfo_path();
std::string nm_path();
bool have_qpdf();
bool have_pdftoppm();
bool have_pdfinfo();
bool have_nm();

// ---------------------------------------------------------------------------
// qpdf

struct QpdfResult {
    bool skipped = false;  // qpdf not available
    int status = -1;       // 0 clean, 2 errors, 3 warnings only
    std::string out;
    bool clean() const { return !skipped && status == 0; }
    bool usable() const { return !skipped && (status == 0 || status == 3); }
};

// `qpdf --check path`.
QpdfResult qpdf_check(const std::string &path);

// ---------------------------------------------------------------------------
// poppler

// Page count from pdfinfo, or -1 when pdfinfo fails or is absent.
int pdfinfo_pages(const std::string &path);

// Size of a page as pdfinfo reports it (points, after the page's rotation is
// applied, i.e. as displayed) and its rotation.
struct PageSize {
    double w = 0, h = 0;
    int rot = 0;
};
std::optional<PageSize> pdfinfo_page_size(const std::string &path, int page);

// An 8-bit grey image, rows top to bottom, 0 black and 255 white.
struct Gray {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    uint8_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
    bool empty() const { return w <= 0 || h <= 0; }
    double mean() const;  // average value, 255 for an empty image
};

// Renders one page (1-based) with `pdftoppm -gray`: at `dpi`, or, with
// render_gray_fit, scaled so that its longer side has `size` pixels.
// nullopt when pdftoppm fails or is absent.
std::optional<Gray> render_gray(const std::string &pdf, int page, int dpi = 72);
std::optional<Gray> render_gray_fit(const std::string &pdf, int page, int size);

// Parses a binary PGM (P5, maxval <= 255).
std::optional<Gray> parse_pgm(std::string_view bytes);

// Box-filter scaling to w x h.
Gray downscale(const Gray &img, int w, int h);

// Mean absolute difference (0..255) after scaling both images to the
// smaller of their widths and heights; 255 when either is empty.
double mean_abs_diff(const Gray &a, const Gray &b);

// The part of a rendered sheet that shows the rectangle [x0,x1] x [y0,y1] in
// PDF units (origin at the bottom left) of a sheet of sheet_w x sheet_h
// points. The rectangle is clipped to the sheet.
Gray crop_pdf_rect(const Gray &sheet, double sheet_w, double sheet_h, double x0, double y0,
                   double x1, double y1);

// Turns an image by 90, 180 or 270 degrees clockwise (other values: a copy).
Gray rotate_cw(const Gray &img, int degrees);

}  // namespace testtools

// Skip the current test when a tool or the corpus is not available.
#define REQUIRE_QPDF() \
    if (!::testtools::have_qpdf()) GTEST_SKIP() << "qpdf not found"
#define REQUIRE_PDFTOPPM() \
    if (!::testtools::have_pdftoppm()) GTEST_SKIP() << "pdftoppm not found"
#define REQUIRE_PDFINFO() \
    if (!::testtools::have_pdfinfo()) GTEST_SKIP() << "pdfinfo not found"
#define REQUIRE_NM() \
    if (!::testtools::have_nm()) GTEST_SKIP() << "nm not found"
#define REQUIRE_ZLIB() \
    if (!::pdfgen::have_zlib()) GTEST_SKIP() << "built without zlib"
#define REQUIRE_CORPUS() \
    if (::testtools::corpus_dir().empty()) GTEST_SKIP() << "SHEETLAY_CORPUS_DIR not set"

#endif
