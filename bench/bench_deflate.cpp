// Flate encoding throughput and size, the library's encoder next to zlib's,
// on what the library compresses: the content of whole sheets (several
// pages placed with transformations), single pages' text operators, prose,
// and, when SHEETLAY_CORPUS_DIR names a folder of PDF files, the real
// content streams found there ("content"; each compressed on its own, as
// the writer does) and, for comparison, all their Flate streams ("streams":
// fonts and images as well). "MB/s" is in units of 10^6 input bytes; "size" is the compressed
// size of the whole sample.
//
//   bench_deflate [benchmark options]   Google Benchmark runs
//   bench_deflate --table [rounds] [levels] [input]
//                                       a table of our levels against zlib's
//                                       same levels, timed in turns; levels
//                                       is a digit string, "169" by default;
//                                       input names one sample (all by default)
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "support/flate_streams.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string num(std::mt19937 &rng, int lo, int hi) {
    int v = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo));
    return std::to_string(v / 100) + "." + std::to_string(v % 100);
}

// One page's content: text objects, line art, filled shapes.
std::string page(std::mt19937 &rng) {
    static const char *words[] = {"Layout", "of", "the", "sheet", "printing", "imposition", "margin",
                                  "binding", "page", "number", "columns", "signature", "folded"};
    std::string s;
    for (int block = 0; block < 8; ++block) {
        s += "q 1 0 0 1 " + num(rng, 0, 50000) + " " + num(rng, 0, 70000) + " cm\n";
        s += "BT /F" + std::to_string(rng() % 4 + 1) + " " + std::to_string(8 + rng() % 6) + " Tf\n";
        for (int line = 0; line < 12; ++line) {
            s += num(rng, 0, 2000) + " -" + num(rng, 1000, 1500) + " Td (";
            for (int w = 0, n = 4 + static_cast<int>(rng() % 8); w < n; ++w) s += std::string(words[rng() % 13]) + " ";
            s += ") Tj\n";
        }
        s += "ET\n" + num(rng, 0, 50000) + " " + num(rng, 0, 70000) + " m " + num(rng, 0, 50000) + " " +
             num(rng, 0, 70000) + " l S\n";
        s += num(rng, 0, 50000) + " " + num(rng, 0, 70000) + " " + num(rng, 0, 5000) + " " + num(rng, 0, 5000) +
             " re f\nQ\n";
    }
    return s;
}

// Page content, 1 MB.
Bytes page_content() {
    std::mt19937 rng(1);
    std::string s;
    while (s.size() < (1u << 20)) s += page(rng);
    return Bytes(s.begin(), s.end());
}

// Sheets as the library writes them: four pages each, every one scaled into
// its cell and clipped to it, between a sheet's own marks.
Bytes sheet_content() {
    std::mt19937 rng(4);
    std::string s;
    while (s.size() < (1u << 20)) {
        for (int cell = 0; cell < 4; ++cell) {
            s += "q 0.5 0 0 0.5 " + std::to_string(cell % 2 * 306) + " " + std::to_string(cell / 2 * 396) +
                 " cm\n0 0 612 792 re W n\n";
            s += page(rng);
            s += "Q\n";
        }
        s += "q 0.2 w 306 0 m 306 792 l S 0 396 m 612 396 l S Q\n";
    }
    return Bytes(s.begin(), s.end());
}

// English-like prose with a skewed word frequency, 1 MB.
Bytes prose() {
    std::mt19937 rng(2);
    static const char *words[] = {"the",     "of",      "and",     "to",       "in",     "a",         "is",
                                  "that",    "for",     "it",      "as",       "was",    "with",      "be",
                                  "by",      "on",      "not",     "he",       "this",   "are",       "or",
                                  "his",     "from",    "at",      "which",    "but",    "have",      "an",
                                  "printer", "paper",   "sheets",  "folded",   "making", "signature", "pages",
                                  "book",    "binding", "margins", "between",  "reader", "every",     "small"};
    const unsigned n = sizeof words / sizeof *words;
    std::string s;
    while (s.size() < (1u << 20)) {
        unsigned r = rng() % 1000;
        s += words[(r * r / 1000) * n / 1000];
        unsigned p = rng() % 100;
        s += p < 7 ? ". " : p < 11 ? ", " : p < 12 ? ".\n\n" : " ";
    }
    return Bytes(s.begin(), s.end());
}

// The corpus's decoded Flate streams, each kept apart: page and form
// content only, or every stream (fonts, images, profiles too).
std::vector<Bytes> corpus_streams(bool content_only) {
    std::vector<Bytes> res;
    const char *dir = std::getenv("SHEETLAY_CORPUS_DIR");
    if (!dir || !*dir) return res;
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".pdf") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const std::string &f : files)
        for (const std::string &s : flate_streams::from_file(f, content_only)) res.emplace_back(s.begin(), s.end());
    return res;
}

struct Sample {
    const char *name;
    std::vector<Bytes> parts;
    size_t total = 0;
};

std::vector<Sample> &samples() {
    static std::vector<Sample> s = [] {
        std::vector<Sample> v;
        v.push_back({"sheets", {sheet_content()}});
        v.push_back({"page", {page_content()}});
        v.push_back({"prose", {prose()}});
        v.push_back({"content", corpus_streams(true)});
        v.push_back({"streams", corpus_streams(false)});
        for (Sample &x : v)
            for (const Bytes &b : x.parts) x.total += b.size();
        return v;
    }();
    return s;
}

// Both sides keep what they can between streams, as a writer that
// compresses many streams would: ours writes into one string that keeps its
// room (its tables are the thread's anyway), zlib into one buffer with one
// deflate state that is reset for each stream, rather than set up and freed
// again by compress2 (which cost zlib about 4 % at level 1).
size_t ours(const Sample &s, int level) {
    static std::string out;
    size_t n = 0;
    for (const Bytes &b : s.parts) {
        out.clear();
        sheetlay::deflate_compress_into(out, b.data(), b.size(), level);
        n += out.size();
    }
    return n;
}

size_t theirs(const Sample &s, int level, Bytes &buf) {
    struct State {
        z_stream z{};
        int level = -1;
        ~State() {
            if (level >= 0) deflateEnd(&z);
        }
    };
    static State st;
    if (st.level != level) {
        if (st.level >= 0) deflateEnd(&st.z);
        st.z = z_stream{};
        st.level = deflateInit(&st.z, level) == Z_OK ? level : -1;
        if (st.level < 0) return 0;
    }
    size_t n = 0;
    for (const Bytes &b : s.parts) {
        deflateReset(&st.z);
        uLong bound = deflateBound(&st.z, static_cast<uLong>(b.size()));
        if (buf.size() < bound) buf.resize(bound);
        st.z.next_in = const_cast<Bytef *>(b.data());
        st.z.avail_in = static_cast<uInt>(b.size());
        st.z.next_out = buf.data();
        st.z.avail_out = static_cast<uInt>(bound);
        if (deflate(&st.z, Z_FINISH) != Z_STREAM_END) return 0;
        n += st.z.total_out;
    }
    return n;
}

// Our output must decode to the input, with our decoder and with zlib's.
bool round_trips(const Sample &s, int level) {
    for (const Bytes &b : s.parts) {
        Bytes z = sheetlay::deflate_compress(b.data(), b.size(), level);
        Bytes out(b.size() + 1);
        uint64_t n = 0;
        if (sheetlay::inflate_decompress(z.data(), z.size(), out.data(), b.size(), &n) != 0 || n != b.size() ||
            std::memcmp(out.data(), b.data(), b.size()) != 0)
            return false;
        uLongf zn = static_cast<uLongf>(out.size());
        if (uncompress(out.data(), &zn, z.data(), static_cast<uLong>(z.size())) != Z_OK || zn != b.size() ||
            std::memcmp(out.data(), b.data(), b.size()) != 0)
            return false;
    }
    return true;
}

void report(benchmark::State &state, const Sample &s, size_t size) {
    double bytes = static_cast<double>(state.iterations()) * static_cast<double>(s.total);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["size"] = static_cast<double>(size);
    state.counters["ratio"] = static_cast<double>(s.total) / static_cast<double>(size ? size : 1);
}

void BM_sheetlay(benchmark::State &state) {
    const Sample &s = samples()[static_cast<size_t>(state.range(0))];
    int level = static_cast<int>(state.range(1));
    if (s.parts.empty()) return state.SkipWithError("no corpus (set SHEETLAY_CORPUS_DIR)");
    if (!round_trips(s, level)) return state.SkipWithError("output does not decode to the input");
    size_t size = 0;
    for (auto _ : state) benchmark::DoNotOptimize(size = ours(s, level));
    report(state, s, size);
}

void BM_zlib(benchmark::State &state) {
    const Sample &s = samples()[static_cast<size_t>(state.range(0))];
    int level = static_cast<int>(state.range(1));
    if (s.parts.empty()) return state.SkipWithError("no corpus (set SHEETLAY_CORPUS_DIR)");
    Bytes buf;
    size_t size = 0;
    for (auto _ : state) benchmark::DoNotOptimize(size = theirs(s, level, buf));
    report(state, s, size);
}

void args(benchmark::internal::Benchmark *b) {
    b->ArgNames({"data", "level"})->Unit(benchmark::kMillisecond);
    for (int data = 0; data < 5; ++data)
        for (int level : {1, 6, 9}) b->Args({data, level});
}

// Seconds per pass, the best of `rounds` turns, each turn timing ours and
// zlib's one after the other so that both see the same load.
// The time is this thread's CPU time, not the wall clock: on a shared
// machine the wall clock also counts the turns other processes get.
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class F>
double seconds(F &&f, size_t total) {
    int reps = static_cast<int>(std::max<size_t>(1, (size_t{4} << 20) / (total ? total : 1)));
    double t0 = cpu_now();
    for (int i = 0; i < reps; ++i) f();
    return (cpu_now() - t0) / reps;
}

int table(int rounds, const char *levels, const char *only) {
    std::printf("%-7s %9s %5s %10s %8s %10s %8s %7s %7s %9s\n", "input", "bytes", "level", "ours", "MB/s", "zlib",
                "MB/s", "size", "speed", "per turn");
    Bytes buf;
    for (const Sample &s : samples()) {
        if (s.parts.empty() || (only && std::strcmp(only, s.name) != 0)) continue;
        for (const char *lv = levels; *lv; ++lv) {
            if (*lv < '0' || *lv > '9') continue;
            int level = *lv - '0';
            if (!round_trips(s, level)) {
                std::printf("%-7s level %d: output does not decode to the input\n", s.name, level);
                return 1;
            }
            double t_ours = 1e30, t_zlib = 1e30;
            // The speed ratio of each turn alone, whose spread shows how
            // much the machine's load moved the figures.
            double lo = 1e30, hi = 0;
            size_t z_ours = 0, z_zlib = 0;
            for (int r = 0; r < rounds; ++r) {
                const double a = seconds([&] { z_ours = ours(s, level); }, s.total);
                const double b = seconds([&] { z_zlib = theirs(s, level, buf); }, s.total);
                t_ours = std::min(t_ours, a);
                t_zlib = std::min(t_zlib, b);
                lo = std::min(lo, b / a);
                hi = std::max(hi, b / a);
            }
            std::printf("%-7s %9zu %5d %10zu %8.1f %10zu %8.1f %7.4f %7.2f %5.2f-%.2f\n", s.name, s.total, level,
                        z_ours, s.total / t_ours / 1e6, z_zlib, s.total / t_zlib / 1e6,
                        static_cast<double>(z_ours) / static_cast<double>(z_zlib), t_zlib / t_ours, lo, hi);
        }
    }
    std::printf("size = ours / zlib's; speed = our MB/s / zlib's, same level number (best turn of each);\n"
                "per turn = the lowest and highest speed of single turns\n");
    return 0;
}

}  // namespace

// data: 0 sheets, 1 page content, 2 prose, 3 corpus content streams, 4 all corpus streams.
BENCHMARK(BM_sheetlay)->Apply(args);
BENCHMARK(BM_zlib)->Apply(args);

// One side alone, for a profiler or a counter run: "--run ours|zlib level
// input reps" compresses the named sample reps times. With reps 0 it
// compresses it once and prints a digest of our output, so that two builds
// can be shown to write the same bytes.
int run_one(const char *who, int level, const char *only, int reps) {
    Bytes buf;
    size_t z = 0;
    for (const Sample &s : samples()) {
        if (s.parts.empty() || std::strcmp(only, s.name) != 0) continue;
        if (reps == 0) {
            uint64_t h = 14695981039346656037ull;
            for (const Bytes &b : s.parts)
                for (unsigned char c : sheetlay::deflate_compress(b.data(), b.size(), level)) h = (h ^ c) * 1099511628211ull;
            std::printf("%s level %d digest %016llx\n", s.name, level, static_cast<unsigned long long>(h));
            return 0;
        }
        for (int i = 0; i < reps; ++i) z = std::strcmp(who, "zlib") == 0 ? theirs(s, level, buf) : ours(s, level);
        std::printf("%s %s level %d: %zu -> %zu bytes\n", who, s.name, level, s.total, z);
        return 0;
    }
    std::printf("no input named %s\n", only);
    return 1;
}

int main(int argc, char **argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--run") == 0)
        return run_one(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]));
    if (argc >= 2 && std::strcmp(argv[1], "--table") == 0) return table(argc >= 3 ? std::atoi(argv[2]) : 5, argc >= 4 ? argv[3] : "169",
                                                                  argc >= 5 ? argv[4] : nullptr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
