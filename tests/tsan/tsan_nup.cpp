// Threads composing files at the same moment through the exported
// functions (trimmed and compact jobs among them, which start threads of
// their own), under ThreadSanitizer: every source of the library is built
// with the sanitizer. Each output must equal the one a lone call writes.
//
//   tsan_nup <temporary folder> [corpus folder]
//
// The error text is one buffer for the whole process, which every call
// writes; those races are by design and suppressed (error_text.supp). Any
// other report fails the run.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sheetlay.h"
#include "support/jobs.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool spill(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <temporary folder> [corpus folder]\n", argv[0]);
        return 2;
    }
    const fs::path tmp = argv[1];
    fs::create_directories(tmp);
    std::vector<std::string> inputs;
    const std::vector<std::string> docs = testjobs::generated_inputs();
    for (size_t i = 0; i < docs.size(); ++i) {
        std::string p = (tmp / ("gen-" + std::to_string(i) + ".pdf")).string();
        if (!spill(p, docs[i])) return 2;
        inputs.push_back(p);
    }
    if (argc > 2) {
        std::vector<std::string> found = testjobs::pdf_files(argv[2]);
        inputs.insert(inputs.end(), found.begin(), found.end());
    }

    std::vector<testjobs::Job> jobs = testjobs::layouts(inputs);
    // Trimmed jobs, one for every input: each reads its pages on threads of
    // its own as well, which share fonts and the glyph boxes of their programs.
    for (size_t i = 0; i < inputs.size(); ++i)
        jobs.push_back({inputs[i], 4, 0, -1, 0, i % 2 == 0 ? SHEETLAY_TRIM_EACH : SHEETLAY_TRIM_SAME});
    // Compact output: object streams compressed on a thread of the call's
    // own (the corpus's larger files fill several).
    for (const std::string &in : inputs) jobs.push_back({in, 4, 0, -1, 0, 0, true});

    std::vector<int32_t> want_rc(jobs.size());
    std::vector<std::string> want(jobs.size());
    for (size_t k = 0; k < jobs.size(); ++k) {
        std::string out = (tmp / ("serial-" + std::to_string(k) + ".pdf")).string();
        want_rc[k] = testjobs::run(jobs[k], out);
        want[k] = want_rc[k] ? slurp(out) : std::string();
        fs::remove(out);
    }

    const int threads = 4;
    std::atomic<int> ready{0}, mismatches{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < threads) std::this_thread::yield();
            for (size_t i = 0; i < jobs.size(); ++i) {
                // A rotation: every thread runs every job, starting at different ones.
                size_t k = (i + static_cast<size_t>(t) * 3) % jobs.size();
                std::string out = (tmp / ("t" + std::to_string(t) + "-" + std::to_string(k) + ".pdf")).string();
                int32_t rc = testjobs::run(jobs[k], out);
                std::string got = rc ? slurp(out) : std::string();
                fs::remove(out);
                if (rc != want_rc[k] || got != want[k]) {
                    std::fprintf(stderr, "thread %d: %s (n %d) differs from the lone call\n", t,
                                 jobs[k].input.c_str(), jobs[k].n);
                    mismatches.fetch_add(1);
                }
                (void)sheetlay_last_error();  // readable at any time, whatever it holds
            }
        });
    }
    for (auto &th : pool) th.join();
    for (size_t i = 0; i < docs.size(); ++i) fs::remove(tmp / ("gen-" + std::to_string(i) + ".pdf"));
    if (mismatches.load() != 0) return 1;
    std::printf("%d threads x %zu jobs (%zu inputs): every output equals the lone call's\n", threads,
                jobs.size(), inputs.size());
    return 0;
}
