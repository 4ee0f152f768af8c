#include "support/tools.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto/sha2.h"

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifndef SHEETLAY_TEST_TMP
#define SHEETLAY_TEST_TMP ""
#endif
#ifndef SHEETLAY_CORPUS_DIR
#define SHEETLAY_CORPUS_DIR ""
#endif
#ifndef SHEETLAY_QPDF
#define SHEETLAY_QPDF ""
#endif
#ifndef SHEETLAY_PDFTOPPM
#define SHEETLAY_PDFTOPPM ""
#endif
#ifndef SHEETLAY_PDFINFO
#define SHEETLAY_PDFINFO ""
#endif
#ifndef SHEETLAY_NM
#define SHEETLAY_NM ""
#endif

namespace fs = std::filesystem;

namespace testtools {

namespace {

// CMake writes "<VAR>-NOTFOUND" for a program it did not find.
std::string tool(const char *configured) {
    std::string p = configured;
    if (p.empty() || p.find("NOTFOUND") != std::string::npos) return "";
    std::error_code ec;
    if (!fs::exists(p, ec)) return "";
    return p;
}

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

}  // namespace

// ---------------------------------------------------------------------------
// Files

std::string hex_digest(std::string_view bytes) {
    sheetlay::crypto::Sha256 h;
    h.update(bytes.data(), bytes.size());
    uint8_t d[32];
    h.finish(d);
    std::string s;
    for (int i = 0; i < 16; ++i) {
        s += "0123456789abcdef"[d[i] >> 4];
        s += "0123456789abcdef"[d[i] & 15];
    }
    return s;
}

std::string tmp_dir() {
    std::string d = SHEETLAY_TEST_TMP;
    if (d.empty()) d = fs::temp_directory_path().string();
    std::error_code ec;
    fs::create_directories(d, ec);
    return d;
}

std::string tmp_path(std::string_view stem, std::string_view ext) {
    static std::atomic<unsigned> counter{0};
    const std::string dir = tmp_dir();
    for (;;) {
        std::string name = std::string(stem) + "-" + std::to_string(process_id()) + "-" +
                           std::to_string(counter++) + std::string(ext);
        std::string p = (fs::path(dir) / name).string();
        if (!file_exists(p)) return p;
    }
}

bool write_file(const std::string &path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string write_temp(std::string_view bytes, std::string_view stem, std::string_view ext) {
    std::string p = tmp_path(stem, ext);
    if (!write_file(p, bytes)) {
        ADD_FAILURE() << "cannot write " << p;
        return "";
    }
    return p;
}

std::optional<std::string> read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void remove_file(const std::string &path) {
    std::error_code ec;
    fs::remove(path, ec);
}

std::string corpus_dir() {
    std::string d = SHEETLAY_CORPUS_DIR;
    std::error_code ec;
    if (d.empty() || !fs::is_directory(d, ec)) return "";
    return d;
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    const std::string d = corpus_dir();
    if (d.empty()) return files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(d, ec)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
            return static_cast<char>(std::tolower(c));
        });
        if (e.is_regular_file(ec) && ext == ".pdf") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// ---------------------------------------------------------------------------
// Running programs

#ifndef _WIN32
CmdResult run_cmd(const std::vector<std::string> &argv) {
    CmdResult r;
    if (argv.empty()) return r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n > 0) {
            r.out.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return r;
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.status = 128 + WTERMSIG(st);
    return r;
}
#else
CmdResult run_cmd(const std::vector<std::string> &argv) {
    CmdResult r;
    if (argv.empty()) return r;
    std::string line = "\"";
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i) line += ' ';
        line += '"' + argv[i] + '"';
    }
    line += " 2>&1\"";
    FILE *p = _popen(line.c_str(), "rb");
    if (!p) return r;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) r.out.append(chunk, n);
    r.status = _pclose(p);
    return r;
}
#endif

std::string qpdf_path() { return tool(SHEETLAY_QPDF); }
std::string pdftoppm_path() { return tool(SHEETLAY_PDFTOPPM); }
std::string pdfinfo_path() { return tool(SHEETLAY_PDFINFO); }
std::string nm_path() { return tool(SHEETLAY_NM); }
bool have_qpdf() { return !qpdf_path().empty(); }
bool have_pdftoppm() { return !pdftoppm_path().empty(); }
bool have_pdfinfo() { return !pdfinfo_path().empty(); }
bool have_nm() { return !nm_path().empty(); }

QpdfResult qpdf_check(const std::string &path) {
    QpdfResult q;
    if (!have_qpdf()) {
        q.skipped = true;
        return q;
    }
    CmdResult r = run_cmd({qpdf_path(), "--check", path});
    q.status = r.status;
    q.out = r.out;
    return q;
}

// ---------------------------------------------------------------------------
// poppler

int pdfinfo_pages(const std::string &path) {
    if (!have_pdfinfo()) return -1;
    CmdResult r = run_cmd({pdfinfo_path(), path});
    if (r.status != 0) return -1;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Pages:", 0) == 0) return std::atoi(line.c_str() + 6);
    }
    return -1;
}

std::optional<PageSize> pdfinfo_page_size(const std::string &path, int page) {
    if (!have_pdfinfo()) return std::nullopt;
    const std::string p = std::to_string(page);
    CmdResult r = run_cmd({pdfinfo_path(), "-f", p, "-l", p, path});
    if (r.status != 0) return std::nullopt;
    PageSize ps;
    bool have_size = false;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        int n = 0;
        double w = 0, h = 0;
        int rot = 0;
        if (std::sscanf(line.c_str(), "Page %d size: %lf x %lf", &n, &w, &h) == 3 && n == page) {
            ps.w = w;
            ps.h = h;
            have_size = true;
        } else if (std::sscanf(line.c_str(), "Page %d rot: %d", &n, &rot) == 2 && n == page) {
            ps.rot = rot;
        }
    }
    if (!have_size) return std::nullopt;
    return ps;
}

double Gray::mean() const {
    if (empty()) return 255;
    double s = 0;
    for (uint8_t v : px) s += v;
    return s / static_cast<double>(px.size());
}

std::optional<Gray> parse_pgm(std::string_view b) {
    size_t pos = 0;
    // The next header number, skipping white space and comments.
    auto number = [&](long &out) -> bool {
        for (;;) {
            while (pos < b.size() && std::isspace(static_cast<unsigned char>(b[pos]))) ++pos;
            if (pos < b.size() && b[pos] == '#') {
                while (pos < b.size() && b[pos] != '\n') ++pos;
                continue;
            }
            break;
        }
        if (pos >= b.size() || !std::isdigit(static_cast<unsigned char>(b[pos]))) return false;
        out = 0;
        while (pos < b.size() && std::isdigit(static_cast<unsigned char>(b[pos]))) {
            out = out * 10 + (b[pos] - '0');
            if (out > 1000000) return false;
            ++pos;
        }
        return true;
    };
    if (b.size() < 2 || b[0] != 'P' || b[1] != '5') return std::nullopt;
    pos = 2;
    long w, h, maxval;
    if (!number(w) || !number(h) || !number(maxval)) return std::nullopt;
    if (w <= 0 || h <= 0 || maxval <= 0 || maxval > 255) return std::nullopt;
    if (pos >= b.size()) return std::nullopt;
    ++pos;  // the single white-space byte before the raster
    const size_t need = static_cast<size_t>(w) * static_cast<size_t>(h);
    if (b.size() - pos < need) return std::nullopt;
    Gray g;
    g.w = static_cast<int>(w);
    g.h = static_cast<int>(h);
    g.px.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                b.begin() + static_cast<std::ptrdiff_t>(pos + need));
    if (maxval != 255)
        for (auto &v : g.px) v = static_cast<uint8_t>(std::min<long>(255, v * 255 / maxval));
    return g;
}

namespace {

std::optional<Gray> render(const std::string &pdf, int page, const std::vector<std::string> &how) {
    if (!have_pdftoppm()) return std::nullopt;
    const std::string prefix = tmp_path("render", "");
    const std::string p = std::to_string(page);
    std::vector<std::string> argv = {pdftoppm_path(), "-gray", "-f", p, "-l", p, "-singlefile"};
    argv.insert(argv.end(), how.begin(), how.end());
    argv.push_back(pdf);
    argv.push_back(prefix);
    CmdResult r = run_cmd(argv);
    const std::string file = prefix + ".pgm";
    std::optional<std::string> bytes = read_file(file);
    remove_file(file);
    if (r.status != 0 || !bytes) return std::nullopt;
    return parse_pgm(*bytes);
}

}  // namespace

std::optional<Gray> render_gray(const std::string &pdf, int page, int dpi) {
    return render(pdf, page, {"-r", std::to_string(dpi)});
}

std::optional<Gray> render_gray_fit(const std::string &pdf, int page, int size) {
    return render(pdf, page, {"-scale-to", std::to_string(size)});
}

Gray downscale(const Gray &img, int w, int h) {
    Gray out;
    if (img.empty() || w <= 0 || h <= 0) return out;
    out.w = w;
    out.h = h;
    out.px.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        int sy0 = static_cast<int>(static_cast<int64_t>(y) * img.h / h);
        int sy1 = std::max(sy0 + 1, static_cast<int>(static_cast<int64_t>(y + 1) * img.h / h));
        for (int x = 0; x < w; ++x) {
            int sx0 = static_cast<int>(static_cast<int64_t>(x) * img.w / w);
            int sx1 = std::max(sx0 + 1, static_cast<int>(static_cast<int64_t>(x + 1) * img.w / w));
            uint64_t sum = 0;
            for (int sy = sy0; sy < sy1; ++sy)
                for (int sx = sx0; sx < sx1; ++sx) sum += img.at(sx, sy);
            const uint64_t n = static_cast<uint64_t>(sy1 - sy0) * static_cast<uint64_t>(sx1 - sx0);
            out.px[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>((sum + n / 2) / n);
        }
    }
    return out;
}

double mean_abs_diff(const Gray &a, const Gray &b) {
    if (a.empty() || b.empty()) return 255;
    const int w = std::min(a.w, b.w), h = std::min(a.h, b.h);
    const Gray sa = (a.w == w && a.h == h) ? a : downscale(a, w, h);
    const Gray sb = (b.w == w && b.h == h) ? b : downscale(b, w, h);
    double sum = 0;
    for (size_t i = 0; i < sa.px.size(); ++i) sum += std::abs(int(sa.px[i]) - int(sb.px[i]));
    return sum / static_cast<double>(sa.px.size());
}

Gray crop_pdf_rect(const Gray &sheet, double sheet_w, double sheet_h, double x0, double y0,
                   double x1, double y1) {
    Gray out;
    if (sheet.empty() || sheet_w <= 0 || sheet_h <= 0) return out;
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    auto px_x = [&](double x) {
        return std::clamp(static_cast<int>(std::lround(x / sheet_w * sheet.w)), 0, sheet.w);
    };
    auto px_y = [&](double y) {  // PDF y grows upwards, image rows downwards
        return std::clamp(static_cast<int>(std::lround((sheet_h - y) / sheet_h * sheet.h)), 0,
                          sheet.h);
    };
    const int left = px_x(x0), right = px_x(x1), top = px_y(y1), bottom = px_y(y0);
    if (right <= left || bottom <= top) return out;
    out.w = right - left;
    out.h = bottom - top;
    out.px.reserve(static_cast<size_t>(out.w) * static_cast<size_t>(out.h));
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) out.px.push_back(sheet.at(x, y));
    return out;
}

Gray rotate_cw(const Gray &img, int degrees) {
    degrees = ((degrees % 360) + 360) % 360;
    if (img.empty() || (degrees != 90 && degrees != 180 && degrees != 270)) return img;
    Gray out;
    const bool swap = degrees != 180;
    out.w = swap ? img.h : img.w;
    out.h = swap ? img.w : img.h;
    out.px.resize(img.px.size());
    for (int y = 0; y < img.h; ++y) {
        for (int x = 0; x < img.w; ++x) {
            int nx, ny;
            if (degrees == 90) {
                nx = img.h - 1 - y;
                ny = x;
            } else if (degrees == 180) {
                nx = img.w - 1 - x;
                ny = img.h - 1 - y;
            } else {
                nx = y;
                ny = img.w - 1 - x;
            }
            out.px[static_cast<size_t>(ny) * out.w + nx] = img.at(x, y);
        }
    }
    return out;
}

}  // namespace testtools
