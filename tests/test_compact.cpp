// Compact output: page content passed through compressed or re-encoded, the
// sheets' content compressed, object streams and the cross-reference stream
// that replace the classic table, and the proof that none of it changes a
// pixel: every corpus page renders the same as in uncompressed output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "nup/pdfout.h"
#include "nup/repack.h"
#include "pdf/document.h"
#include "pdf/load.h"
#include "pdf/stream.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

using pdfgen::PdfBuilder;
using pdfgen::StreamOpts;

// Composes `input` through the public interface; "" when it fails.
std::string compose(const std::string &input, int compress, int cols = 1, int rows = 1) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = cols;
    o.rows = rows;
    o.compress = compress;
    void *out = nullptr;
    size_t n = 0;
    char err[256] = {0};
    if (!sheetlay_nup_mem(input.data(), input.size(), &out, &n, &o, err, sizeof err)) return "";
    std::string s(static_cast<const char *>(out), n);
    sheetlay_free(out);
    return s;
}

// One page whose /Contents is `contents`, with `streams` (number, dict
// entries, data, options) written as objects 4 on.
struct StreamDef {
    int num;
    std::string dict;
    std::string data;
    StreamOpts opts;
};

std::string one_page(const std::string &contents, const std::vector<StreamDef> &streams) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents " + contents + " >>");
    for (const StreamDef &s : streams) b.add_stream(s.num, s.dict, s.data, s.opts);
    return b.finish("/Root 1 0 R");
}

// A stream of a file as our reader sees it: the dictionary text and the
// data as stored.
struct Stored {
    bool found = false;
    std::string dict, data;
};

Stored stored_of(const std::string &pdf, int num) {
    Stored r;
    sheetlay::doc d{};
    if (sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(),
                               "out.pdf", &d) != 0)
        return r;
    const sheetlay::obj_entry *e = sheetlay::objvec_find(&d.objs, num);
    int32_t n = 0;
    sheetlay::stored_kind kind;
    const unsigned char *p =
        e ? sheetlay::stored_stream(e, d.data, d.len, &n, nullptr, &kind) : nullptr;
    if (p && e->dict_pos >= 0 && e->stream_pos > e->dict_pos) {
        r.found = true;
        r.dict.assign(reinterpret_cast<const char *>(d.data) + e->dict_pos,
                      static_cast<size_t>(e->stream_pos - e->dict_pos));
        r.data.assign(reinterpret_cast<const char *>(p), static_cast<size_t>(n));
    }
    sheetlay::doc_free(&d);
    return r;
}

// 1-up numbering: 3 the sheet, 4 the form of its page, 5 the sheet's content.
constexpr int kForm = 4;
constexpr int kSheetContent = 5;

const char kPart1[] = "0 0 1 rg 10 10 80 80 re f";
const char kPart2[] = "1 0 0 rg 110 110 80 80 re f";

void expect_qpdf_clean(const std::string &pdf) {
    if (!testtools::have_qpdf()) return;
    std::string path = testtools::write_temp(pdf, "compact");
    testtools::QpdfResult q = testtools::qpdf_check(path);
    EXPECT_EQ(q.status, 0) << q.out;
    testtools::remove_file(path);
}

// ---------------------------------------------------------------------------
// Page content

TEST(CompactContent, ArrayOfFlatePartsBecomesOneReencodedStream) {
    REQUIRE_ZLIB();
    StreamOpts z;
    z.flate = true;
    std::string in = one_page("[4 0 R 5 0 R]", {{4, "", kPart1, z}, {5, "", kPart2, z}});
    std::string out = compose(in, SHEETLAY_COMPRESS_COMPACT);
    ASSERT_FALSE(out.empty());
    Stored f = stored_of(out, kForm);
    ASSERT_TRUE(f.found);
    EXPECT_NE(f.dict.find("/Filter /FlateDecode"), std::string::npos) << f.dict;
    auto plain = pdfgen::zuncompress(f.data);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(*plain, std::string(kPart1) + "\n" + kPart2);
    expect_qpdf_clean(out);
}

TEST(CompactContent, MixedArrayPartsJoinDecodedThenEncoded) {
    REQUIRE_ZLIB();
    StreamOpts z;
    z.flate = true;
    std::string in = one_page("[4 0 R 5 0 R]", {{4, "", kPart1, z}, {5, "", kPart2, {}}});
    Stored f = stored_of(compose(in, SHEETLAY_COMPRESS_COMPACT), kForm);
    ASSERT_TRUE(f.found);
    auto plain = pdfgen::zuncompress(f.data);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(*plain, std::string(kPart1) + "\n" + kPart2);
}

// A single stream: what the form's stored data and dictionary must be.
TEST(CompactContent, SingleStreamsPassThroughOrAreEncoded) {
    REQUIRE_ZLIB();
    const std::string hex = "302030203120726720313020313020383020383020726520660A>";
    struct Case {
        const char *name;
        std::string dict;  // entries besides /Length (and /Filter when flate)
        std::string data;
        bool flate;
        bool same_bytes;      // the form's data is the input's stored data
        const char *in_dict;  // what the form's dictionary must hold
    };
    const Case cases[] = {
        {"plain Flate", "", kPart1, true, true, "/Filter /FlateDecode"},
        {"Flate, parameters without predictor", "/DecodeParms << /Columns 3 >>", kPart1, true,
         true, "/Filter /FlateDecode"},
        {"Flate with a predictor", "/DecodeParms << /Predictor 12 /Columns 5 >>", kPart1, true,
         true, "/Predictor 12"},
        {"another filter", "/Filter /ASCIIHexDecode", hex, false, true, "/ASCIIHexDecode"},
        {"a chain", "/Filter [/ASCIIHexDecode /FlateDecode]", "", false, true,
         "[/ASCIIHexDecode /FlateDecode]"},
        {"no filter", "", kPart1, false, false, "/Filter /FlateDecode"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StreamOpts o;
        o.flate = c.flate;
        std::string data = c.data;
        if (data.empty()) {
            // Hex text of Flate data, for the chain case.
            std::string zd = pdfgen::zcompress(kPart1);
            static const char digits[] = "0123456789ABCDEF";
            for (unsigned char ch : zd) {
                data += digits[ch >> 4];
                data += digits[ch & 15];
            }
            data += '>';
        }
        std::string in = one_page("4 0 R", {{4, c.dict, data, o}});
        Stored src = stored_of(in, 4);
        std::string out = compose(in, SHEETLAY_COMPRESS_COMPACT);
        Stored f = stored_of(out, kForm);
        ASSERT_TRUE(src.found && f.found);
        EXPECT_NE(f.dict.find(c.in_dict), std::string::npos) << f.dict;
        if (c.same_bytes) {
            EXPECT_EQ(f.data, src.data);
        } else {
            auto plain = pdfgen::zuncompress(f.data);
            ASSERT_TRUE(plain.has_value());
            EXPECT_EQ(*plain, c.data);
        }
        expect_qpdf_clean(out);
    }
}

TEST(CompactContent, SheetContentIsCompressedAndUncompressedModeIsNot) {
    REQUIRE_ZLIB();
    StreamOpts z;
    z.flate = true;
    std::string in = one_page("4 0 R", {{4, "", kPart1, z}});
    Stored s = stored_of(compose(in, SHEETLAY_COMPRESS_COMPACT), kSheetContent);
    ASSERT_TRUE(s.found);
    EXPECT_NE(s.dict.find("/FlateDecode"), std::string::npos);
    auto plain = pdfgen::zuncompress(s.data);
    ASSERT_TRUE(plain.has_value());
    EXPECT_NE(plain->find("/F0 Do Q"), std::string::npos) << *plain;

    std::string classic = compose(in, SHEETLAY_COMPRESS_NONE);
    ASSERT_EQ(classic.compare(0, 8, "%PDF-1.4"), 0);
    EXPECT_EQ(classic.find("/ObjStm"), std::string::npos);
    Stored cf = stored_of(classic, kForm);
    EXPECT_EQ(cf.dict.find("/Filter"), std::string::npos);
    EXPECT_EQ(cf.data, kPart1);
}

TEST(CompactContent, PageObjectPlacedTwiceSharesItsCompressedContent) {
    REQUIRE_ZLIB();
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R 3 0 R] /Count 2 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents [4 0 R 5 0 R] >>");
    b.add_stream(4, "", kPart1);
    b.add_stream(5, "", kPart2);
    std::string out = compose(b.finish("/Root 1 0 R"), SHEETLAY_COMPRESS_COMPACT, 2, 1);
    ASSERT_FALSE(out.empty());
    Stored a = stored_of(out, 4), c = stored_of(out, 5);  // the two forms of the sheet
    ASSERT_TRUE(a.found && c.found);
    EXPECT_EQ(a.data, c.data);
    EXPECT_EQ(pdfgen::zuncompress(a.data).value_or(""), std::string(kPart1) + "\n" + kPart2);
    expect_qpdf_clean(out);
}

// A page's resources text is let go after its last placement: every
// placement of a page listed several times still carries it, whether the
// page names its resources or inherits them, in either mode.
TEST(CompactContent, PagePlacedThreeTimesKeepsItsResourcesInEveryForm) {
    const struct {
        const char *pages, *page;
    } cases[] = {
        {"<< /Type /Pages /Kids [3 0 R 3 0 R 3 0 R] /Count 3 >>",
         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources << /Font << /F1 5 0 R >> >> "
         "/Contents 4 0 R >>"},
        {"<< /Type /Pages /Kids [3 0 R 3 0 R 3 0 R] /Count 3 /Resources << /Font << /F1 5 0 R >> >> >>",
         "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>"},
    };
    for (const auto &c : cases) {
        for (int mode : {SHEETLAY_COMPRESS_NONE, SHEETLAY_COMPRESS_COMPACT}) {
            PdfBuilder b;
            b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
            b.add(2, c.pages);
            b.add(3, c.page);
            b.add_stream(4, "", "BT /F1 12 Tf (x) Tj ET");
            b.add(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
            std::string out = compose(b.finish("/Root 1 0 R"), mode, 2, 2);
            ASSERT_FALSE(out.empty()) << c.page;
            // The forms' dictionaries stand at the top level in both modes.
            std::vector<std::string> res;
            for (size_t at = out.find("/Subtype /Form"); at != std::string::npos;
                 at = out.find("/Subtype /Form", at + 1)) {
                size_t r = out.find("/Resources", at), e = out.find("stream", at);
                ASSERT_NE(e, std::string::npos);
                res.push_back(r < e ? out.substr(r, e - r) : "");
            }
            ASSERT_EQ(res.size(), 3u) << c.page << " mode " << mode;
            EXPECT_NE(res[0].find("/Font"), std::string::npos) << res[0];
            EXPECT_EQ(res[1], res[0]);
            EXPECT_EQ(res[2], res[0]);
        }
    }
}

// ---------------------------------------------------------------------------
// Object streams and the cross-reference stream

TEST(CompactStructure, SmallObjectsLeaveTheTopLevel) {
    std::string out = compose(pdfgen::make_pages(9), SHEETLAY_COMPRESS_COMPACT, 2, 2);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.compare(0, 8, "%PDF-1.5"), 0);
    EXPECT_NE(out.find("/Type /XRef"), std::string::npos);
    EXPECT_NE(out.find("/Type /ObjStm"), std::string::npos);
    EXPECT_EQ(out.find("\nxref\n"), std::string::npos);
    EXPECT_EQ(out.find("trailer"), std::string::npos);
    // Catalog, page tree and sheets are inside object streams.
    for (const char *hdr : {"\n1 0 obj", "\n2 0 obj", "\n3 0 obj"})
        EXPECT_EQ(out.find(hdr), std::string::npos) << hdr;
    expect_qpdf_clean(out);
    // Same input, same bytes.
    EXPECT_EQ(out, compose(pdfgen::make_pages(9), SHEETLAY_COMPRESS_COMPACT, 2, 2));
}

TEST(CompactStructure, ManyObjectsFillSeveralObjectStreams) {
    // 450 sheets of one page: 450 sheet pages, the catalog and the page tree
    // go into object streams of at most 200 objects each.
    std::string out = compose(pdfgen::make_pages(450), SHEETLAY_COMPRESS_COMPACT);
    ASSERT_FALSE(out.empty());
    size_t streams = 0;
    for (size_t p = out.find("/Type /ObjStm"); p != std::string::npos;
         p = out.find("/Type /ObjStm", p + 1))
        ++streams;
    EXPECT_EQ(streams, 3u);
    EXPECT_NE(out.find("/Type /ObjStm /N 200 "), std::string::npos);
    expect_qpdf_clean(out);
    if (testtools::have_pdfinfo()) {
        std::string path = testtools::write_temp(out, "many");
        EXPECT_EQ(testtools::pdfinfo_pages(path), 450);
        testtools::remove_file(path);
    }
}

TEST(CompactStructure, BodyThatNamesStreamStaysAtTheTopLevel) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R "
             "/Resources << /ExtGState << /G 5 0 R >> >> >>");
    b.add_stream(4, "", "/G gs 0 0 1 rg 10 10 80 80 re f");
    b.add(5, "<< /Type /ExtGState /CA 1 /X (a stream endstream of words) >>");
    std::string out = compose(b.finish("/Root 1 0 R"), SHEETLAY_COMPRESS_COMPACT);
    ASSERT_FALSE(out.empty());
    EXPECT_NE(out.find("(a stream endstream of words)"), std::string::npos);
    expect_qpdf_clean(out);
}

// A classic image that is not as compose writes it is left as it is.
TEST(CompactStructure, RepackLeavesUnreadableImagesAlone) {
    auto base = [] {
        PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>");
        return b;
    };
    std::string good = base().finish("/Root 1 0 R");
    struct Case {
        const char *name;
        std::string text;
    };
    std::string gen1 = good;
    gen1.replace(gen1.find("00000 n", gen1.find("xref")), 7, "00001 n");
    std::string no_root = base().finish("");
    std::string no_startxref = good.substr(0, good.find("startxref"));
    std::string off_beyond = good;
    {
        size_t x = off_beyond.find("xref\n0 3\n") + 9 + 20;
        off_beyond.replace(x, 10, "0099999999");
    }
    const Case cases[] = {{"generation 1", gen1},
                          {"no /Root", no_root},
                          {"no startxref", no_startxref},
                          {"offset beyond the table", off_beyond}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sheetlay::nup::image img;
        img.append(c.text);
        sheetlay::nup::repack(img);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(img.data()), img.len()), c.text);
    }
    sheetlay::nup::image img;
    img.append(good);
    sheetlay::nup::repack(img);
    std::string packed(reinterpret_cast<const char *>(img.data()), img.len());
    EXPECT_NE(packed, good);
    expect_qpdf_clean(packed);
}

// qpdf's listing of the cross-reference stream: every object in the file
// starts at its offset; every packed object's stream is an object stream.
// And every object reads the same through it as through the classic table
// of the uncompressed output (the same numbers): non-stream objects as
// values, streams by their decoded data.
void expect_same_objects(const std::string &input, int cols, int rows) {
    std::string compact = compose(input, SHEETLAY_COMPRESS_COMPACT, cols, rows);
    std::string classic = compose(input, SHEETLAY_COMPRESS_NONE, cols, rows);
    ASSERT_FALSE(compact.empty());
    ASSERT_FALSE(classic.empty());
    std::string cp = testtools::write_temp(compact, "cmp");
    std::string np = testtools::write_temp(classic, "cls");
    testtools::CmdResult x = testtools::run_cmd({testtools::qpdf_path(), "--show-xref", cp});
    ASSERT_EQ(x.status, 0) << x.out;
    std::istringstream lines(x.out);
    std::string line;
    std::map<int, long> at;                    // uncompressed: offset
    std::vector<std::pair<int, int>> packed;  // compressed: object, its stream
    while (std::getline(lines, line)) {
        int num = 0, gen = 0;
        long v = 0;
        int idx = 0;
        if (std::sscanf(line.c_str(), "%d/%d: uncompressed; offset = %ld", &num, &gen, &v) == 3)
            at[num] = v;
        else if (std::sscanf(line.c_str(), "%d/%d: compressed; stream = %ld, index = %d", &num,
                             &gen, &v, &idx) == 4)
            packed.emplace_back(num, static_cast<int>(v));
    }
    EXPECT_FALSE(packed.empty());
    for (const auto &[num, off] : at) {
        std::string hdr = std::to_string(num) + " 0 obj";
        ASSERT_LT(static_cast<size_t>(off), compact.size());
        EXPECT_EQ(compact.compare(static_cast<size_t>(off), hdr.size(), hdr), 0) << num;
    }
    for (const auto &[num, stm] : packed) {
        ASSERT_TRUE(at.count(stm)) << num;
        size_t dict_end = compact.find("stream", static_cast<size_t>(at[stm]));
        EXPECT_NE(compact.substr(static_cast<size_t>(at[stm]), dict_end - at[stm]).find("/ObjStm"),
                  std::string::npos);
    }
    // Every object of the classic output, compared through qpdf.
    auto show = [](const std::string &path, int num, bool data) {
        std::vector<std::string> argv = {testtools::qpdf_path(), "--show-object=" + std::to_string(num)};
        if (data) argv.push_back("--filtered-stream-data");
        argv.push_back(path);
        return testtools::run_cmd(argv);
    };
    int classic_size = 0;
    {
        size_t t = classic.rfind("/Size ");
        ASSERT_NE(t, std::string::npos);
        classic_size = std::atoi(classic.c_str() + t + 6);
    }
    for (int num = 1; num < classic_size; ++num) {
        SCOPED_TRACE(num);
        testtools::CmdResult a = show(np, num, true), b = show(cp, num, true);
        EXPECT_EQ(a.status, b.status);
        if (a.status == 0) {
            EXPECT_TRUE(a.out == b.out) << "decoded data differ";
            continue;
        }
        a = show(np, num, false);
        b = show(cp, num, false);
        EXPECT_EQ(a.status, b.status);
        if (a.out.find("/Length") == std::string::npos) EXPECT_EQ(a.out, b.out);
    }
    testtools::remove_file(cp);
    testtools::remove_file(np);
}

// Carried bodies at the edges of what an object stream takes, each spliced
// straight into it or left at the top level: white space of every kind
// around them, references at their very ends, no white space before
// "endobj", "stream" inside a name or a string, a bare number.
TEST(CompactStructure, CarriedBodiesAtTheEdgesMatchTheClassicFile) {
    REQUIRE_QPDF();
    REQUIRE_ZLIB();
    const struct {
        const char *body;
        bool top_level;
    } cases[] = {
        {"<< /CA 1 /X 6 0 R >>", false},
        {" \r\n\t\f<< /CA 1 >> \r\n\f\t", false},
        {"[6 0 R 6 0 R]", false},
        {"<</X 6 0 R>>\n\n", false},
        {"<< /X (a stream of words) >>", true},
        {"<< /Xstream 6 0 R >>", true},
        {"42", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R "
                 "/Resources << /ExtGState << /G 5 0 R >> >> >>");
        b.add_stream(4, "", "/G gs 0 0 1 rg 10 10 80 80 re f");
        b.add(5, c.body);
        b.add(6, "<< /Type /ExtGState /ca 1 >>");
        const std::string in = b.finish("/Root 1 0 R");
        // The carried object is the first after the sheet's own (1-up: 1 to 5).
        const std::string out = compose(in, SHEETLAY_COMPRESS_COMPACT);
        EXPECT_EQ(out.find("\n6 0 obj\n") != std::string::npos, c.top_level);
        expect_same_objects(in, 1, 1);
    }
}

TEST(CompactStructure, XrefStreamPointsAtTheObjectsOfTheClassicFile) {
    REQUIRE_QPDF();
    REQUIRE_ZLIB();
    StreamOpts z;
    z.flate = true;
    expect_same_objects(one_page("[4 0 R 5 0 R]", {{4, "", kPart1, z}, {5, "", kPart2, z}}), 1,
                        1);
    expect_same_objects(pdfgen::make_pages(7), 2, 2);
}

TEST(CompactStructure, XrefStreamOfACorpusFile) {
    REQUIRE_QPDF();
    REQUIRE_CORPUS();
    std::string path = testtools::corpus_dir() + "/pdflatex-4-pages.pdf";
    auto in = testtools::read_file(path);
    if (!in) GTEST_SKIP() << "pdflatex-4-pages.pdf not in the corpus";
    expect_same_objects(*in, 2, 2);
}

// ---------------------------------------------------------------------------
// The corpus: qpdf-clean, and every page renders as in uncompressed output.

// The images a renderer writes for every page of `pdf`, in page order:
// pdftoppm's PPM files, or with `mupdf` MuPDF's PGM files (when mutool is
// there; none otherwise). `log` gets what the renderer said.
std::vector<std::string> render_pages(const std::string &pdf, bool mupdf = false,
                                      std::string *log = nullptr) {
    namespace fs = std::filesystem;
    std::string in = testtools::write_temp(pdf, "render");
    fs::path dir = testtools::tmp_path("pages", "");
    fs::create_directories(dir);
    testtools::CmdResult r;
    if (!mupdf)
        r = testtools::run_cmd({testtools::pdftoppm_path(), "-r", "50", in, (dir / "p").string()});
    else if (std::strlen(SHEETLAY_MUTOOL) > 0)
        r = testtools::run_cmd({SHEETLAY_MUTOOL, "draw", "-q", "-r", "40", "-o",
                                (dir / "p-%04d.pgm").string(), in});
    if (log) *log = r.out;
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());  // p-01, p-02, ...: same width throughout
    std::vector<std::string> pages;
    for (const std::string &n : names) pages.push_back(testtools::read_file(n).value_or(""));
    fs::remove_all(dir);
    testtools::remove_file(in);
    return pages;
}

TEST(CompactCorpus, QpdfCleanAndRendersLikeUncompressed) {
    REQUIRE_CORPUS();
    REQUIRE_PDFTOPPM();
    int compared = 0;
    for (const std::string &path : testtools::corpus_files()) {
        SCOPED_TRACE(path);
        auto in = testtools::read_file(path);
        ASSERT_TRUE(in.has_value());
        std::string classic = compose(*in, SHEETLAY_COMPRESS_NONE, 2, 2);
        std::string compact = compose(*in, SHEETLAY_COMPRESS_COMPACT, 2, 2);
        EXPECT_EQ(classic.empty(), compact.empty());
        if (classic.empty() || compact.empty()) continue;
        EXPECT_LE(compact.size(), classic.size());
        if (testtools::have_qpdf()) {
            std::string cp = testtools::write_temp(classic, "cls");
            std::string kp = testtools::write_temp(compact, "cmp");
            // Only what the classic output passes is asked of the compact one.
            if (testtools::qpdf_check(cp).status == 0) {
                testtools::QpdfResult q = testtools::qpdf_check(kp);
                EXPECT_EQ(q.status, 0) << q.out;
            }
            testtools::remove_file(cp);
            testtools::remove_file(kp);
        }
        std::vector<std::string> a = render_pages(classic), b = render_pages(compact);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_FALSE(a[i].empty());
            EXPECT_TRUE(a[i] == b[i]) << "page " << i + 1 << " renders differently";
        }
        compared += static_cast<int>(a.size());
    }
    EXPECT_GT(compared, 0);
}

// MuPDF reads the object streams and the cross-reference stream without a
// complaint and draws every page as it draws the uncompressed output.
TEST(CompactCorpus, MupdfRendersLikeUncompressed) {
    REQUIRE_CORPUS();
    if (std::strlen(SHEETLAY_MUTOOL) == 0) GTEST_SKIP() << "mutool not found";
    for (const std::string &path : testtools::corpus_files()) {
        SCOPED_TRACE(path);
        auto in = testtools::read_file(path);
        ASSERT_TRUE(in.has_value());
        std::string classic = compose(*in, SHEETLAY_COMPRESS_NONE, 2, 2);
        std::string compact = compose(*in, SHEETLAY_COMPRESS_COMPACT, 2, 2);
        if (classic.empty() || compact.empty()) continue;
        std::string log_a, log_b;
        std::vector<std::string> a = render_pages(classic, true, &log_a);
        std::vector<std::string> b = render_pages(compact, true, &log_b);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_FALSE(a.empty());
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_TRUE(a[i] == b[i]) << "page " << i + 1 << " renders differently";
        // Only what MuPDF says of the compact file beyond the classic one.
        std::istringstream lines(log_b);
        std::string line;
        while (std::getline(lines, line))
            if (line.find("error") != std::string::npos)
                EXPECT_NE(log_a.find(line), std::string::npos) << line;
    }
}

}  // namespace
