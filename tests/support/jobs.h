// Composing jobs through the public interface, shared by the programs that
// run many of them: the threads test, the ThreadSanitizer project
// (tests/tsan, a CMake project of its own with its own flags) and the leak
// driver (fuzz/leak_driver.cpp, built by a bare compiler call). Header-only
// so that each of them takes it without linking anything more; it needs the
// public header, and pdfgen (support/pdfgen.cpp) for generated_inputs().
#ifndef SHEETLAY_TEST_JOBS_H
#define SHEETLAY_TEST_JOBS_H

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"

namespace testjobs {

// One call: an input, a layout, and the call it goes through (bordered when
// border > 0, sized when size >= 0, else the plain one).
struct Job {
    std::string input;
    int32_t n, order, size, border;
    int32_t trim = 0;  // SHEETLAY_TRIM_*: then 2 x 2 on A4 through sheetlay_nup
    bool options = false;  // 2 x 2 on A4 through sheetlay_nup (compact output)
};

inline int32_t run(const Job &j, const std::string &out) {
    if (j.trim || j.options) {
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.columns = 2;
        o.rows = 2;
        o.sheet_width = 595.276;
        o.sheet_height = 841.89;
        o.trim = j.trim;
        return sheetlay_nup(j.input.c_str(), out.c_str(), &o, nullptr, 0);
    }
    if (j.border > 0) return sheetlay_create_bordered(j.input.c_str(), out.c_str(), j.n, j.order, j.border);
    if (j.size >= 0) return sheetlay_create_sized(j.input.c_str(), out.c_str(), j.n, j.order, j.size);
    return sheetlay_create(j.input.c_str(), out.c_str(), j.n, j.order);
}

// The PDF files of a folder (by extension, any case), sorted; none when the
// folder is empty or missing.
inline std::vector<std::string> pdf_files(const std::string &dir) {
    std::vector<std::string> files;
    if (dir.empty()) return files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        if (ext == ".pdf" && e.is_regular_file(ec)) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Three layouts per input that vary with its position, so that a list of
// inputs meets every n, both orders, every named size and frames.
inline std::vector<Job> layouts(const std::vector<std::string> &inputs) {
    static const int32_t ns[] = {2, 4, 6, 9, 16};
    std::vector<Job> out;
    for (size_t i = 0; i < inputs.size(); ++i) {
        out.push_back({inputs[i], ns[i % 5], static_cast<int32_t>(i % 2), -1, 0});
        out.push_back({inputs[i], ns[(i + 2) % 5], 1, static_cast<int32_t>(i % 3), 0});
        out.push_back({inputs[i], 4, 0, -1, 2});
    }
    return out;
}

// Generated inputs: compressed content (fixed and dynamic codes), object
// streams, nested trees with inherited attributes, a content stream left
// encoded, and a damaged file that is refused (the failure path).
inline std::vector<std::string> generated_inputs() {
    std::vector<std::string> docs;
    docs.push_back(pdfgen::make_pages(9));
    docs.push_back(pdfgen::make_pages(5, 842, 595));
    for (int variant = 0; variant < 3; ++variant) {
        pdfgen::DocSpec s;
        for (int i = 0; i < 7; ++i) {
            pdfgen::PageSpec p;
            std::string text;
            for (int k = 0; k < 60; ++k)
                text += "BT /F1 9 Tf 20 " + std::to_string(700 - 11 * k) + " Td (line " + std::to_string(i * k) +
                        ") Tj ET\n";
            p.content = text;
            p.flate = true;
            p.rotate = i % 3 == 1 ? "90" : i % 3 == 2 ? "270" : "";
            p.resources = "<< /Font << /F1 1000 0 R >> >>";
            s.pages.push_back(p);
        }
        s.objects.push_back({1000, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"});
        s.fanout = variant == 2 ? 2 : 0;
        s.objstm = variant == 1;
        docs.push_back(pdfgen::make_doc(s));
    }
    {
        pdfgen::PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R >>");
        b.add_stream(4, "/Filter /ASCIIHexDecode", "3020672030203020353020353020726520660A>");
        docs.push_back(b.finish("/Root 1 0 R"));
    }
    std::string cut = pdfgen::make_pages(3);
    docs.push_back(cut.substr(0, cut.size() / 3));
    return docs;
}

}  // namespace testjobs

#endif
