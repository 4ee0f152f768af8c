// The object scan cut into pieces (scanned on two threads) against the scan
// of the whole file on one: the index must be the same wherever the cuts
// fall, in sound files, damaged ones and updated ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pdf/document.h"
#include "pdf/index.h"
#include "pdf/lexer.h"
#include "pdf/objscan.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using namespace sheetlay;

namespace {

doc view(const std::string &pdf) {
    doc d;
    d.data = reinterpret_cast<const unsigned char *>(pdf.data());
    d.len = static_cast<int32_t>(pdf.size());
    return d;
}

// What the scan and the whole of find_objects give for `cuts` (null: cut
// by size), as text that names every field, for readable differences.
std::string indexed(const std::string &pdf, const std::vector<int32_t> *cuts, int64_t work) {
    std::string out;
    auto put = [&out](const char *tag, int64_t v) { out += tag + std::to_string(v) + ' '; };
    {
        doc d = view(pdf);
        object_scan s;
        scan_objects(&d, s, work, cuts);
        for (int32_t p : s.endobjs) put("E", p);
        for (int32_t p : s.heads) put("H", p);
        out += '\n';
    }
    doc d = view(pdf);
    find_objects(&d, work, cuts);
    for (const obj_entry &e : d.obj_store) {
        for (int32_t v : {e.num, e.gen, e.hdr_pos, e.dict_pos, e.stream_pos, e.data_start, e.data_end,
                          e.endobj_pos, int32_t{e.is_stream}, int32_t{e.length_ok}, int32_t{e.body_at}})
            put("", v);
        out += '\n';
    }
    return out;
}

// Sound, updated and damaged files whose interesting places lie close
// together: headers quoted in stream data and strings, numbers defined
// twice, bodies that lose their "endobj", a dictionary that never closes.
std::vector<std::string> inputs() {
    std::vector<std::string> v;
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R (7 0 obj) >>");
    b.add_stream(4, "", "BT (9 0 obj << /A 1 >> endobj) Tj ET\n9 0 obj\n<< >>\nendobj\n");
    b.add_stream(5, "/F 1", "x endobj 10 0 obj y", {.length_obj = 6});
    b.add(7, "42");
    b.add_stream(8, "", "12 0 obj", {.length_text = "3"});
    v.push_back(b.finish("/Root 1 0 R"));
    // An update that defines objects 3 and 7 again (the later one wins).
    b.add(3, "<< /Type /Page /Parent 2 0 R >>").add(7, "43 ").finish_classic("/Root 1 0 R");
    v.push_back(b.bytes());
    v.push_back("%PDF-1.4\n1 0 obj << /A [1 2 0 obj 3] >> endobj 2 0 obj\n(x) 3 0 obj 4\nendobj\n"
                "4 0 obj << /Length 99 >> stream\nab 5 0 obj\nendstream endobj 6 0 obj << /B << >>\n"
                "7 0 obj 8 endobj\n 8 1 obj\r\n<</Length 2>>stream\r\nzzendstream\nendobj\n9 0 obj");
    v.push_back("1 0 obj\n<< /K 2 >>\nstream\nendobj endobj\n2 0 obj 5\nendobj\n3 0 obj\n(never) ends");
    return v;
}

TEST(ObjectScan, EveryCutGivesTheWholeFilesIndex) {
    for (const std::string &pdf : inputs()) {
        const int32_t len = static_cast<int32_t>(pdf.size());
        const std::vector<int32_t> none;
        // Ample work, none, and enough for some dictionaries only: the scan
        // reads /Length ahead only where the later stage may read it.
        for (int64_t work : {int64_t{1} << 30, int64_t{0}, int64_t{40}}) {
            const std::string whole = indexed(pdf, &none, work);
            for (int32_t c = 0; c <= len; ++c) {
                // One cut, and three together (pieces of a byte or two).
                for (const std::vector<int32_t> &cuts :
                     {std::vector<int32_t>{c}, std::vector<int32_t>{c, c + 1, c + 3}}) {
                    ASSERT_EQ(indexed(pdf, &cuts, work), whole) << "cut at " << c << ", work " << work;
                }
            }
        }
    }
}

TEST(ObjectScan, CorpusCutAtEveryHeaderAndBySize) {
    REQUIRE_CORPUS();
    std::mt19937 rng(7);
    for (const std::string &f : testtools::corpus_files()) {
        SCOPED_TRACE(f);
        const std::string pdf = testtools::read_file(f).value_or("");
        ASSERT_FALSE(pdf.empty());
        const std::vector<int32_t> none;
        const std::string whole = indexed(pdf, &none, int64_t{1} << 30);
        // Cuts on, before and after the letters of every "obj" and
        // "endobj", then cuts by the file's size, then random ones.
        std::vector<int32_t> near;
        for (size_t p = pdf.find("obj"); p != std::string::npos; p = pdf.find("obj", p + 1))
            for (int32_t d = -4; d <= 4; d += 2) near.push_back(static_cast<int32_t>(p) + d);
        std::sort(near.begin(), near.end());
        near.erase(std::unique(near.begin(), near.end()), near.end());
        std::vector<int32_t> random;
        for (int k = 0; k < 9; ++k) random.push_back(static_cast<int32_t>(rng() % pdf.size()));
        std::sort(random.begin(), random.end());
        const std::vector<int32_t> *plans[] = {&near, nullptr, &random};
        for (const std::vector<int32_t> *cuts : plans) {
            EXPECT_EQ(indexed(pdf, cuts, int64_t{1} << 30), whole);
        }
    }
}

// The scan reads a header's generation and body from what header_before
// read backwards; the reference reads them forwards, as the header's
// numbers are read elsewhere (white space here is PDF's, not C's).
TEST(ObjectScan, HeaderReadBackwardsAsForwards) {
    const char *digits[] = {"0", "7", "012", "4294967297", "99999999999"};
    const std::string gaps[] = {"", " ", "\t", "\v", std::string(1, '\0'), "\r\n", " \v", "\f "};
    std::mt19937 rng(3);
    for (int k = 0; k < 4000; ++k) {
        auto pick = [&rng](const auto &a) { return std::string(a[rng() % std::size(a)]); };
        std::string gap0 = pick(gaps);
        if (gap0.empty()) gap0 = " ";
        const std::string pdf = pick(std::vector<std::string>{"", "x", "\n", "-", "1 "}) + pick(digits) + gap0 +
                                pick(digits) + pick(gaps) + "obj" + pick(gaps) + "<< >> 5 endobj";
        const int32_t len = static_cast<int32_t>(pdf.size());
        const unsigned char *t = reinterpret_cast<const unsigned char *>(pdf.data());
        const int32_t P = static_cast<int32_t>(pdf.find("obj"));
        doc d = view(pdf);
        object_scan s;
        scan_objects(&d, s, 0, nullptr);
        int32_t num = 0;
        const int32_t first = kw_at(t, P, len, "obj") ? header_before(t, P, &num) : -1;
        ASSERT_EQ(d.obj_store.size(), first < 0 ? 0u : 1u) << pdf;
        if (first < 0) continue;
        int32_t g = first, gv = -1;
        while (is_dec_digit(t[g])) ++g;
        while (is_pdf_ws(t[g])) ++g;
        if (g < P && is_dec_digit(t[g])) {
            uint32_t v = 0;
            while (g < P && is_dec_digit(t[g])) v = v * 10u + static_cast<uint32_t>(t[g++] - '0');
            gv = static_cast<int32_t>(v);
        }
        while (g < P && is_pdf_ws(t[g])) ++g;
        const int32_t body = body_start(t, len, first);
        const obj_entry &e = d.obj_store[0];
        EXPECT_EQ(e.hdr_pos, first);
        EXPECT_EQ(e.num, num);
        EXPECT_EQ(e.gen, gv > 0 ? gv : 0) << pdf;
        EXPECT_EQ(e.body_at, gv >= 0 && g == P ? body - first + 1 : 0) << pdf;
    }
}

}  // namespace
