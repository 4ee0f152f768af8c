// Threads composing files at the same moment through the exported
// functions, under ThreadSanitizer: every source of the library is built
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
#include "support/pdfgen.h"

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

std::vector<std::string> generated() {
    std::vector<std::string> docs;
    docs.push_back(pdfgen::make_pages(7));
    for (int variant = 0; variant < 3; ++variant) {
        pdfgen::DocSpec s;
        for (int i = 0; i < 5; ++i) {
            pdfgen::PageSpec p;
            std::string text;
            for (int k = 0; k < 40; ++k)
                text += "BT /F1 9 Tf 20 " + std::to_string(700 - 11 * k) + " Td (line " + std::to_string(i + k) +
                        ") Tj ET\n";
            p.content = text;
            p.flate = true;
            p.rotate = i % 2 ? "270" : "";
            p.resources = "<< /Font << /F1 1000 0 R >> >>";
            s.pages.push_back(p);
        }
        s.objects.push_back({1000, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"});
        s.fanout = variant == 2 ? 2 : 0;
        s.objstm = variant == 1;
        docs.push_back(pdfgen::make_doc(s));
    }
    std::string cut = pdfgen::make_pages(3);
    docs.push_back(cut.substr(0, cut.size() / 2));  // refused: exercises the failure path
    return docs;
}

struct Job {
    std::string input;
    int32_t n, order, size, border;
};

int32_t run(const Job &j, const std::string &out) {
    if (j.border > 0) return sheetlay_create_bordered(j.input.c_str(), out.c_str(), j.n, j.order, j.border);
    return sheetlay_create_sized(j.input.c_str(), out.c_str(), j.n, j.order, j.size);
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
    std::vector<std::string> docs = generated();
    for (size_t i = 0; i < docs.size(); ++i) {
        std::string p = (tmp / ("gen-" + std::to_string(i) + ".pdf")).string();
        if (!spill(p, docs[i])) return 2;
        inputs.push_back(p);
    }
    if (argc > 2 && argv[2][0] && fs::is_directory(argv[2])) {
        std::vector<std::string> found;
        for (const auto &e : fs::directory_iterator(argv[2]))
            if (e.path().extension() == ".pdf") found.push_back(e.path().string());
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }

    std::vector<Job> jobs;
    const int32_t ns[] = {2, 4, 6, 9, 16};
    for (size_t i = 0; i < inputs.size(); ++i) {
        jobs.push_back({inputs[i], ns[i % 5], static_cast<int32_t>(i % 2), -1, 0});
        jobs.push_back({inputs[i], 4, 1, static_cast<int32_t>(i % 3), 0});
        jobs.push_back({inputs[i], 2, 0, -1, 3});
    }

    std::vector<int32_t> want_rc(jobs.size());
    std::vector<std::string> want(jobs.size());
    for (size_t k = 0; k < jobs.size(); ++k) {
        std::string out = (tmp / ("serial-" + std::to_string(k) + ".pdf")).string();
        want_rc[k] = run(jobs[k], out);
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
                int32_t rc = run(jobs[k], out);
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
