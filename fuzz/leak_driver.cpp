// Drives the public interface over files and the damaged and hostile cases,
// for a run under a leak checker (valgrind): every success and every failure
// path must give back all it took.
//
//   leak_driver <temporary folder> [--hostile[=K/N]] [file.pdf ...]
//
// --hostile=K/N drives only every N-th hostile case, starting at case K
// (0 <= K < N), so that N processes under the checker share the set.
//
// Each input is composed 2-up and 4-up (framed right to left for the
// latter), and once with a bad n, which fails after loading. The hostile
// cases are the ones of the robustness tests, with cut files sampled and
// bombs kept small so that the run stays short under valgrind. Exit status
// 1 when a call breaks the interface's promises (a result other than 0 or 1,
// a failure without a message); leaks are the checker's to report.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostile.h"
#include "sheetlay.h"
#include "support/jobs.h"

namespace {

int broken = 0;

void check(const char *what, const std::string &name, int32_t rc) {
    const char *err = sheetlay_last_error();
    if ((rc != 0 && rc != 1) || (rc == 0 && err[0] == '\0') || (rc == 1 && err[0] != '\0')) {
        std::fprintf(stderr, "%s: %s: result %d, error text \"%s\"\n", name.c_str(), what, rc, err);
        ++broken;
    }
}

void drive(const std::string &path, const std::string &name, const std::string &out) {
    struct Layout {
        const char *what;
        int32_t n, order, size, border;
    } layouts[] = {{"2-up", 2, 0, -1, 0}, {"4-up framed", 4, 1, -1, 2}, {"A4 9-up", 9, 0, 0, 0}};
    for (const Layout &l : layouts)
        check(l.what, name, testjobs::run({path, l.n, l.order, l.size, l.border}, out));
    if (testjobs::run({path, 3, 0, -1, 0}, out) != 0) {
        std::fprintf(stderr, "%s: n 3 accepted\n", name.c_str());
        ++broken;
    }
    std::remove(out.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <temporary folder> [--hostile] [file.pdf ...]\n", argv[0]);
        return 2;
    }
    const std::string tmp = argv[1];
    const std::string in = tmp + "/leak-in.pdf", out = tmp + "/leak-out.pdf";
    sheetlay_init();
    size_t count = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strncmp(argv[i], "--hostile", 9) == 0) {
            unsigned part = 0, parts = 1;
            if (argv[i][9] == '=') {
                char slash = 0, end = 0;
                if (std::sscanf(argv[i] + 10, "%u%c%u%c", &part, &slash, &parts, &end) != 3 || slash != '/' ||
                    parts == 0 || part >= parts) {
                    std::fprintf(stderr, "bad part: %s (want --hostile=K/N, 0 <= K < N)\n", argv[i]);
                    return 2;
                }
            } else if (argv[i][9] != '\0') {
                std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
                return 2;
            }
            std::vector<hostile::Case> cases;
            auto add = [&](std::vector<hostile::Case> v) {
                for (auto &c : v) cases.push_back(std::move(c));
            };
            add(hostile::truncations("classic", hostile::small_classic(), 13));
            add(hostile::truncations("objstm", hostile::small_objstm(), 11));
            add(hostile::xref_offsets());
            add(hostile::lengths());
            add(hostile::object_streams());
            add(hostile::nesting());
            add(hostile::page_trees());
            add(hostile::object_numbers());
            add(hostile::bombs(20000, 20000));
            cases.push_back({"big-page-parents", hostile::big_page_many_parents(50, 1000), hostile::Expect::any, ""});
            cases.push_back({"shared-bomb", hostile::shared_bomb(5, 20000), hostile::Expect::any, ""});
            cases.push_back({"bomb-array", hostile::bomb_array(5, 20000), hostile::Expect::any, ""});
            for (size_t k = part; k < cases.size(); k += parts) {
                const hostile::Case &c = cases[k];
                std::FILE *f = std::fopen(in.c_str(), "wb");
                if (!f || std::fwrite(c.bytes.data(), 1, c.bytes.size(), f) != c.bytes.size()) {
                    std::fprintf(stderr, "cannot write %s\n", in.c_str());
                    return 2;
                }
                std::fclose(f);
                drive(in, c.name, out);
                ++count;
            }
            std::remove(in.c_str());
        } else {
            drive(argv[i], argv[i], out);
            ++count;
        }
    }
    // Inputs that never load.
    check("missing input", "none", sheetlay_create((tmp + "/no-such-file.pdf").c_str(), out.c_str(), 2, 0));
    check("null path", "none", sheetlay_create(nullptr, out.c_str(), 2, 0));
    check("folder as input", "none", sheetlay_create(tmp.c_str(), out.c_str(), 2, 0));
    sheetlay_cleanup();
    std::printf("leak_driver: %zu inputs, %d broken promises\n", count, broken);
    return broken ? 1 : 0;
}
