// The whole job, timed in fresh processes: the corpus's GeoTopo book and its
// ten-fold and fifty-fold copies made 4-up on A4 with pages only (keep 0),
// compact and uncompressed (and compact in memory), next to `cp` of the same input and PyMuPDF's 4-up by
// show_pdf_page when python3 can import fitz.
//
//   bench_job [rounds]            (default 7 rounds; --benchmark_* options,
//                                  or SHEETLAY_BENCH_QUICK=1, make it 1)
//
// The copies are made once with qpdf --empty --pages (from separate files,
// so that they share no objects) into bench_job-inputs/ beside this program. Every job is this program started again (a fresh
// process: `bench_job --job MODE IN OUT`), the modes of one input one after
// another in each round, rounds alternating, medians printed. For each job:
// the wall time of the whole process (what `cp` is timed by too), its CPU
// time (user and system: on a busy machine the steadier figure), the time
// of the call inside it, the peak RSS the kernel reports above that of a
// process that only starts (idle) and above the input's size, and the size
// of the output.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sheetlay.h"

namespace {

using clock_type = std::chrono::steady_clock;

long file_size(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string quote(const std::string &s) { return "'" + s + "'"; }

int page_count(const std::string &pdf) {
    std::string cmd = "qpdf --show-npages " + quote(pdf) + " 2>/dev/null";
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return -1;
    int n = -1;
    if (std::fscanf(f, "%d", &n) != 1) n = -1;
    pclose(f);
    return n;
}

// ---------------------------------------------------------------------------
// One job, in the child: prints the call's seconds on stdout.

int job(const char *mode, const char *in, const char *out) {
    if (std::strcmp(mode, "idle") == 0) {
        std::printf("0\n");
        return 0;
    }
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.compress = std::strcmp(mode, "none") == 0 ? SHEETLAY_COMPRESS_NONE : SHEETLAY_COMPRESS_COMPACT;
    // 4-up on A4, pages only (no links, annotations, outline or info).
    o.sheet_width = 595.28;
    o.sheet_height = 841.89;
    o.keep = 0;
    char err[256];
    if (std::strcmp(mode, "mem") == 0) {
        // The input read into memory stands for the host's copy of it.
        std::vector<char> data(static_cast<size_t>(std::max(0L, file_size(in))));
        FILE *f = std::fopen(in, "rb");
        if (!f || std::fread(data.data(), 1, data.size(), f) != data.size()) return 1;
        std::fclose(f);
        auto t0 = clock_type::now();
        void *p = nullptr;
        size_t n = 0;
        if (!sheetlay_nup_mem(data.data(), data.size(), &p, &n, &o, err, sizeof err)) {
            std::fprintf(stderr, "sheetlay_nup_mem: %s\n", err);
            return 1;
        }
        double s = std::chrono::duration<double>(clock_type::now() - t0).count();
        FILE *w = std::fopen(out, "wb");
        if (w) {
            std::fwrite(p, 1, n, w);
            std::fclose(w);
        }
        sheetlay_free(p);
        std::printf("%.6f\n", s);
        return 0;
    }
    auto t0 = clock_type::now();
    if (!sheetlay_nup(in, out, &o, err, sizeof err)) {
        std::fprintf(stderr, "sheetlay_nup: %s\n", err);
        return 1;
    }
    std::printf("%.6f\n", std::chrono::duration<double>(clock_type::now() - t0).count());
    return 0;
}

// ---------------------------------------------------------------------------
// The parent

struct sample {
    double wall = -1, call = -1, cpu = -1;
    long peak_kib = -1;
};

// Runs argv in a fresh process; its wall time, the seconds it printed (when
// it printed a number) and its peak RSS.
sample spawn(const std::vector<std::string> &argv) {
    sample r;
    int fd[2];
    if (pipe(fd) != 0) return r;
    auto t0 = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        dup2(fd[1], 1);
        std::vector<char *> a;
        for (const std::string &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    close(fd[1]);
    std::string text;
    char b[256];
    for (ssize_t n; (n = read(fd[0], b, sizeof b)) > 0;) text.append(b, static_cast<size_t>(n));
    close(fd[0]);
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return r;
    r.wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    r.peak_kib = ru.ru_maxrss;
    r.cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    if (!text.empty()) r.call = std::atof(text.c_str());
    return r;
}

const char kPyNup[] = R"PY(
import sys, fitz
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
)PY";

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct mode_stats {
    std::string name;
    std::vector<std::string> argv;  // IN and OUT are put in
    std::vector<double> wall, call, cpu;
    long peak_kib = -1;
    long size = -1;
};

struct scale {
    std::string name, path;
    long bytes = 0;
    std::vector<mode_stats> modes;
};

const mode_stats *find(const scale &s, const char *name) {
    for (const mode_stats &m : s.modes)
        if (m.name == name) return &m;
    return nullptr;
}

double wall_of(const scale &s, const char *name) {
    const mode_stats *m = find(s, name);
    return m ? median(m->wall) : -1;
}

double cpu_of(const scale &s, const char *name) {
    const mode_stats *m = find(s, name);
    return m ? median(m->cpu) : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--job") == 0) return job(argv[2], argv[3], argv[4]);
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark", 11) == 0)
            rounds = 1;  // the CI's short run of every benchmark program
        else if (argv[i][0] != '-')
            rounds = std::max(1, std::atoi(argv[i]));
    }
    if (std::getenv("SHEETLAY_BENCH_QUICK")) rounds = 1;

    const char *cdir = std::getenv("SHEETLAY_CORPUS_DIR");
    const std::string corpus = std::string(cdir && *cdir ? cdir : "/work/shared/corpus");
    const std::string geo = corpus + "/GeoTopo-komprimiert.pdf";
    const int pages = page_count(geo);
    if (pages <= 0) {
        std::printf("skipped: needs qpdf and %s\n", geo.c_str());
        return 0;
    }
    char self[4096];
    ssize_t sl = readlink("/proc/self/exe", self, sizeof self - 1);
    if (sl <= 0) return 1;
    self[sl] = '\0';
    std::string exe = self;
    std::string here = exe.substr(0, exe.rfind('/'));
    std::string dir = here + "/bench_job-inputs";
    std::system(("mkdir -p " + quote(dir)).c_str());
    std::string work = "/tmp/bench_job." + std::to_string(getpid());
    std::system(("mkdir -p " + quote(work)).c_str());

    std::vector<scale> scales;
    for (int copies : {1, 10, 50}) {
        scale s;
        s.name = copies == 1 ? "GeoTopo" : std::to_string(copies) + "-fold";
        s.path = copies == 1 ? geo : dir + "/GeoTopo-x" + std::to_string(copies) + ".pdf";
        if (copies > 1 && page_count(s.path) != pages * copies) {
            // qpdf shares the objects of a file named twice: the copies are
            // made from files of their own (the fifty-fold from five copies
            // of the ten-fold), so that every page carries its own objects.
            const std::string from = copies == 10 ? geo : scales[1].path;
            const int parts = copies == 10 ? 10 : copies / 10;
            std::string cmd = "qpdf --empty --pages";
            for (int i = 0; i < parts; ++i) {
                std::string part = work + "/part" + std::to_string(i) + ".pdf";
                std::system(("cp " + quote(from) + " " + quote(part)).c_str());
                cmd += " " + quote(part);
            }
            cmd += " -- " + quote(s.path) + " 2>/dev/null";
            std::system(cmd.c_str());
            std::system(("rm -f " + quote(work) + "/part*.pdf").c_str());
            if (page_count(s.path) != pages * copies) {
                std::printf("skipped: qpdf could not make %s\n", s.path.c_str());
                return 0;
            }
        }
        s.bytes = file_size(s.path);
        scales.push_back(s);
    }
    const bool have_fitz = std::system("python3 -c 'import fitz' 2>/dev/null") == 0;
    const std::string script = work + "/nup.py";
    if (have_fitz) {
        FILE *f = std::fopen(script.c_str(), "w");
        if (f) {
            std::fputs(kPyNup, f);
            std::fclose(f);
        }
    }
    for (scale &s : scales) {
        s.modes.push_back({"cp", {"cp", "IN", "OUT"}});
        s.modes.push_back({"uncompressed", {exe, "--job", "none", "IN", "OUT"}});
        s.modes.push_back({"compact", {exe, "--job", "compact", "IN", "OUT"}});
        s.modes.push_back({"compact, memory", {exe, "--job", "mem", "IN", "OUT"}});
        // PyMuPDF takes seconds a round on the large copies: GeoTopo and the
        // ten-fold copy only.
        if (have_fitz && &s != &scales.back()) s.modes.push_back({"PyMuPDF", {"python3", script, "IN", "OUT"}});
    }

    sample idle;
    for (int i = 0; i < 3; ++i) {
        sample x = spawn({exe, "--job", "idle", "-", "-"});
        if (idle.peak_kib < 0 || (x.peak_kib > 0 && x.peak_kib < idle.peak_kib)) idle = x;
    }
    for (int r = 0; r < rounds; ++r) {
        for (scale &s : scales) {
            for (mode_stats &m : s.modes) {
                std::string out = work + "/out-" + std::to_string(&m - &s.modes[0]) + ".pdf";
                std::vector<std::string> a = m.argv;
                for (std::string &x : a) x = x == "IN" ? s.path : x == "OUT" ? out : x;
                sample x = spawn(a);
                if (x.wall < 0) {
                    std::printf("%s %s failed\n", s.name.c_str(), m.name.c_str());
                    continue;
                }
                m.wall.push_back(x.wall);
                m.cpu.push_back(x.cpu);
                if (x.call >= 0 && m.name != "PyMuPDF") m.call.push_back(x.call);
                m.peak_kib = std::max(m.peak_kib, x.peak_kib);
                m.size = file_size(out);
                std::remove(out.c_str());
            }
        }
    }

    std::printf("%d round(s), medians; idle process %.1f MiB\n", rounds, idle.peak_kib / 1024.0);
    std::printf("%-10s %-16s %10s %10s %10s %12s %12s %13s\n", "input", "job", "process", "CPU", "call",
                "peak-idle", "above input", "output");
    for (const scale &s : scales) {
        for (const mode_stats &m : s.modes) {
            if (m.wall.empty()) continue;
            double above_idle = (m.peak_kib - idle.peak_kib) / 1024.0;
            std::printf("%-10s %-16s %8.1f ms %8.1f ms %8.1f ms %8.1f MiB %8.1f MiB %13ld\n", s.name.c_str(),
                        m.name.c_str(), median(m.wall) * 1e3, median(m.cpu) * 1e3, m.call.empty() ? -1.0 : median(m.call) * 1e3,
                        above_idle, above_idle - s.bytes / 1048576.0, m.size);
        }
        std::printf("%-10s input %ld bytes\n", "", s.bytes);
    }

    // The goals.
    const scale &one = scales[0], &ten = scales[1], &fifty = scales[2];
    std::printf("\ngoals (process wall times):\n");
    for (const char *mode : {"compact", "uncompressed"}) {
        const mode_stats *m = find(fifty, mode);
        if (m)
            std::printf("  fifty-fold %-12s peak above input %.1f MiB (goal <= 16)\n", mode,
                        (m->peak_kib - idle.peak_kib) / 1024.0 - fifty.bytes / 1048576.0);
    }
    if (const mode_stats *m = find(fifty, "compact, memory"))
        std::printf("  fifty-fold memory call   peak above input + output %.1f MiB (goal <= 16)\n",
                    (m->peak_kib - idle.peak_kib) / 1024.0 - (fifty.bytes + m->size) / 1048576.0);
    std::printf("  ten-fold compact / cp          %.2f, CPU %.2f (goal <= 4)\n",
                wall_of(ten, "compact") / wall_of(ten, "cp"), cpu_of(ten, "compact") / cpu_of(ten, "cp"));
    if (have_fitz)
        std::printf("  ten-fold PyMuPDF / compact     %.1f (goal >= 30)\n",
                    wall_of(ten, "PyMuPDF") / wall_of(ten, "compact"));
    else
        std::printf("  PyMuPDF: python3 cannot import fitz, not measured\n");
    std::printf("  GeoTopo compact / uncompressed %.2f, CPU %.2f (goal <= 0.5)\n",
                wall_of(one, "compact") / wall_of(one, "uncompressed"),
                cpu_of(one, "compact") / cpu_of(one, "uncompressed"));
    std::printf("  fifty-fold / ten-fold compact  %.2f, CPU %.2f (goal <= 5.5)\n",
                wall_of(fifty, "compact") / wall_of(ten, "compact"), cpu_of(fifty, "compact") / cpu_of(ten, "compact"));
    std::system(("rm -rf " + quote(work)).c_str());
    return 0;
}
