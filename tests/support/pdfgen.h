// A small PDF writer for tests: objects in, bytes out.
//
// Files are assembled in the order of the calls, so a test can build sound
// files (classic or cross-reference-stream sections, incremental updates,
// object streams) as well as damaged ones (raw() puts any bytes anywhere).
// Bytes are kept in std::string, which holds binary data as well as text.
//
//   pdfgen::PdfBuilder b;
//   b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
//   b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
//   b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>");
//   b.add_stream(4, "", "0 0 100 100 re f", {.flate = true});
//   std::string pdf = b.finish("/Root 1 0 R");
#ifndef SHEETLAY_TEST_PDFGEN_H
#define SHEETLAY_TEST_PDFGEN_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pdfgen {

// True when zcompress uses zlib (else it writes stored deflate blocks).
bool have_zlib();

// A zlib stream (RFC 1950) of `data`. With zlib at the given level (0-9);
// without zlib, or with level 0, uncompressed "stored" blocks, which every
// inflater must accept.
std::string zcompress(std::string_view data, int level = 6);

// Stored blocks only, independent of zlib: a valid zlib stream whose layout
// is fully known (2-byte header, 5-byte block headers, 4-byte Adler-32).
std::string zstored(std::string_view data);

// zlib's own decoding of `data` (nullopt on a damaged stream or when built
// without zlib). A reference to check other decoders against.
std::optional<std::string> zuncompress(std::string_view data);

// How add_stream writes a stream.
struct StreamOpts {
    bool flate = false;    // compress the data with zcompress; adds /Filter /FlateDecode
    int level = 6;         // compression level when flate
    int length_obj = 0;    // > 0: /Length is "length_obj 0 R" and that object (holding the
                           // true length) is added right after the stream
    std::string length_text;  // non-empty: written verbatim as /Length's value (damage tests)
    bool omit_length = false;  // no /Length at all
    std::string eol = "\n";         // bytes between "stream" and the data
    std::string before_end = "\n";  // bytes between the data and "endstream"
};

// How xref_stream writes a cross-reference stream.
struct XrefStreamOpts {
    bool flate = false;   // compress the entries (the /Filter /FlateDecode is added)
    bool prev = true;     // add /Prev to the previous section, when there is one
    bool size = true;     // add /Size
};

class PdfBuilder {
public:
    // The default header is "%PDF-1.7" plus a binary comment line; pass ""
    // for a file without header.
    explicit PdfBuilder(std::string_view header = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");

    // Writes "num gen obj\n<body>\nendobj\n" and records its offset.
    PdfBuilder &add(int num, std::string_view body, int gen = 0);

    // Writes a stream object "<< /Length .. [/Filter /FlateDecode] dict_extra >>
    // stream<eol>data<before_end>endstream". `data` is raw bytes (binary is
    // fine); with opts.flate it is compressed first.
    PdfBuilder &add_stream(int num, std::string_view dict_extra, std::string_view data,
                           const StreamOpts &opts = {});

    // Writes an object stream (/Type /ObjStm /N /First) holding `members`
    // (object number, object text without header), in that order. The
    // members get no place of their own in a classic table; a
    // cross-reference stream (xref_stream) lists them as compressed objects.
    PdfBuilder &add_objstm(int num, const std::vector<std::pair<int, std::string>> &members,
                           bool flate = true, std::string_view dict_extra = "");

    // Appends any bytes as they are.
    PdfBuilder &raw(std::string_view text);

    // Writes a classic cross-reference table ("xref") for the objects of
    // the current section: the first section lists 0 .. max (gaps as free
    // entries); a later section (an incremental update) lists only the
    // objects written since the previous section. Starts a new section.
    PdfBuilder &xref();

    // Writes "trailer\n<< /Size N [/Prev P] entries >>\n". /Size and /Prev
    // (to the section before the last one) are added when `auto_entries`.
    // Call it again for files with several trailers after one table.
    PdfBuilder &trailer(std::string_view entries = "", bool auto_entries = true);

    // Writes object `num` as a cross-reference stream for the current section
    // (itself included): << /Type /XRef /Size /W [1 4 2] /Index [...] [/Prev]
    // dict_extra >> with valid entries. Starts a new section.
    PdfBuilder &xref_stream(int num, std::string_view dict_extra = "",
                            const XrefStreamOpts &opts = {});

    // Writes "startxref\n<offset>\n%%EOF\n"; offset -1 means the last section.
    PdfBuilder &startxref(int64_t offset = -1);

    // Convenience: xref() + trailer(entries) + startxref().
    PdfBuilder &finish_classic(std::string_view trailer_entries);
    // Convenience: xref_stream(num, dict_extra) + startxref().
    PdfBuilder &finish_xref_stream(int num, std::string_view dict_extra);
    // finish_classic and return the bytes.
    std::string finish(std::string_view trailer_entries);

    // Offset of the latest definition of object `num` (its first digit), or
    // -1. Members of object streams have none.
    int64_t offset(int num) const;
    // Offsets of every definition of `num`, in file order.
    std::vector<int64_t> offsets(int num) const;
    // Offset of the latest "xref" keyword or cross-reference stream object, or -1.
    int64_t last_section() const { return sections_.empty() ? -1 : sections_.back(); }
    // Current length, i.e. the offset the next write starts at.
    int64_t size() const { return static_cast<int64_t>(out_.size()); }
    // Largest object number written so far (members included), or 0.
    int max_num() const;

    const std::string &bytes() const { return out_; }

private:
    struct Loc {
        int type;      // 1 in file, 2 in object stream
        int64_t off;   // type 1: offset; type 2: object stream number
        int gen_or_index;
    };
    void record(int num, const Loc &loc);
    // The objects a section lists: all objects for the first section, else
    // those defined since the previous one.
    std::map<int, Loc> section_entries(int extra_num, int64_t extra_off) const;

    std::string out_;
    std::map<int, Loc> latest_;          // every object ever written, latest definition
    std::map<int, Loc> pending_;         // written since the last section
    std::map<int, std::vector<int64_t>> all_offsets_;
    std::vector<int64_t> sections_;
};

// One page of a generated document. Every field is the text of a value
// written verbatim ("" leaves the entry out), so odd values such as
// "/Rotate -90" or "/MediaBox 9 0 R" can be built too.
struct PageSpec {
    std::string media_box = "[0 0 612 792]";
    std::string crop_box;
    std::string rotate;
    std::string content;    // the content stream's data; a stream is always written
    std::string resources;  // e.g. "<< /Font << /F1 20 0 R >> >>"
    std::string extra;      // more entries for the page dictionary
    bool flate = false;     // compress the content
};

struct DocSpec {
    std::vector<PageSpec> pages;
    // 0: every page is a kid of the root /Pages node. k >= 2: a nested tree in
    // which every /Pages node has at most k kids (so depth grows as log_k).
    int fanout = 0;
    std::string root_extra;   // entries for the root /Pages node (e.g. "/Rotate 90")
    std::string inner_extra;  // entries for every other /Pages node
    std::string catalog_extra;
    std::string trailer_extra;  // more trailer (or cross-reference stream) entries
    // Extra objects (fonts, images, ...) written after the page tree. Pick
    // numbers of first_free_num(plan) or above (e.g. 1000).
    std::vector<std::pair<int, std::string>> objects;
    bool header = true;
    bool xref_stream = false;  // a cross-reference stream instead of a table
    bool objstm = false;       // catalog, /Pages nodes and pages inside an object
                               // stream (implies xref_stream)
};

// Object numbers used by the generated documents: 1 catalog, 2 root /Pages
// node, page i (0-based) 3 + 2i with its content 4 + 2i, then the inner
// /Pages nodes, then (objstm) the object stream, then the cross-reference
// stream.
constexpr int kCatalogNum = 1;
constexpr int kPagesNum = 2;
constexpr int page_num(int i) { return 3 + 2 * i; }
constexpr int content_num(int i) { return 4 + 2 * i; }
int first_free_num(const DocSpec &plan);  // lowest number the generator leaves unused

// The document's objects written into a fresh builder, without any
// cross-reference section, so a test can add or damage things before
// finishing it (trailer entries: "/Root 1 0 R" + plan.trailer_extra).
PdfBuilder doc_builder(const DocSpec &plan);

// Complete files.
std::string make_doc(const DocSpec &plan);
std::string make_simple_doc(const std::vector<PageSpec> &pages);
// n pages of the given size, each with a small filled square.
std::string make_pages(int n, double w = 612, double h = 792);

}  // namespace pdfgen

#endif
