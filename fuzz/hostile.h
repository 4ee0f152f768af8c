// Damaged and hostile PDF files, made with the test generator. Shared by the
// robustness tests, the seed generator and the leak-check driver.
//
// Every case says what the library must do with it: compose a file, fail
// with a message, or either of the two. Whatever it does, it must not crash,
// hang, or allocate without bound.
#ifndef SHEETLAY_FUZZ_HOSTILE_H
#define SHEETLAY_FUZZ_HOSTILE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/pdfgen.h"

namespace hostile {

enum class Expect { any, compose, fail };

struct Case {
    std::string name;
    std::string bytes;
    Expect expect = Expect::any;
    std::string message;  // for Expect::fail: a part of the expected error text ("" any)
};

// ---------------------------------------------------------------------------
// Raw files: objects written as given, then a classic table with the true
// offsets.

inline std::string raw_doc(const std::vector<std::pair<int, std::string>> &objs,
                           const std::string &trailer = "/Root 1 0 R") {
    pdfgen::PdfBuilder b;
    for (const auto &[num, body] : objs) b.add(num, body);
    return b.finish(trailer);
}

// Catalog 1, /Pages 2 with the given kids, page 3 with content 4.
inline std::vector<std::pair<int, std::string>> one_page_objects(const std::string &page_extra = "") {
    return {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
            {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
            {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R " + page_extra +
                    " >>"},
            {4, "<< /Length 18 >>\nstream\n0 g 0 0 50 50 re f\nendstream"}};
}

inline std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

// ---------------------------------------------------------------------------
// Deflate data that inflates about 1032 times: one dynamic block whose
// length 258 and distance 1 codes are one bit each, so every input byte
// after a short head is four 258-byte matches. `bulk` bytes give
// 1 + 1032 * bulk zero bytes.

class bit_writer {
public:
    void bits(uint32_t v, int n) {  // low bit first
        for (int i = 0; i < n; ++i) bit((v >> i) & 1u);
    }
    void code(uint32_t c, int n) {  // Huffman codes: high bit first
        for (int i = n - 1; i >= 0; --i) bit((c >> i) & 1u);
    }
    void zero_bits(uint64_t n) {
        while (n > 0 && used_ != 0) {
            bit(0);
            --n;
        }
        out_.append(static_cast<size_t>(n / 8), '\0');
        for (uint64_t i = 0; i < n % 8; ++i) bit(0);
    }
    std::string finish() {
        if (used_) out_.push_back(static_cast<char>(acc_));
        acc_ = used_ = 0;
        return std::move(out_);
    }

private:
    void bit(uint32_t b) {
        acc_ |= b << used_;
        if (++used_ == 8) {
            out_.push_back(static_cast<char>(acc_));
            acc_ = used_ = 0;
        }
    }
    std::string out_;
    uint32_t acc_ = 0;
    int used_ = 0;
};

// With a `prefix`, the data starts with those bytes (a stored block first).
inline std::string flate_bomb(uint64_t bulk, const std::string &prefix = "") {
    bit_writer w;
    if (!prefix.empty()) {
        w.bits(0, 3);  // a stored block, not the last; its header ends the byte
        w.zero_bits(5);
        uint32_t n = static_cast<uint32_t>(prefix.size());
        w.bits(n & 0xffff, 16);
        w.bits(~n & 0xffff, 16);
        for (unsigned char c : prefix) w.bits(c, 8);
    }
    w.bits(1, 1);   // final block
    w.bits(2, 2);   // dynamic codes
    w.bits(29, 5);  // 286 literal/length codes
    w.bits(1, 5);   // 2 distance codes
    w.bits(14, 4);  // 18 code-length codes
    // Code-length code: symbols 0, 1, 2 and 18, two bits each.
    static const int kOrder[18] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
    for (int s : kOrder) w.bits(s == 0 || s == 1 || s == 2 || s == 18 ? 2 : 0, 3);
    auto len = [&](int l) { w.code(static_cast<uint32_t>(l), 2); };  // 0->00 1->01 2->10
    auto zeros = [&](int n) {  // symbol 18: 11 to 138 zeros
        w.code(3, 2);
        w.bits(static_cast<uint32_t>(n - 11), 7);
    };
    len(2);                 // literal 0: 2 bits
    zeros(138);             // 1..138
    zeros(117);             // 139..255
    len(2);                 // end of block: 2 bits
    zeros(28);              // 257..284
    len(1);                 // 285 (length 258): 1 bit
    len(1);                 // distance 1: 1 bit
    len(1);                 // distance 2: 1 bit
    w.code(2, 2);           // literal 0 (code 10)
    w.zero_bits(2 * 4 * bulk);  // 285 (code 0) with distance 1 (code 0), 4 per byte
    w.code(3, 2);           // end of block (code 11)
    std::string data = w.finish();
    uint64_t a = 1, b = 0;
    for (unsigned char c : prefix) {
        a = (a + c) % 65521u;
        b = (b + a) % 65521u;
    }
    b = (b + (1 + 1032 * bulk) % 65521u * a) % 65521u;  // the zero bytes leave a as it is
    std::string z = "\x78\x01";
    z += data;
    uint32_t adler = static_cast<uint32_t>((b << 16) | a);
    for (int i = 3; i >= 0; --i) z.push_back(static_cast<char>((adler >> (8 * i)) & 0xff));
    return z;
}

// ---------------------------------------------------------------------------
// Families of cases.

// A small sound file of two pages: compressed content, a font.
inline std::string small_classic() {
    pdfgen::DocSpec s;
    for (int i = 0; i < 2; ++i) {
        pdfgen::PageSpec p;
        p.media_box = "[0 0 300 400]";
        p.content = "BT /F1 12 Tf 20 20 Td (page " + std::to_string(i) + ") Tj ET";
        p.flate = true;
        p.resources = "<< /Font << /F1 20 0 R >> >>";
        s.pages.push_back(p);
    }
    s.objects.push_back({20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"});
    return pdfgen::make_doc(s);
}

// The same with its objects in an object stream and a cross-reference stream.
inline std::string small_objstm() {
    pdfgen::DocSpec s;
    for (int i = 0; i < 2; ++i) {
        pdfgen::PageSpec p;
        p.media_box = "[0 0 300 400]";
        p.content = "0 g 10 10 " + std::to_string(50 + i) + " 50 re f";
        p.flate = true;
        s.pages.push_back(p);
    }
    s.objstm = true;
    return pdfgen::make_doc(s);
}

// Every proper prefix of a file (lengths 1 .. size - 1), every `step` bytes.
inline std::vector<Case> truncations(const std::string &name, const std::string &whole, size_t step = 1) {
    std::vector<Case> v;
    for (size_t n = 1; n < whole.size(); n += step)
        v.push_back({name + "-cut-" + std::to_string(n), whole.substr(0, n), Expect::any, ""});
    return v;
}

inline std::vector<Case> xref_offsets() {
    std::vector<Case> v;
    const std::string base = pdfgen::make_pages(3);
    const size_t sx = base.rfind("startxref\n");
    const std::string head = base.substr(0, sx + 10);
    const std::string values[] = {"0",          "1",          std::to_string(base.size() / 2),
                                  std::to_string(base.size() - 1), std::to_string(base.size()),
                                  std::to_string(base.size() + 1000), "2147483647", "2147483648",
                                  "4294967301", "99999999999999999999", "-1", "-2147483648", "x"};
    for (const std::string &val : values)
        v.push_back({"startxref-" + val, head + val + "\n%%EOF\n", Expect::compose, ""});

    // Table entries: all at 0, all past the end, all huge, all negative.
    const size_t x = base.rfind("xref\n");
    for (const char *field : {"0000000000", "9999999999", "0000999999"}) {
        std::string s = base;
        for (size_t p = s.find(" 00000 n", x); p != std::string::npos; p = s.find(" 00000 n", p + 8))
            s.replace(p - 10, 10, field);
        v.push_back({std::string("entries-") + field, s, Expect::compose, ""});
    }
    // Trailers whose /Prev goes round in a circle, or to itself.
    {
        std::string s = base;
        size_t t = s.rfind("trailer");
        s.insert(s.find("<<", t) + 2, " /Prev " + std::to_string(x) + " ");
        v.push_back({"prev-self", s, Expect::compose, ""});
    }
    {
        pdfgen::DocSpec plan;
        plan.pages.resize(2);
        plan.xref_stream = true;
        std::string s = pdfgen::make_doc(plan);
        size_t at = s.rfind("startxref\n");
        int64_t off = std::stoll(s.substr(at + 10));
        size_t d = s.find("/Type /XRef", static_cast<size_t>(off));
        s.insert(d, "/Prev " + std::to_string(off) + " ");
        v.push_back({"xref-stream-prev-self", s, Expect::compose, ""});
    }
    {
        // Many trailers before one startxref, each with /Prev to the table.
        std::string s = base.substr(0, sx);
        for (int i = 0; i < 20000; ++i) s += "trailer\n<< /Size 9 /Root 1 0 R /Prev " + std::to_string(x) + " >>\n";
        s += "startxref\n" + std::to_string(x) + "\n%%EOF\n";
        v.push_back({"many-trailers", s, Expect::compose, ""});
    }
    return v;
}

inline std::vector<Case> lengths() {
    std::vector<Case> v;
    const std::string values[] = {"2147483647", "2147483648", "4294967295", "4294967296",
                                  "99999999999999999999", "-1", "-2147483648", "-2147483649",
                                  "0", "1.5", "1e9", "/Foo", "[ ]", "[1 2 -3]", "9 0 R", "4 0 R",
                                  "30 0 R", "31 0 R", "32 0 R", "<< >>", ""};
    const std::string extra = "30 0 obj\n2147483647\nendobj\n31 0 obj\n-5\nendobj\n32 0 obj\n32 0 R\nendobj\n";
    for (bool flate : {false, true}) {
        for (const std::string &val : values) {
            pdfgen::PdfBuilder b;
            b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
            b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
            b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R "
                     "/Resources << /XObject << /Im 5 0 R >> >> >>");
            pdfgen::StreamOpts o;
            o.flate = flate;
            o.length_text = val.empty() ? std::string() : val;
            o.omit_length = val.empty();
            b.add_stream(4, "", "q 50 0 0 50 0 0 cm /Im Do Q 0 g 0 0 10 10 re f", o);
            pdfgen::StreamOpts io;
            io.length_text = val.empty() ? std::string() : val;
            io.omit_length = val.empty();
            b.add_stream(5, "/Type /XObject /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray "
                            "/BitsPerComponent 8",
                         std::string("\x00\xff\xff\x00", 4), io);
            b.raw(extra);
            v.push_back({std::string(flate ? "flate-" : "plain-") + "length-" + (val.empty() ? "none" : val),
                         b.finish("/Root 1 0 R"), Expect::compose, ""});
        }
    }
    // The same lies in an object stream's /Length.
    for (const std::string &val : values) {
        std::string s = small_objstm();
        size_t l = s.rfind("/Length ", s.find("/Type /ObjStm"));
        size_t e = s.find(" /", l + 8);
        s.replace(l, e - l, val.empty() ? std::string() : "/Length " + val);
        v.push_back({"objstm-length-" + (val.empty() ? std::string("none") : val), s, Expect::any, ""});
    }
    return v;
}

// A nest of `depth` dictionaries or arrays, closed or left open.
inline std::string nest(int depth, bool dict, bool closed) {
    std::string s;
    s.reserve(static_cast<size_t>(depth) * 8);
    for (int i = 0; i < depth; ++i) s += dict ? "<< /A " : "[ ";
    s += "1 0 R";
    if (closed)
        for (int i = 0; i < depth; ++i) s += dict ? " >>" : " ]";
    return s;
}

inline std::vector<Case> nesting() {
    std::vector<Case> v;
    const int deep = 100000;
    for (bool dict : {true, false}) {
        const std::string kind = dict ? "dicts" : "arrays";
        // In the page's resources (copied into the output).
        v.push_back({"resources-" + kind,
                     raw_doc(one_page_objects("/Resources << /ProcSet " + nest(deep, dict, true) + " >>")),
                     Expect::any, ""});
        // In an object the resources reach (carried into the output).
        {
            auto objs = one_page_objects("/Resources << /Font << /F1 5 0 R >> >>");
            objs.push_back({5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /X " +
                                   nest(deep, dict, true) + " >>"});
            v.push_back({"carried-" + kind, raw_doc(objs), Expect::any, ""});
        }
        // Left open in the page dictionary, and in the catalog.
        v.push_back({"page-open-" + kind, raw_doc(one_page_objects("/Extra " + nest(deep, dict, false))),
                     Expect::any, ""});
        {
            auto objs = one_page_objects();
            objs[0].second = "<< /Type /Catalog /Pages 2 0 R /X " + nest(deep, dict, false) + " >>";
            v.push_back({"catalog-open-" + kind, raw_doc(objs), Expect::any, ""});
        }
        // As the content of a page (copied as it is).
        {
            auto objs = one_page_objects();
            std::string c = nest(deep, dict, true);
            objs[3].second = "<< /Length " + std::to_string(c.size()) + " >>\nstream\n" + c + "\nendstream";
            v.push_back({"content-" + kind, raw_doc(objs), Expect::compose, ""});
        }
    }
    // Many object headers whose dictionaries never close.
    {
        std::string s = raw_doc(one_page_objects());
        std::string junk;
        for (int i = 0; i < 50000; ++i) junk += std::to_string(100 + i) + " 0 obj\n<< /A << /B [ (x\n";
        s.insert(s.find("1 0 obj"), junk);
        v.push_back({"unclosed-headers", s, Expect::any, ""});
    }
    {
        std::string s = raw_doc(one_page_objects());
        std::string junk;
        for (int i = 0; i < 50000; ++i) junk += std::to_string(100 + i) + " 0 obj <<";
        s.insert(s.find("1 0 obj"), junk);
        v.push_back({"unclosed-headers-tight", s, Expect::any, ""});
    }
    {
        std::string s = raw_doc(one_page_objects());
        std::string junk(200000, '(');
        s.insert(s.find("1 0 obj"), "99 0 obj\n<< /S " + junk + "\nendobj\n");
        v.push_back({"unclosed-strings", s, Expect::any, ""});
    }
    return v;
}

// A chain of /Pages nodes `levels` deep above one page.
inline std::string deep_tree(int levels) {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    const int first = 10;
    for (int i = 0; i < levels; ++i) {
        int num = i == 0 ? 2 : first + i;
        int kid = i + 1 < levels ? first + i + 1 : 3;
        b.add(num, "<< /Type /Pages /Kids [" + std::to_string(kid) + " 0 R] /Count 1 >>");
    }
    b.add(3, "<< /Type /Page /MediaBox [0 0 100 100] /Contents 4 0 R >>");
    b.add_stream(4, "", "0 g 0 0 10 10 re f");
    return b.finish("/Root 1 0 R");
}

inline std::vector<Case> page_trees() {
    std::vector<Case> v;
    v.push_back({"tree-200-levels", deep_tree(200), Expect::compose, ""});
    v.push_back({"tree-100000-levels", deep_tree(100000), Expect::fail, "page tree"});
    {
        auto objs = one_page_objects();
        objs[1].second = "<< /Type /Pages /Kids [2 0 R] /Count 1 >>";
        v.push_back({"tree-self-cycle", raw_doc(objs), Expect::fail, "page tree"});
    }
    {
        auto objs = one_page_objects();
        objs[1].second = "<< /Type /Pages /Kids [5 0 R] /Count 1 >>";
        objs.push_back({5, "<< /Type /Pages /Kids [6 0 R 3 0 R] /Count 1 >>"});
        objs.push_back({6, "<< /Type /Pages /Kids [2 0 R] /Count 1 >>"});
        v.push_back({"tree-cycle", raw_doc(objs), Expect::fail, "page tree"});
    }
    {
        // The catalog as a kid, and /Kids given by reference to itself.
        auto objs = one_page_objects();
        objs[1].second = "<< /Type /Pages /Kids [3 0 R 1 0 R] /Count 2 >>";
        v.push_back({"tree-catalog-kid", raw_doc(objs), Expect::fail, "page tree"});
        objs[1].second = "<< /Type /Pages /Kids 2 0 R /Count 1 >>";
        v.push_back({"tree-kids-self-ref", raw_doc(objs), Expect::fail, ""});
    }
    {
        // A million /Kids entries: references to a missing object, nulls
        // around one page, and one page listed 100,000 times.
        std::string kids;
        kids.reserve(7000000);
        for (int i = 0; i < 1000000; ++i) kids += "77 0 R ";
        auto objs = one_page_objects();
        objs[1].second = "<< /Type /Pages /Kids [3 0 R " + kids + "] /Count 1000001 >>";
        v.push_back({"kids-million-missing", raw_doc(objs), Expect::fail, "page tree"});
        kids.clear();
        for (int i = 0; i < 1000000; ++i) kids += "null ";
        objs[1].second = "<< /Type /Pages /Kids [" + kids + "3 0 R] /Count 1 >>";
        v.push_back({"kids-million-nulls", raw_doc(objs), Expect::compose, ""});
        kids.clear();
        for (int i = 0; i < 100000; ++i) kids += "3 0 R ";
        objs[1].second = "<< /Type /Pages /Kids [" + kids + "] /Count 100000 >>";
        v.push_back({"kids-same-page-100000", raw_doc(objs), Expect::compose, ""});
    }
    return v;
}

// A page listed `refs` times whose dictionary carries `junk` bytes: every
// listing of the page must not cost a pass over the whole dictionary.
inline std::string repeated_big_page(int refs, size_t junk) {
    std::string kids;
    for (int i = 0; i < refs; ++i) kids += "3 0 R ";
    std::string filler;
    filler.reserve(junk * 3);
    for (size_t i = 0; i < junk; ++i) filler += "/x ";
    return raw_doc({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                    {2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(refs) + " >>"},
                    {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /J [" + filler +
                            "] /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"},
                    {4, "<< /Length 10 >>\nstream\n0 0 m 1 1 l\nendstream"},
                    {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"}});
}

// The members of the object stream of objstm_doc, and their true header.
inline const std::string *objstm_members() {
    static const std::string m[3] = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents 4 0 R >>"};
    return m;
}

// A page without resources of its own, with `junk` bytes in its dictionary,
// listed once under each of `parents` /Pages nodes that have /Resources of
// their own: each listing inherits from another node.
inline std::string big_page_many_parents(int parents, size_t junk) {
    std::string kids, nodes;
    for (int i = 0; i < parents; ++i) {
        int num = 10 + i;
        kids += std::to_string(num) + " 0 R ";
        nodes += std::to_string(num) + " 0 obj\n<< /Type /Pages /Parent 2 0 R /Kids [3 0 R] /Count 1 "
                 "/Resources << /Font << /F1 5 0 R >> /ProcSet [/PDF /Text" + std::to_string(i) +
                 "] >> >>\nendobj\n";
    }
    std::string filler;
    filler.reserve(junk * 3);
    for (size_t i = 0; i < junk; ++i) filler += "/x ";
    std::string s = raw_doc({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                             {2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(parents) + " >>"},
                             {3, "<< /Type /Page /MediaBox [0 0 100 100] /J [" + filler + "] /Contents 4 0 R >>"},
                             {4, "<< /Length 10 >>\nstream\n0 0 m 1 1 l\nendstream"},
                             {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"}});
    s.insert(s.find("xref"), nodes);
    return s;
}

// A Flate bomb shared: `pages` distinct pages with the bomb as their
// content, and one page whose /Contents array lists it `refs` times.
inline std::string shared_bomb(int pages, uint64_t bulk) {
    std::string z = flate_bomb(bulk);
    std::string kids, objs;
    for (int i = 0; i < pages; ++i) {
        int num = 10 + i;
        kids += std::to_string(num) + " 0 R ";
        objs += std::to_string(num) + " 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] "
                "/Contents 4 0 R >>\nendobj\n";
    }
    std::string s = raw_doc({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                             {2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>"},
                             {4, "<< /Length " + std::to_string(z.size()) + " /Filter /FlateDecode >>\nstream\n" +
                                     z + "\nendstream"}});
    s.insert(s.find("xref"), objs);
    return s;
}

inline std::string bomb_array(int refs, uint64_t bulk) {
    std::string z = flate_bomb(bulk);
    std::string arr;
    for (int i = 0; i < refs; ++i) arr += "4 0 R ";
    return raw_doc({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                    {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
                    {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents [" + arr + "] >>"},
                    {4, "<< /Length " + std::to_string(z.size()) + " /Filter /FlateDecode >>\nstream\n" + z +
                            "\nendstream"}});
}

// An object stream holding catalog, page tree and page, with the header
// text, /N and /First given ("" for /First: the true one).
inline std::string objstm_doc(const std::string &header, const std::string &n, std::string first,
                              bool flate = true) {
    const std::string *m = objstm_members();
    std::string body = m[0] + "\n" + m[1] + "\n" + m[2] + "\n";
    std::string data = header + "\n";
    if (first.empty()) first = std::to_string(data.size());
    data += body;
    if (flate) data = pdfgen::zcompress(data);
    pdfgen::PdfBuilder b;
    b.add_stream(4, "", "0 g 0 0 10 10 re f");
    std::string dict = "/Type /ObjStm /N " + n + " /First " + first;
    if (flate) dict += " /Filter /FlateDecode";
    b.add(5, "<< " + dict + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream");
    return b.finish("/Root 1 0 R");
}

inline std::vector<Case> object_streams() {
    std::vector<Case> v;
    const std::string *m = objstm_members();
    const std::string o2 = std::to_string(m[0].size() + 1);
    const std::string o3 = std::to_string(m[0].size() + m[1].size() + 2);
    const std::string truth = "1 0 2 " + o2 + " 3 " + o3;
    v.push_back({"objstm-sound", objstm_doc(truth, "3", ""), Expect::compose, ""});
    v.push_back({"objstm-sound-raw", objstm_doc(truth, "3", "", false), Expect::compose, ""});
    const std::pair<const char *, std::string> headers[] = {
        {"offsets-past-end", "1 0 2 3400000 3 2147483647"},
        {"offsets-backwards", "1 " + o3 + " 2 " + o2 + " 3 0"},
        {"offsets-negative", "1 -5 2 " + o2 + " 3 " + o3},
        {"offsets-same", "1 0 2 0 3 0"},
        {"offsets-overflow", "1 0 2 4294967296 3 " + o3},
        {"numbers-zero", "0 0 2 " + o2 + " 3 " + o3},
        {"numbers-huge", "1 0 8388608 " + o2 + " 2147483647 " + o3},
        {"numbers-overflow", "1 0 99999999999999 " + o2 + " 3 " + o3},
        {"member-is-the-stream", "1 0 2 " + o2 + " 5 " + o3},
        {"header-words", "one zero two"},
        {"header-empty", ""},
    };
    for (const auto &[name, header] : headers)
        v.push_back({std::string("objstm-") + name, objstm_doc(header, "3", ""), Expect::any, ""});
    const std::pair<const char *, const char *> counts[] = {
        {"n-100000", "100000"}, {"n-100001", "100001"}, {"n-2147483647", "2147483647"},
        {"n-4294967299", "4294967299"}, {"n-0", "0"}, {"n--3", "-3"}, {"n-1", "1"}, {"n-none", "/X"}};
    for (const auto &[name, n] : counts)
        v.push_back({std::string("objstm-") + name, objstm_doc(truth, n, ""), Expect::any, ""});
    const std::pair<const char *, const char *> firsts[] = {
        {"first-huge", "2147483647"}, {"first-negative", "-20"}, {"first-past-end", "100000"}, {"first-zero", "0"}};
    for (const auto &[name, f] : firsts)
        v.push_back({std::string("objstm-") + name, objstm_doc(truth, "3", f), Expect::any, ""});
    return v;
}

// `count` object streams that each inflate about 1032 times, with sound
// headers and a first member that is kept, so that their data is kept.
inline std::string objstm_bombs(int count, uint64_t bulk) {
    auto objs = one_page_objects();
    for (int k = 0; k < count; ++k) {
        const std::string header = std::to_string(100 + k) + " 0 " + std::to_string(200 + k) + " 1000000\n";
        std::string z = flate_bomb(bulk, header);
        objs.push_back({50 + k, "<< /Type /ObjStm /N 2 /First " + std::to_string(header.size()) +
                                    " /Filter /FlateDecode /Length " + std::to_string(z.size()) +
                                    " >>\nstream\n" + z + "\nendstream"});
    }
    return raw_doc(objs);
}

inline std::vector<Case> bombs(uint64_t content_bulk, uint64_t objstm_bulk) {
    std::vector<Case> v;
    {
        // Content that inflates past every decoding limit.
        std::string z = flate_bomb(content_bulk);
        auto objs = one_page_objects();
        objs[3].second = "<< /Length " + std::to_string(z.size()) + " /Filter /FlateDecode >>\nstream\n" + z +
                         "\nendstream";
        v.push_back({"content-bomb", raw_doc(objs), Expect::compose, ""});
    }
    v.push_back({"objstm-bombs", objstm_bombs(3, objstm_bulk), Expect::compose, ""});
    return v;
}

inline std::vector<Case> object_numbers() {
    std::vector<Case> v;
    struct Num {
        const char *name;
        std::string num;
        Expect expect;
    };
    const Num nums[] = {{"8388606", "8388606", Expect::compose},
                        {"8388607", "8388607", Expect::compose},
                        {"8388608", "8388608", Expect::fail},
                        {"2147483647", "2147483647", Expect::fail},
                        {"2147483648", "2147483648", Expect::fail},
                        {"99999999999999999999", "99999999999999999999", Expect::fail}};
    for (const Num &n : nums) {
        // The page (and, separately, its font) under that number.
        std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>";
        std::string s = "%PDF-1.7\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                        "2 0 obj\n<< /Type /Pages /Kids [" + n.num + " 0 R] /Count 1 >>\nendobj\n" +
                        n.num + " 0 obj\n" + page + "\nendobj\n"
                        "4 0 obj\n<< /Length 18 >>\nstream\n0 g 0 0 50 50 re f\nendstream\nendobj\n"
                        "trailer\n<< /Root 1 0 R >>\n%%EOF\n";
        v.push_back({std::string("page-num-") + n.name, s, n.expect, ""});
        auto objs = one_page_objects("/Resources << /Font << /F1 " + n.num + " 0 R >> >>");
        std::string f = raw_doc(objs);
        f.insert(f.find("xref"), n.num + " 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>\nendobj\n");
        v.push_back({std::string("font-num-") + n.name, f, Expect::compose, ""});
    }
    {
        // Many objects with numbers near the top: the index is sized by the
        // largest kept number, not by how many there are.
        auto objs = one_page_objects();
        std::string s = raw_doc(objs);
        std::string junk;
        for (int i = 0; i < 1000; ++i) junk += std::to_string(8388607 - i) + " 0 obj\n" + std::to_string(i) + "\nendobj\n";
        s.insert(s.find("xref"), junk);
        v.push_back({"many-high-numbers", s, Expect::compose, ""});
    }
    return v;
}

}  // namespace hostile

#endif
