// Real-world files: every one loads, with the page count, boxes and
// rotations that poppler's pdfinfo sees.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "error.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "support/tools.h"

using namespace sheetlay;

namespace {

struct InfoPage {
    int rot = 0;
    double box[4] = {0, 0, 0, 0};
    bool have_box = false;
};

// pdfinfo's page count, and each page's rotation and crop box.
int pdfinfo_pages_boxes(const std::string &path, std::map<int, InfoPage> *pages) {
    int n = testtools::pdfinfo_pages(path);
    if (n <= 0) return n;
    testtools::CmdResult r = testtools::run_cmd(
        {testtools::pdfinfo_path(), "-f", "1", "-l", std::to_string(n), "-box", path});
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        int p = 0, rot = 0;
        double b[4];
        if (std::sscanf(line.c_str(), "Page %d rot: %d", &p, &rot) == 2) {
            (*pages)[p].rot = rot;
        } else if (std::sscanf(line.c_str(), "Page %d CropBox: %lf %lf %lf %lf", &p, &b[0], &b[1], &b[2],
                               &b[3]) == 5) {
            InfoPage &ip = (*pages)[p];
            for (int k = 0; k < 4; ++k) ip.box[k] = b[k];
            ip.have_box = true;
        }
    }
    return n;
}

TEST(CorpusLoad, EveryFileLoadsLikePdfinfoSeesIt) {
    REQUIRE_CORPUS();
    REQUIRE_PDFINFO();
    const auto files = testtools::corpus_files();
    ASSERT_FALSE(files.empty());
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        doc d;
        ASSERT_EQ(doc_load(f.c_str(), &d), 0) << g_err;
        std::map<int, InfoPage> info;
        EXPECT_EQ(d.pages.count, pdfinfo_pages_boxes(f, &info));
        for (int32_t i = 0; i < d.pages.count && i < static_cast<int32_t>(info.size()); ++i) {
            const pageinfo &pi = d.pages.items[i];
            const InfoPage &ip = info[i + 1];
            EXPECT_EQ(page_rotation(&d, &pi, objvec_find(&d.objs, pi.num)), ip.rot) << "page " << i + 1;
            ASSERT_TRUE(ip.have_box);
            const double ours[4] = {pi.x0, pi.y0, pi.x1, pi.y1};
            for (int k = 0; k < 4; ++k) EXPECT_NEAR(ours[k], ip.box[k], 0.006) << "page " << i + 1;
        }
        doc_free(&d);
    }
}

TEST(CorpusLoad, RotatedPages) {
    REQUIRE_CORPUS();
    const std::string f = testtools::corpus_dir() + "/habibi-rotated.pdf";
    if (!testtools::file_exists(f)) GTEST_SKIP() << "habibi-rotated.pdf not in the corpus";
    doc d;
    ASSERT_EQ(doc_load(f.c_str(), &d), 0) << g_err;
    ASSERT_EQ(d.pages.count, 4);
    const int want[4] = {90, 180, 270, 0};
    for (int i = 0; i < 4; ++i) {
        const pageinfo &pi = d.pages.items[i];
        EXPECT_EQ(page_rotation(&d, &pi, objvec_find(&d.objs, pi.num)), want[i]) << i;
        EXPECT_NEAR(pi.x1 - pi.x0, 595.28, 0.01);
        EXPECT_NEAR(pi.y1 - pi.y0, 841.89, 0.01);
    }
    doc_free(&d);
}

}  // namespace
