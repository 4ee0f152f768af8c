// The whole job, timed: a document of 1,000+ pages made 4-up, compact and
// uncompressed, with time, output size and peak memory of each; next to it
// PyMuPDF's 4-up by show_pdf_page (when python3 can import fitz) and the
// sizes qpdf reaches by rewriting the outputs with object streams.
//
//   bench_job [input.pdf [pages [runs]]]   (--options are ignored)
//
// The large document repeats the input's pages until it has at least
// `pages` pages (1,170 by default), made with qpdf --pages. Every
// measurement runs in a child process of its own, so that ru_maxrss is the
// peak of that job alone (it includes loading the input and the library).
// Times are the best of `runs` (5) inside that child.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sheetlay.h"

namespace {

long file_size(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string quote(const std::string &s) { return "'" + s + "'"; }

int run_shell(const std::string &cmd) { return std::system(cmd.c_str()); }

// The page count qpdf reports, or -1.
int page_count(const std::string &pdf) {
    std::string cmd = "qpdf --show-npages " + quote(pdf) + " 2>/dev/null";
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return -1;
    int n = -1;
    if (std::fscanf(f, "%d", &n) != 1) n = -1;
    pclose(f);
    return n;
}

struct result {
    double seconds = -1;  // best run
    long size = -1;
    long peak_kib = -1;
    double cpu = -1;  // user + system seconds of the whole child, per run
};

// Runs `work` (which writes its best time in seconds to the pipe) in a
// child and takes its peak memory from the kernel.
template <class F>
result in_child(F work, int runs) {
    int fd[2];
    result r;
    if (pipe(fd) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        double s = work();
        if (write(fd[1], &s, sizeof s) != sizeof s) _exit(2);
        _exit(0);
    }
    close(fd[1]);
    double s = -1;
    if (read(fd[0], &s, sizeof s) != sizeof s) s = -1;
    close(fd[0]);
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        r.seconds = s;
        r.peak_kib = ru.ru_maxrss;
        r.cpu = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                 (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6) /
                runs;
    }
    return r;
}

result ours(const std::string &in, const std::string &out, int compress, int runs) {
    result r = in_child([&] {
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.compress = compress;
        double best = 1e9;
        for (int i = 0; i < runs; ++i) {
            auto t0 = std::chrono::steady_clock::now();
            char err[256];
            if (!sheetlay_nup(in.c_str(), out.c_str(), &o, err, sizeof err)) {
                std::fprintf(stderr, "sheetlay_nup: %s\n", err);
                _exit(1);
            }
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        return best;
    }, runs);
    r.size = file_size(out);
    return r;
}

const char kPyNup[] = R"PY(
import sys, time, fitz
best = 1e9
for _ in range(int(sys.argv[3])):
    t = time.perf_counter()
    src = fitz.open(sys.argv[1])
    out = fitz.open()
    r = src[0].rect
    W, H = r.width, r.height
    cells = [fitz.Rect(0, 0, W / 2, H / 2), fitz.Rect(W / 2, 0, W, H / 2),
             fitz.Rect(0, H / 2, W / 2, H), fitz.Rect(W / 2, H / 2, W, H)]
    for i in range(0, len(src), 4):
        page = out.new_page(width=W, height=H)
        for k in range(4):
            if i + k < len(src):
                page.show_pdf_page(cells[k], src, i + k)
    out.save(sys.argv[2], garbage=3, deflate=True)
    best = min(best, time.perf_counter() - t)
print(best)
)PY";

result pymupdf(const std::string &py, const std::string &in, const std::string &out, int runs) {
    std::string script = out + ".py";
    FILE *f = std::fopen(script.c_str(), "w");
    if (!f) return result{};
    std::fputs(kPyNup, f);
    std::fclose(f);
    result r = in_child([&] {
        std::string cmd = py + " " + quote(script) + " " + quote(in) + " " + quote(out) + " " +
                          std::to_string(runs) + " 2>/dev/null";
        FILE *p = popen(cmd.c_str(), "r");
        double s = -1;
        if (!p || std::fscanf(p, "%lf", &s) != 1) s = -1;
        if (p && pclose(p) != 0) s = -1;
        if (s < 0) _exit(1);
        return s;
    }, runs);
    r.size = file_size(out);
    std::remove(script.c_str());
    return r;
}

// What qpdf makes of a file with object streams and recompressed Flate.
long qpdf_size(const std::string &in, const std::string &out) {
    std::string cmd = "qpdf --object-streams=generate --compress-streams=y --recompress-flate "
                      "--compression-level=9 " +
                      quote(in) + " " + quote(out) + " 2>/dev/null";
    int rc = run_shell(cmd);
    if (rc != 0 && !(WIFEXITED(rc) && WEXITSTATUS(rc) == 3)) return -1;
    return file_size(out);
}

void row(const char *name, const result &r) {
    std::printf("%-24s %9.4f s %9.4f s %11ld bytes %9.1f MiB\n", name, r.seconds, r.cpu, r.size,
                r.peak_kib / 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
    // Options of the other benchmark programs (--benchmark_...) are ignored.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--", 0) != 0) args.push_back(argv[i]);
    std::string input = args.size() > 0 ? args[0] : "";
    if (input.empty()) {
        const char *dir = std::getenv("SHEETLAY_CORPUS_DIR");
        input = std::string(dir ? dir : "/work/shared/corpus") + "/pdflatex-outline.pdf";
    }
    const int want = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 1170;
    const int runs = args.size() > 2 ? std::max(1, std::atoi(args[2].c_str())) : 5;
    std::string dir = "/tmp/bench_job." + std::to_string(getpid());
    run_shell("mkdir -p " + quote(dir));

    const int pages = page_count(input);
    if (pages <= 0) {
        std::printf("skipped: needs qpdf and a readable input (%s)\n", input.c_str());
        return 0;
    }
    const int copies = (want + pages - 1) / pages;
    std::string big = dir + "/big.pdf";
    std::string cmd = "qpdf --empty --pages";
    for (int i = 0; i < copies; ++i) cmd += " " + quote(input);
    cmd += " -- " + quote(big);
    if (run_shell(cmd) != 0 && page_count(big) <= 0) return 1;
    std::printf("input: %s, %d pages x %d = %d pages, %ld bytes\n", input.c_str(), pages, copies,
                page_count(big), file_size(big));
    std::printf("%-24s %11s %11s %17s %13s\n", "", "best time", "CPU/run", "size", "peak RSS");

    // What a child holds before any work: the peak memory a job adds is
    // counted above this.
    result idle = in_child([] { return 0.0; }, 1);
    result none = ours(big, dir + "/none.pdf", SHEETLAY_COMPRESS_NONE, runs);
    result compact = ours(big, dir + "/compact.pdf", SHEETLAY_COMPRESS_COMPACT, runs);
    row("sheetlay uncompressed", none);
    row("sheetlay compact", compact);

    const char *py = std::getenv("PYTHON");
    std::string python = py ? py : "/usr/bin/python3";
    result mu{};
    if (run_shell(python + " -c 'import fitz' 2>/dev/null") == 0) {
        mu = pymupdf(python, big, dir + "/pymupdf.pdf", std::min(runs, 3));  // CPU/run includes the start of python
        row("PyMuPDF show_pdf_page", mu);
    } else {
        std::printf("PyMuPDF: python3 cannot import fitz, skipped\n");
    }
    long q_none = qpdf_size(dir + "/none.pdf", dir + "/q_none.pdf");
    long q_mu = mu.size > 0 ? qpdf_size(dir + "/pymupdf.pdf", dir + "/q_mu.pdf") : -1;
    std::printf("qpdf of sheetlay uncompressed: %ld bytes\n", q_none);
    if (q_mu > 0) std::printf("qpdf of PyMuPDF output:         %ld bytes\n", q_mu);

    long smallest = -1;
    for (long s : {mu.size, q_none, q_mu})
        if (s > 0 && (smallest < 0 || s < smallest)) smallest = s;
    std::printf("\ncompact / smallest peer size: %.3f (goal <= 1)\n",
                smallest > 0 ? double(compact.size) / double(smallest) : -1.0);
    std::printf("compact / uncompressed time:  %.3f, CPU %.3f (goal <= 0.6)\n",
                compact.seconds / none.seconds, compact.cpu / none.cpu);
    if (mu.seconds > 0)
        std::printf("PyMuPDF / compact time:       %.1fx (goal >= 15)\n", mu.seconds / compact.seconds);
    std::printf("compact time:                 %.4f s (goal < 0.15 s)\n", compact.seconds);
    std::printf("compact peak - idle process - input - output: %.1f MiB (idle process %.1f MiB)\n",
                ((compact.peak_kib - idle.peak_kib) * 1024.0 - double(file_size(big)) -
                 double(compact.size)) / (1024.0 * 1024.0),
                idle.peak_kib / 1024.0);
    run_shell("rm -rf " + quote(dir));
    return 0;
}
