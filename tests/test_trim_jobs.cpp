// Trimmed jobs give the same bytes whatever the threads do: the boxes are
// found by two workers that share fonts and parsed objects, and which worker
// reads which page depends on timing, so a result that depended on it would
// show here. The digests were made before the workers shared anything.
// The document information is left out, so that the rows hold whatever the
// library's version (it is in /Producer).
//
// Made again with SHEETLAY_TRIM_JOBS_PRINT=1 (prints each row's digest).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/tools.h"
#include "sheetlay.h"

namespace {

struct In {
    const char *file, *pages;
};

struct Row {
    const char *name;
    std::vector<In> inputs;
    void (*set)(sheetlay_options &);
    const char *digest;
};

const Row kRows[] = {
    {"each-4up-a4", {{"GeoTopo-komprimiert.pdf", nullptr}},
     [](sheetlay_options &o) { o.sheet_width = 595.276, o.sheet_height = 841.89; },
     "86be23ba645d94ba171c21b01f9e561a"},
    {"same-booklet", {{"GeoTopo-komprimiert.pdf", "1-30,5,5"}},
     [](sheetlay_options &o) { o.trim = SHEETLAY_TRIM_SAME, o.booklet = 1, o.signature = 2; },
     "4f671d93d1fb73bb225966537c5ca2ef"},
    {"three-inputs",
     {{"pdflatex-outline.pdf", nullptr}, {"annotated_pdf.pdf", nullptr}, {"GeoTopo-komprimiert.pdf", "1-20"}},
     [](sheetlay_options &o) { o.trim_margin = 3; },
     "9c7fbe2f410d3c0a0b2c3064eb9086de"},
    {"same-2up-repeats",
     {{"pdflatex-4-pages.pdf", "3,1,_,2,1"}, {"pdflatex-outline.pdf", "z-1"}, {"pdflatex-forms.pdf", nullptr}},
     [](sheetlay_options &o) { o.trim = SHEETLAY_TRIM_SAME, o.columns = 2, o.rows = 1, o.fit = SHEETLAY_FIT_SAME; },
     "ffd37e93799293f22ad1ff036b3a1c0d"},
    {"each-rotated-marks", {{"habibi-rotated.pdf", nullptr}, {"annotated_pdf.pdf", "1,1"}},
     [](sheetlay_options &o) { o.marks = SHEETLAY_MARK_CROP | SHEETLAY_MARK_CUT, o.turn = SHEETLAY_TURN_LEFT; },
     "1615a7c2d920066ea86570a3837ac17f"},
};

TEST(TrimJobs, BytesIndependentOfThreads) {
    const std::string dir = SHEETLAY_CORPUS_DIR;
    if (dir.empty()) GTEST_SKIP() << "SHEETLAY_CORPUS_DIR not set";
    const bool print = std::getenv("SHEETLAY_TRIM_JOBS_PRINT") != nullptr;
    for (const Row &r : kRows) {
        sheetlay_options o;
        sheetlay_options_init_sized(&o, sizeof o);
        o.trim = SHEETLAY_TRIM_EACH;
        o.keep = SHEETLAY_KEEP_ALL & ~SHEETLAY_KEEP_INFO;
        r.set(o);
        std::vector<std::string> paths;
        std::vector<sheetlay_input> in;
        for (const In &i : r.inputs) paths.push_back(dir + "/" + i.file);
        for (size_t k = 0; k < paths.size(); ++k)
            in.push_back({paths[k].c_str(), nullptr, 0, r.inputs[k].pages, nullptr});
        void *out = nullptr;
        size_t len = 0;
        char err[256] = "";
        const int32_t count = static_cast<int32_t>(in.size());
        ASSERT_EQ(sheetlay_nup_inputs_mem(in.data(), count, &out, &len, &o, err, sizeof err), 1) << r.name << ": " << err;
        const std::string got = testtools::hex_digest(std::string_view(static_cast<const char *>(out), len));
        sheetlay_free(out);
        if (print) std::printf("%s %s\n", r.name, got.c_str());
        else EXPECT_EQ(got, r.digest) << r.name;
    }
}

}  // namespace
