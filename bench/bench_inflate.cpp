// Flate decoding throughput, in bytes of decoded output per second, for the
// kinds of data PDF files compress: page content streams, text and image
// rasters. Each sample is compressed once with zlib at level 6 and then
// decoded over and over by inflate_decompress and by zlib's uncompress.
// "MB/s" is in units of 10^6 output bytes; bytes_per_second is the same
// figure as Google Benchmark prints it (binary prefixes).
//
// For a profiler or a counter run on real data: "--file PDF [reps] [zlib]"
// decodes every Flate stream of a PDF file (those zlib decodes whole) reps
// times with the decoder, or with zlib, and prints the input and output
// byte counts and a digest of the output; two builds that print the same
// digest decoded the same bytes.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/inflate.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Page content: text objects, line art and filled shapes, numbers of the
// kind a typesetter writes.
Bytes page_content() {
    std::mt19937 rng(1);
    std::string s;
    static const char *words[] = {"Layout", "of", "the", "sheet", "printing", "imposition", "margin",
                                  "binding", "page", "number", "columns", "signature", "folded"};
    auto num = [&](int lo, int hi) {
        int v = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo));
        return std::to_string(v / 100) + "." + std::to_string(v % 100);
    };
    while (s.size() < (2u << 20)) {
        s += "q 1 0 0 1 " + num(0, 50000) + " " + num(0, 70000) + " cm\n";
        s += "BT /F" + std::to_string(rng() % 4 + 1) + " " + std::to_string(8 + rng() % 6) + " Tf\n";
        for (int line = 0; line < 12; ++line) {
            s += num(0, 2000) + " -" + num(1000, 1500) + " Td (";
            for (int w = 0, n = 4 + static_cast<int>(rng() % 8); w < n; ++w) s += std::string(words[rng() % 13]) + " ";
            s += ") Tj\n";
        }
        s += "ET\n" + num(0, 50000) + " " + num(0, 70000) + " m " + num(0, 50000) + " " + num(0, 70000) + " l S\n";
        s += num(0, 50000) + " " + num(0, 70000) + " " + num(0, 5000) + " " + num(0, 5000) + " re f\n";
        s += num(0, 50000) + " " + num(0, 70000) + " " + num(0, 50000) + " " + num(0, 70000) + " " +
             num(0, 50000) + " " + num(0, 70000) + " c h f*\nQ\n";
    }
    return Bytes(s.begin(), s.end());
}

// English-like prose: words drawn with a skewed frequency, sentences and
// paragraphs.
Bytes prose() {
    std::mt19937 rng(2);
    static const char *words[] = {
        "the",    "of",      "and",     "to",      "in",       "a",      "is",       "that",   "for",
        "it",     "as",      "was",     "with",    "be",       "by",     "on",       "not",    "he",
        "this",   "are",     "or",      "his",     "from",     "at",     "which",    "but",    "have",
        "an",     "had",     "they",    "you",     "were",     "their",  "one",      "all",    "we",
        "printer", "paper",  "sheets",  "folded",  "together", "making", "signature", "pages", "book",
        "binding", "margins", "between", "columns", "careful",  "layout", "reader",   "every",  "small"};
    const unsigned nwords = sizeof words / sizeof *words;
    std::string s;
    bool start = true;
    while (s.size() < (2u << 20)) {
        // Skewed: low indices far more often.
        unsigned r = rng() % 1000;
        unsigned i = static_cast<unsigned>(std::sqrt(static_cast<double>(r) * r * r / 1e6) * nwords / 31.7) % nwords;
        std::string w = words[i];
        if (start) w[0] = static_cast<char>(w[0] - 32);
        s += w;
        start = false;
        unsigned p = rng() % 100;
        if (p < 7) {
            s += ". ";
            start = true;
        } else if (p < 11) {
            s += ", ";
        } else if (p < 12) {
            s += ".\n\n";
            start = true;
        } else {
            s += " ";
        }
    }
    return Bytes(s.begin(), s.end());
}

// An RGB raster, 1024 x 768: smooth gradients with a little sensor noise,
// as scanned or photographic images are.
Bytes image() {
    std::mt19937 rng(3);
    const int w = 1024, h = 768;
    Bytes b(static_cast<size_t>(w) * h * 3);
    size_t k = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double fx = x / double(w), fy = y / double(h);
            int c[3] = {static_cast<int>(255 * fx), static_cast<int>(255 * fy),
                        static_cast<int>(128 + 100 * std::sin(6.0 * fx + 4.0 * fy))};
            for (int ch = 0; ch < 3; ++ch) {
                int v = c[ch] + static_cast<int>(rng() % 5) - 2;
                b[k++] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    return b;
}

struct Sample {
    Bytes raw, z;
};

const Sample &sample(int kind) {
    static Sample s[3];
    if (s[kind].raw.empty()) {
        s[kind].raw = kind == 0 ? page_content() : kind == 1 ? prose() : image();
        uLongf zlen = compressBound(s[kind].raw.size());
        s[kind].z.resize(zlen);
        compress2(s[kind].z.data(), &zlen, s[kind].raw.data(), s[kind].raw.size(), 6);
        s[kind].z.resize(zlen);
    }
    return s[kind];
}

void report(benchmark::State &state, const Sample &s) {
    double bytes = static_cast<double>(state.iterations()) * static_cast<double>(s.raw.size());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["ratio"] = static_cast<double>(s.raw.size()) / static_cast<double>(s.z.size());
}

void BM_sheetlay(benchmark::State &state) {
    const Sample &s = sample(static_cast<int>(state.range(0)));
    Bytes out(s.raw.size());
    for (auto _ : state) {
        uint64_t len = 0;
        int32_t ret = sheetlay::inflate_decompress(s.z.data(), s.z.size(), out.data(), out.size(), &len);
        benchmark::DoNotOptimize(ret);
        benchmark::ClobberMemory();
    }
    uint64_t len = 0;
    if (sheetlay::inflate_decompress(s.z.data(), s.z.size(), out.data(), out.size(), &len) != 0 ||
        len != s.raw.size() || out != s.raw)
        state.SkipWithError("wrong output");
    report(state, s);
}

void BM_zlib(benchmark::State &state) {
    const Sample &s = sample(static_cast<int>(state.range(0)));
    Bytes out(s.raw.size());
    for (auto _ : state) {
        uLongf len = out.size();
        int ret = uncompress(out.data(), &len, s.z.data(), s.z.size());
        benchmark::DoNotOptimize(ret);
        benchmark::ClobberMemory();
    }
    uLongf len = out.size();
    if (uncompress(out.data(), &len, s.z.data(), s.z.size()) != Z_OK || len != s.raw.size() || out != s.raw)
        state.SkipWithError("wrong output");
    report(state, s);
}

// The zlib streams of a PDF file, found between "stream" and "endstream",
// each with its decoded size; streams zlib does not decode whole are left
// out.
struct FileStream {
    Bytes z;
    size_t out;
};
std::vector<FileStream> file_streams(const char *path) {
    std::vector<FileStream> res;
    std::FILE *f = std::fopen(path, "rb");
    if (!f) return res;
    std::string pdf;
    char buf[1 << 16];
    for (size_t k; (k = std::fread(buf, 1, sizeof buf, f)) > 0;) pdf.append(buf, k);
    std::fclose(f);
    Bytes out;
    for (size_t at = 0; (at = pdf.find("stream", at)) != std::string::npos;) {
        size_t body = at + 6;
        at = body;
        if (body >= 9 && pdf.compare(body - 9, 3, "end") == 0) continue;
        if (body < pdf.size() && pdf[body] == '\r') ++body;
        if (body < pdf.size() && pdf[body] == '\n') ++body;
        size_t stop = pdf.find("endstream", body);
        if (stop == std::string::npos) break;
        at = stop + 9;
        Bytes z(pdf.begin() + static_cast<std::ptrdiff_t>(body), pdf.begin() + static_cast<std::ptrdiff_t>(stop));
        for (uLongf cap = 1 << 16; cap <= (uLongf{1} << 28); cap *= 4) {
            out.resize(cap);
            uLongf n = cap;
            int rc = uncompress(out.data(), &n, z.data(), z.size());
            if (rc == Z_OK) {
                res.push_back({std::move(z), n});
                break;
            }
            if (rc != Z_BUF_ERROR) break;
        }
    }
    return res;
}

int run_file(const char *path, int reps, bool zlib) {
    std::vector<FileStream> streams = file_streams(path);
    if (streams.empty()) {
        std::fprintf(stderr, "no Flate streams in %s\n", path);
        return 1;
    }
    size_t in = 0, out = 0, cap = 0;
    for (const FileStream &s : streams) {
        in += s.z.size();
        out += s.out;
        cap = std::max(cap, s.out);
    }
    Bytes area(cap + 4096);
    uint64_t h = 14695981039346656037ull;
    for (int r = 0; r < reps; ++r)
        for (const FileStream &s : streams) {
            uint64_t n = 0;
            if (zlib) {
                uLongf zn = s.out;
                uncompress(area.data(), &zn, s.z.data(), s.z.size());
                n = zn;
            } else {
                // The library's callers give an area well beyond the
                // decoded size (20 times the input and more).
                sheetlay::inflate_decompress(s.z.data(), s.z.size(), area.data(), area.size(), &n);
            }
            if (r == 0)
                for (uint64_t i = 0; i < n; ++i) h = (h ^ area[i]) * 1099511628211ull;
        }
    std::printf("%s %zu streams, %zu -> %zu bytes, x%d, digest %016llx\n", zlib ? "zlib" : "sheetlay",
                streams.size(), in, out, reps, static_cast<unsigned long long>(h));
    return 0;
}

void kinds(benchmark::internal::Benchmark *b) {
    b->ArgName("data")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
}

}  // namespace

// data=0 page content, data=1 prose, data=2 image raster.
BENCHMARK(BM_sheetlay)->Apply(kinds);
BENCHMARK(BM_zlib)->Apply(kinds);

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--file") == 0)
        return run_file(argv[2], argc >= 4 ? std::atoi(argv[3]) : 1, argc >= 5 && std::strcmp(argv[4], "zlib") == 0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
