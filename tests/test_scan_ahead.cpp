// The closure's scans shared with a second thread (nup/scan_ahead) find
// what one thread finds: the same carried objects in the same order, under
// the same numbers, with the same references kept, whatever the timing of
// the threads and wherever the walk starts sharing. The ThreadSanitizer
// project (tests/tsan) runs this test too.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "nup/forms.h"
#include "nup/scan_ahead.h"
#include "nup/transfer.h"
#include "pdf/load.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using namespace sheetlay;
using namespace sheetlay::nup;

namespace {

// What close() settles, all of it.
struct closure {
    std::vector<int32_t> list;
    std::vector<int> deep;
    std::vector<std::vector<int32_t>> rows;  // per carried object: its kept references, or {-1}
    std::vector<int32_t> out;                // lookup of every input number
    bool operator==(const closure &) const = default;
};

closure close_with(const doc &d, size_t ahead_from) {
    page_memos memos(&d);
    transfer tr(&d, 100);
    tr.ahead_from = ahead_from;
    std::vector<int32_t> cells(static_cast<size_t>(d.pages.count));
    std::iota(cells.begin(), cells.end(), 0);
    gather_page_resources(&d, memos, tr, cells);
    tr.close();
    closure c;
    for (size_t i = 0; i < tr.list().size(); ++i) {
        c.list.push_back(tr.list()[i]);
        c.deep.push_back(tr.too_deep(i));
        const ref_at *r = nullptr;
        size_t n = 0;
        std::vector<int32_t> row{-1};
        if (tr.clean_refs(tr.list()[i], tr.out_num(i), &r, &n)) {
            row.clear();
            for (size_t k = 0; k < n; ++k) row.insert(row.end(), {r[k].at, r[k].end, r[k].num});
        }
        c.rows.push_back(std::move(row));
    }
    for (int32_t n = 0; n <= d.max_num + 1; ++n) c.out.push_back(tr.lookup(n));
    return c;
}

// Pages 3, 5, ... (contents 4, 6, ...) with the given resources, then
// objects from 10000 on.
std::string ref(int n) { return std::to_string(n) + " 0 R"; }

pdfgen::PdfBuilder with_pages(const std::vector<std::string> &resources) {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (size_t i = 0; i < resources.size(); ++i) kids += ref(static_cast<int>(3 + 2 * i)) + " ";
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(resources.size()) + " >>");
    for (size_t i = 0; i < resources.size(); ++i) {
        const int pg = static_cast<int>(3 + 2 * i);
        b.add(pg, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 99 99] /Resources " + resources[i] +
                      " /Contents " + ref(pg + 1) + " >>");
        b.add_stream(pg + 1, "", "0 0 9 9 re f");
    }
    return b;
}

// Fonts shared by many pages, each with its own widths and a descriptor
// shared by groups of them, which share one program: objects reached from
// many places, in a walk wide from the start.
std::string shared_fonts(int pages, int fonts) {
    std::vector<std::string> res;
    for (int p = 0; p < pages; ++p) {
        std::string f = "<< /Font << ";
        for (int k = 0; k < 6; ++k) f += "/F" + std::to_string(k) + " " + ref(10000 + (p * 7 + k * 3) % fonts) + " ";
        res.push_back(f + ">> /ExtGState << /G " + ref(50000) + " >> >>");
    }
    pdfgen::PdfBuilder b = with_pages(res);
    for (int i = 0; i < fonts; ++i)
        b.add(10000 + i, "<< /Type /Font /Subtype /Type1 /Widths " + ref(20000 + i) + " /FontDescriptor " +
                            ref(30000 + i % 9) + " >>");
    for (int i = 0; i < fonts; ++i) b.add(20000 + i, "[500 " + std::to_string(i) + " 250]");
    for (int i = 0; i < 9; ++i) b.add(30000 + i, "<< /Type /FontDescriptor /FontFile " + ref(40000) + " >>");
    b.add_stream(40000, "/Length1 3", "abc");
    b.add(50000, "<< /Type /ExtGState /CA 1 /SMask " + ref(50001) + " >>");
    b.add(50001, "<< /G " + ref(50000) + " /Self " + ref(50001) + " >>");
    return b.finish("/Root 1 0 R");
}

// One array of `width` references to objects that each refer to the next
// (a ring, so the walk comes back to where it began), to pages, to a
// forwarding object, to numbers no object has, to text nested too deep and
// to text that is not clean: every kind of result, in batches that end
// anywhere.
std::string ring(int width) {
    pdfgen::PdfBuilder b = with_pages({"<< /Properties << /R " + ref(10000) + " >> >>", "<< >>"});
    std::string all = "[";
    for (int i = 0; i < width; ++i) all += ref(10001 + i) + " ";
    b.add(10000, all + "]");
    for (int i = 0; i < width; ++i) {
        const int n = 10001 + i;
        std::string t = "<< /Next " + ref(10001 + (i + 1) % width) + " /Page " + ref(3 + 2 * (i % 2));
        switch (i % 7) {
        case 1: t += " /Fwd " + ref(90000); break;
        case 2: t += " /Gone " + ref(80000 + i); break;
        case 3: t += " /Deep " + std::string(300, '[') + ref(10000) + std::string(300, ']'); break;
        case 4: t += " /Na#6De " + ref(10000); break;
        case 5: t += " /Open [" + ref(10002) + " >>"; break;
        }
        b.add(n, t + " >>");
    }
    b.add(90000, ref(90001));
    b.add(90001, "<< /Target true >>");
    return b.finish("/Root 1 0 R");
}

// A chain: each object refers only to the next, so the walk never has
// more than one object listed ahead.
std::string chain(int length) {
    pdfgen::PdfBuilder b = with_pages({"<< /Pattern << /P " + ref(10000) + " >> >>"});
    for (int i = 0; i < length; ++i) b.add(10000 + i, "<< /Next " + ref(10001 + i) + " /Kids [" + ref(2) + "] >>");
    b.add(10000 + length, "<< >>");
    return b.finish("/Root 1 0 R");
}

}  // namespace

TEST(ScanAhead, SharedScansFindWhatOneThreadFinds) {
    std::vector<std::pair<std::string, std::string>> inputs = {
        {"shared fonts", shared_fonts(40, 70)},
        {"shared fonts, many", shared_fonts(500, 3000)},  // past a chunk of batches
        {"ring of 31", ring(31)},
        {"ring of 33", ring(33)},
        {"ring of 4500", ring(4500)},  // one text with more references than an arena block
        {"chain", chain(100)},
    };
    for (const std::string &f : testtools::corpus_files()) inputs.push_back({f, testtools::read_file(f).value_or("")});
    // Where the walk starts sharing: never (the reference), at once, and
    // around a batch's size.
    const size_t starts[] = {0, 1, scan_ahead::kBatch - 1, scan_ahead::kBatch, scan_ahead::kBatch + 1, 200};
    for (const auto &[name, pdf] : inputs) {
        SCOPED_TRACE(name);
        doc d{};
        if (doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(), "in", &d) != 0) {
            EXPECT_NE(name.find('/'), std::string::npos) << "a generated input must load";
            continue;
        }
        const closure one = close_with(d, SIZE_MAX);
        EXPECT_FALSE(one.list.empty());
        for (size_t from : starts)
            for (int run = 0; run < 3; ++run) EXPECT_TRUE(close_with(d, from) == one) << "from " << from;
        doc_free(&d);
    }
}
