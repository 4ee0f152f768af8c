// Writes small seed inputs for the fuzz targets:
//   fuzz_make_seeds <inflate-seed-dir> <nup-seed-dir> [<deflate-seed-dir> [<filters-seed-dir>
//                   [<fontprog-seed-dir>]]]
// Inflate seeds are three bytes of area size and a zlib stream; document
// seeds are generated PDF files of every shape the reader knows (classic
// and stream cross-references, object streams, nested page trees, inherited
// attributes, carried resources, content arrays, incremental updates), a
// few damaged ones, and the small cases of the robustness tests. Encoder
// seeds are a level byte and data: page content, runs, binary samples. Font
// program seeds are small compact font programs using every outline
// operator, hint masks, subroutines, accents, a custom encoding, and a
// CID-keyed one with two FDs.
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "hostile.h"
#include "support/cffgen.h"
#include "support/pdfgen.h"

#ifdef SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

bool put(const std::string &dir, const std::string &name, const std::string &bytes) {
    std::string path = dir + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string area(unsigned cap) {
    std::string s;
    s.push_back(static_cast<char>(cap & 0xff));
    s.push_back(static_cast<char>((cap >> 8) & 0xff));
    s.push_back(static_cast<char>((cap >> 16) & 0xff));
    return s;
}

// Deflate with a chosen strategy (Z_FIXED gives fixed-code blocks).
std::string deflate_with(const std::string &data, int level, int strategy) {
#ifdef SHEETLAY_HAVE_ZLIB
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) return pdfgen::zstored(data);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : pdfgen::zstored(data);
#else
    (void)level;
    (void)strategy;
    return pdfgen::zstored(data);
#endif
}

std::string page_text(int k) {
    std::string s;
    for (int i = 0; i < 40; ++i)
        s += "BT /F1 12 Tf 72 " + std::to_string(700 - 12 * i) + " Td (line " + std::to_string(k * 100 + i) +
             ") Tj ET\n";
    return s;
}

std::vector<std::pair<std::string, std::string>> inflate_seeds() {
    std::vector<std::pair<std::string, std::string>> v;
    std::string text = page_text(1);
    std::string runs(3000, 'a');
    v.push_back({"stored", area(8192) + pdfgen::zstored(text)});
    v.push_back({"stored-empty", area(16) + pdfgen::zstored("")});
    v.push_back({"level1", area(8192) + deflate_with(text, 1, 0)});
    v.push_back({"level9", area(8192) + deflate_with(text, 9, 0)});
#ifdef SHEETLAY_HAVE_ZLIB
    v.push_back({"fixed", area(8192) + deflate_with(text, 6, Z_FIXED)});
    v.push_back({"huffman-only", area(8192) + deflate_with(text, 6, Z_HUFFMAN_ONLY)});
    v.push_back({"rle", area(4096) + deflate_with(runs, 6, Z_RLE)});
#endif
    // An area just too small, and one exactly right.
    v.push_back({"tight", area(static_cast<unsigned>(runs.size()) - 1) + deflate_with(runs, 9, 0)});
    v.push_back({"exact", area(static_cast<unsigned>(runs.size())) + deflate_with(runs, 9, 0)});
    return v;
}

std::vector<std::pair<std::string, std::string>> doc_seeds() {
    using namespace pdfgen;
    std::vector<std::pair<std::string, std::string>> v;
    v.push_back({"three-pages.pdf", make_pages(3)});
    v.push_back({"landscape.pdf", make_pages(5, 842, 595)});

    {
        DocSpec s;
        for (int i = 0; i < 4; ++i) {
            PageSpec p;
            p.content = page_text(i);
            p.flate = true;
            p.rotate = i % 2 ? "90" : "";
            p.crop_box = i == 2 ? "[10 10 500 700]" : "";
            p.resources = "<< /Font << /F1 1000 0 R >> >>";
            s.pages.push_back(p);
        }
        s.objects.push_back({1000, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"});
        v.push_back({"flate-rotated.pdf", make_doc(s)});
        s.xref_stream = true;
        v.push_back({"xref-stream.pdf", make_doc(s)});
        s.objstm = true;
        v.push_back({"object-stream.pdf", make_doc(s)});
    }
    {
        // A nested tree that hands rotation, boxes and resources down.
        DocSpec s;
        for (int i = 0; i < 7; ++i) {
            PageSpec p;
            p.media_box = "";
            p.content = "0 g 10 10 50 50 re f";
            s.pages.push_back(p);
        }
        s.fanout = 2;
        s.root_extra = "/Rotate 270 /MediaBox [0 0 300 400] /Resources << /ProcSet [/PDF] >>";
        s.inner_extra = "/CropBox [5 5 295 395]";
        v.push_back({"nested-tree.pdf", make_doc(s)});
    }
    {
        // Resources that reach further objects, an image stream, a content
        // array given by reference, and an indirect /Length.
        PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 5 0 R "
                 "/Resources << /XObject << /Im1 8 0 R >> /Font << /F1 9 0 R >> >> >>");
        b.add(4, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 300] /Contents [6 0 R 7 0 R] "
                 "/Resources 10 0 R >>");
        StreamOpts indirect;
        indirect.length_obj = 11;
        b.add_stream(5, "", "q 100 0 0 100 0 0 cm /Im1 Do Q", indirect);
        b.add_stream(6, "", "BT /F1 10 Tf 10 10 Td", {.flate = true});
        b.add_stream(7, "", "(x) Tj ET");
        b.add_stream(8, "/Type /XObject /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray "
                        "/BitsPerComponent 8",
                     std::string("\x00\xff\xff\x00", 4));
        b.add(9, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding 12 0 R >>");
        b.add(10, "<< /Font << /F1 9 0 R >> >>");
        b.add(12, "<< /Type /Encoding /Differences [1 /a /b] >>");
        v.push_back({"resources.pdf", b.finish("/Root 1 0 R")});
    }
    {
        // An incremental update that replaces a page.
        PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents 4 0 R >>");
        b.add_stream(4, "", "0 g 0 0 10 10 re f");
        b.finish_classic("/Root 1 0 R");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 150 100] /Rotate 180 /Contents 4 0 R >>");
        b.finish_classic("/Root 1 0 R");
        v.push_back({"incremental.pdf", b.bytes()});
    }
    {
        // Damage: cut in the middle, and a table whose offsets are wrong.
        std::string whole = make_pages(2);
        v.push_back({"truncated.pdf", whole.substr(0, whole.size() / 2)});
        std::string shifted = whole;
        size_t x = shifted.rfind("xref");
        if (x != std::string::npos)
            for (size_t i = x; i < shifted.size(); ++i)
                if (shifted[i] == '0') shifted[i] = '7';
        v.push_back({"bad-offsets.pdf", shifted});
        std::string bad_len = make_simple_doc({PageSpec{}});
        size_t l = bad_len.find("/Length ");
        if (l != std::string::npos) bad_len.replace(l, 9, "/Length 99999");
        v.push_back({"bad-length.pdf", bad_len});
    }
    // The robustness tests' cases that are small enough to mutate quickly.
    std::vector<hostile::Case> cases;
    for (auto family : {hostile::xref_offsets(), hostile::lengths(), hostile::object_streams(),
                        hostile::page_trees(), hostile::object_numbers(), hostile::bombs(2000, 2000)})
        for (auto &c : family) cases.push_back(std::move(c));
    cases.push_back({"tree-cycle-deep", hostile::deep_tree(300), hostile::Expect::any, ""});
    cases.push_back({"big-page-parents", hostile::big_page_many_parents(20, 200), hostile::Expect::any, ""});
    cases.push_back({"shared-bomb", hostile::shared_bomb(4, 2000), hostile::Expect::any, ""});
    cases.push_back({"bomb-array", hostile::bomb_array(4, 2000), hostile::Expect::any, ""});
    for (auto &c : cases) {
        // Large files, and numbers near the largest kept one (their tables
        // take a third of a second a run), would slow the fuzzer down; the
        // tests cover them.
        if (c.bytes.size() > 65536 || c.name.find("-num-83886") != std::string::npos ||
            c.name == "many-high-numbers")
            continue;
        std::string name = "hostile-" + c.name + ".pdf";
        for (char &ch : name)
            if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.')) ch = '_';
        v.push_back({name, std::move(c.bytes)});
    }
    return v;
}

std::vector<std::pair<std::string, std::string>> deflate_seeds() {
    std::vector<std::pair<std::string, std::string>> v;
    std::string text = page_text(2), runs = std::string(700, 'a') + std::string(40, 'b') + std::string(300, 'a');
    std::string bytes;
    for (unsigned i = 0, x = 1; i < 3000; ++i) {
        x = x * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(i % 7 == 0 ? x >> 24 : "q Q cm re f"[i % 11]));
    }
    for (int level : {0, 1, 2, 4, 6, 9}) {
        std::string l(1, static_cast<char>(level));
        v.push_back({"text-" + std::to_string(level), l + text});
        v.push_back({"runs-" + std::to_string(level), l + runs});
        v.push_back({"mixed-" + std::to_string(level), l + bytes});
    }
    v.push_back({"empty", std::string(1, '\6')});
    v.push_back({"one", std::string(1, '\1') + "x"});
    return v;
}

// Filter seeds: the twelve header bytes of fuzz_filters (chain, parameters,
// limit), then data encoded for that chain; or a /Filter line, a
// /DecodeParms line and the data.
std::string filter_head(std::initializer_list<int> steps, int predictor_pick, int colors, int bpc_pick,
                        int columns, int early) {
    std::string h(12, '\0');
    h[0] = static_cast<char>(steps.size() - 1);
    int k = 1;
    for (int s : steps) h[k++] = static_cast<char>(s | predictor_pick << 3);
    h[5] = static_cast<char>(colors);
    h[6] = static_cast<char>(bpc_pick);
    h[7] = static_cast<char>(columns & 0xff);
    h[8] = static_cast<char>(columns >> 8);
    h[9] = static_cast<char>(early);
    h[10] = static_cast<char>(0xff);
    h[11] = static_cast<char>(0x3f);  // a 16 KiB limit
    return h;
}

std::string hex_of(const std::string &s) {
    static const char *d = "0123456789ABCDEF";
    std::string o;
    for (unsigned char c : s) {
        o += d[c >> 4];
        o += d[c & 15];
    }
    return o + ">";
}

std::string run_length_of(const std::string &s) {
    std::string o;
    for (size_t i = 0; i < s.size(); i += 100) {
        std::string part = s.substr(i, 100);
        o += static_cast<char>(part.size() - 1);
        o += part;
    }
    return o + "\x81z\x80";
}

std::vector<std::pair<std::string, std::string>> filter_seeds() {
    std::vector<std::pair<std::string, std::string>> v;
    std::string text = page_text(2);
    // Filter numbers: 0 ASCIIHex, 1 ASCII85, 2 LZW, 3 RunLength, 4 Flate.
    v.push_back({"hex", filter_head({0}, 0, 1, 3, 1, 1) + hex_of(text)});
    v.push_back({"a85", filter_head({1}, 0, 1, 3, 1, 1) + "9jqo^BlbD-BleB1DJ+*+F(f,q/0JhKFz<GL>Cj~>"});
    v.push_back({"lzw", filter_head({2}, 0, 1, 3, 1, 1) + "\x80\x0b\x60\x50\x22\x0c\x0c\x85\x01"});
    v.push_back({"rl", filter_head({3}, 0, 1, 3, 1, 1) + run_length_of(text)});
    v.push_back({"flate", filter_head({4}, 0, 1, 3, 1, 1) + deflate_with(text, 6, 0)});
    v.push_back({"hex-rl", filter_head({0, 3}, 0, 1, 3, 1, 1) + hex_of(run_length_of(text))});
    // Rows of 8 bytes behind a PNG "Up" filter byte, and TIFF differences.
    std::string rows;
    for (int r = 0; r < 64; ++r) rows += std::string(1, '\x02') + text.substr(static_cast<size_t>(r) * 8, 8);
    v.push_back({"flate-png", filter_head({4}, 4, 1, 3, 8, 1) + deflate_with(rows, 6, 0)});
    v.push_back({"flate-tiff", filter_head({4}, 2, 3, 4, 5, 1) + deflate_with(text, 6, 0)});
    v.push_back({"text-chain", std::string(1, '\x80') + std::string(9, '\0') + "\xff\x3f" +
                                   "[/AHx /Fl]\n[null << /Predictor 12 /Columns 8 >>]\n" +
                                   hex_of(deflate_with(rows, 6, 0))});
    v.push_back({"text-names", std::string(1, '\x80') + std::string(9, '\0') + "\xff\x3f" +
                                   "[/ASCII85Decode /LZWDecode /RunLengthDecode]\n"
                                   "[null << /EarlyChange 0 /Foo (a) /Bar [1 2] >> 4 0 R]\n9jqo^~>"});
    return v;
}

std::vector<std::pair<std::string, std::string>> fontprog_seeds() {
    cffgen::TestFont f;
    f.glyphs = {"endchar",
                "50 100 100 rmoveto 200 0 rlineto 0 300 rlineto endchar",
                "0 0 rmoveto 0 100 100 0 0 -100 rrcurveto 50 50 50 50 hvcurveto -50 50 -50 50 10 vhcurveto endchar",
                "0 10 20 10 40 10 60 10 80 10 100 10 120 10 140 10 hstemhm 5 10 hintmask #ff #0e 10 20 rmoveto 30 "
                "40 rlineto 1 2 cntrmask #80 endchar",
                "10 10 -107 callsubr 0 30 rlineto -107 callgsubr",
                "0 0 rmoveto 10 20 30 40 50 60 70 hflex 1 2 3 4 5 6 7 8 9 10 11 12 13 flex 1 2 3 4 5 6 7 8 9 hflex1 "
                "1 2 3 4 5 6 7 8 9 10 11 flex1 endchar",
                "0 100 400 65 194 endchar",
                "0 0 rmoveto 50 0 rlineto 0 50 rlineto endchar",
                "0.5 -20.25 rmoveto 100 vlineto 40 hlineto 10 22 hmoveto 3 4 5 6 7 8 9 10 rcurveline "
                "1 2 3 4 5 6 7 8 rlinecurve 1 2 3 4 5 vvcurveto 1 2 3 4 5 hhcurveto endchar"};
    f.sids = {34, 35, 36, 37, 38, 173, 125, 391};
    f.strings = {"pi"};
    f.subrs = {"rmoveto 20 0 rlineto return", "-106 callsubr"};
    f.gsubrs = {"-5 -5 rlineto endchar"};
    f.codes = {65, 66, 67, 68, 69, 70, 71, 72};
    std::vector<std::pair<std::string, std::string>> v;
    v.push_back({"custom-encoding", cffgen::build(f)});
    f.codes.clear();
    v.push_back({"standard-encoding", cffgen::build(f)});
    cffgen::TestFont c;
    c.glyphs = {"endchar", "0 0 rmoveto -107 callsubr endchar", "5 5 rmoveto -107 callsubr -107 callgsubr"};
    c.sids = {100, 7};
    c.fd_of = {0, 0, 1};
    c.subrs = {"10 20 rlineto return"};
    c.fd_subrs = {{"-30 40 rlineto return"}};
    c.gsubrs = {"1 1 rlineto endchar"};
    v.push_back({"cid-keyed", cffgen::build(c)});
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3 || argc > 6) {
        std::fprintf(stderr,
                     "usage: %s <inflate-seed-dir> <nup-seed-dir> [<deflate-seed-dir> [<filters-seed-dir> "
                     "[<fontprog-seed-dir>]]]\n",
                     argv[0]);
        return 2;
    }
    bool ok = true;
    for (const auto &[name, bytes] : inflate_seeds()) ok = put(argv[1], name, bytes) && ok;
    for (const auto &[name, bytes] : doc_seeds()) ok = put(argv[2], name, bytes) && ok;
    if (argc >= 4)
        for (const auto &[name, bytes] : deflate_seeds()) ok = put(argv[3], name, bytes) && ok;
    if (argc >= 5)
        for (const auto &[name, bytes] : filter_seeds()) ok = put(argv[4], name, bytes) && ok;
    if (argc >= 6)
        for (const auto &[name, bytes] : fontprog_seeds()) ok = put(argv[5], name, bytes) && ok;
    return ok ? 0 : 1;
}
