// Helpers for the composition tests: run the writer on bytes, and read the
// written file back by its own cross-reference table.
#ifndef SHEETLAY_TEST_NUP_HELPERS_H
#define SHEETLAY_TEST_NUP_HELPERS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace nuptest {

struct NupResult {
    int rc = 0;
    std::string err;
    std::string pdf;  // the written file, "" when none
    bool file_created = false;
};

// Writes the bytes to a temporary file and runs qpdf --check on them.
inline void expect_qpdf_clean(const std::string &pdf) {
    if (!testtools::have_qpdf()) return;
    std::string path = testtools::write_temp(pdf, "qpdf");
    testtools::QpdfResult q = testtools::qpdf_check(path);
    EXPECT_EQ(q.status, 0) << q.out;
    testtools::remove_file(path);
}

// Loads `input` and composes it into a fresh temporary file. Every file
// written is checked with qpdf (unless `qpdf` is false: damaged input kept
// as it is).
inline NupResult run_nup(const std::string &input, int n, int order = 0, int page_size = -1,
                         int border = 0, bool qpdf = true) {
    NupResult r;
    sheetlay::doc d{};
    if (sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(input.data()), input.size(),
                               "input.pdf", &d) != 0) {
        r.err = sheetlay::g_err;
        ADD_FAILURE() << "load failed: " << r.err;
        return r;
    }
    std::string path = testtools::tmp_path("nup");
    r.rc = sheetlay::nup_doc(&d, path.c_str(), n, order, page_size, border);
    r.err = sheetlay::g_err;
    sheetlay::doc_free(&d);
    r.file_created = testtools::file_exists(path);
    if (r.file_created) {
        r.pdf = testtools::read_file(path).value_or("");
        if (qpdf && testtools::have_qpdf()) {
            testtools::QpdfResult q = testtools::qpdf_check(path);
            EXPECT_EQ(q.status, 0) << q.out;
        }
        testtools::remove_file(path);
    }
    return r;
}

// The objects of a written file, by the file's own table: number -> offset.
// Checks that startxref names the "xref" keyword, that the table has
// /Size entries, and that every in-use entry points at "N 0 obj".
inline std::map<int, size_t> xref_objects(const std::string &pdf) {
    std::map<int, size_t> objs;
    size_t sx = pdf.rfind("startxref ");
    EXPECT_NE(sx, std::string::npos);
    if (sx == std::string::npos) return objs;
    size_t x = std::strtoull(pdf.c_str() + sx + 10, nullptr, 10);
    EXPECT_EQ(pdf.compare(x, 5, "xref\n"), 0) << "startxref does not point at xref";
    if (pdf.compare(x, 7, "xref\n0 ") != 0) return objs;
    char *end = nullptr;
    long count = std::strtol(pdf.c_str() + x + 7, &end, 10);
    size_t p = static_cast<size_t>(end - pdf.c_str()) + 1;
    size_t size_at = pdf.find("/Size ", x);
    EXPECT_NE(size_at, std::string::npos);
    EXPECT_EQ(std::strtol(pdf.c_str() + size_at + 6, nullptr, 10), count);
    EXPECT_EQ(pdf.compare(p, 20, "0000000000 65535 f \n"), 0);
    for (long i = 1; i < count; ++i) {
        std::string e = pdf.substr(p + 20 * static_cast<size_t>(i), 20);
        if (e == "0000000000 65535 f \n") continue;
        EXPECT_EQ(e.substr(10), " 00000 n \n") << "entry " << i;
        size_t off = std::strtoull(e.c_str(), nullptr, 10);
        std::string hdr = std::to_string(i) + " 0 obj\n";
        EXPECT_EQ(pdf.compare(off, hdr.size(), hdr), 0) << "entry " << i << " -> " << off;
        objs[static_cast<int>(i)] = off;
    }
    EXPECT_TRUE(pdf.size() >= 7 && pdf.compare(pdf.size() - 7, 7, "\n%%EOF\n") == 0);
    return objs;
}

// The text of object `num` (from its header through "endobj\n"), "" when
// the table has no such object.
inline std::string object_text(const std::string &pdf, int num) {
    std::map<int, size_t> objs = xref_objects(pdf);
    auto it = objs.find(num);
    if (it == objs.end()) return "";
    size_t eo = pdf.find("endobj\n", it->second);
    return eo == std::string::npos ? "" : pdf.substr(it->second, eo + 7 - it->second);
}

// The data of stream object `num`, cut by its /Length.
inline std::string stream_data(const std::string &pdf, int num) {
    std::map<int, size_t> objs = xref_objects(pdf);
    auto it = objs.find(num);
    if (it == objs.end()) return "";
    size_t lp = pdf.find("/Length ", it->second);
    size_t sp = pdf.find("stream\n", it->second);
    if (lp == std::string::npos || sp == std::string::npos) return "";
    size_t len = std::strtoull(pdf.c_str() + lp + 8, nullptr, 10);
    return pdf.substr(sp + 7, len);
}

// Number of the content stream of sheet `s` for `n` pages per sheet.
inline int content_num(int s, int n) { return 3 + s * (n + 2) + n + 1; }
inline int sheet_num(int s, int n) { return 3 + s * (n + 2); }
inline int form_num(int s, int n, int slot) { return 3 + s * (n + 2) + 1 + slot; }

inline std::string repeat_page(const pdfgen::PageSpec &p, int count) {
    pdfgen::DocSpec plan;
    for (int i = 0; i < count; ++i) plan.pages.push_back(p);
    return pdfgen::make_doc(plan);
}

}  // namespace nuptest

#endif
