// Access to stream data: what comes back decoded, what comes back in place
// (and then still encoded, with which filters), and what comes back not at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "error.h"
#include "pdf/load.h"
#include "pdf/stream.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using namespace sheetlay;
using pdfgen::PdfBuilder;

namespace {

// A loaded document holding object 4, the stream under test.
struct StreamDoc {
    doc d{};
    int rc;
    explicit StreamDoc(const std::string &dict_extra, const std::string &data,
                       const pdfgen::StreamOpts &o = {}, const std::string &more = "") {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
        b.add(3, "<< /Type /Page /Contents 4 0 R >>");
        b.add_stream(4, dict_extra, data, o);
        b.raw(more);
        std::string bytes = b.finish("/Root 1 0 R");
        rc = doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), "s.pdf", &d);
    }
    ~StreamDoc() {
        if (rc == 0) doc_free(&d);
    }
    StreamDoc(const StreamDoc &) = delete;
    StreamDoc &operator=(const StreamDoc &) = delete;
    const obj_entry *e(int num = 4) const { return objvec_find(&d.objs, num); }
    std::string text(const rng &r) const {
        if (r.start < 0) return "(absent)";
        return std::string(reinterpret_cast<const char *>(d.data) + r.start, static_cast<size_t>(r.end - r.start));
    }
};

pdfgen::StreamOpts flate() {
    pdfgen::StreamOpts o;
    o.flate = true;
    return o;
}

const std::string kContent = "BT /F1 12 Tf 72 712 Td (Hello) Tj ET\n0 0 1 rg 10 10 100 100 re f\n";

TEST(Stream, UnfilteredInPlace) {
    StreamDoc s("", kContent);
    ASSERT_EQ(s.rc, 0) << g_err;
    buf out{};
    int32_t n = -5;
    stream_filter sf;
    const unsigned char *p = decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, &sf);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, s.d.data + s.e()->data_start);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n)), kContent);
    EXPECT_EQ(out.data, nullptr);  // never copied
    EXPECT_EQ(sf.still_encoded, 0);
    EXPECT_EQ(sf.filter.start, -1);
    EXPECT_EQ(sf.parms.start, -1);
}

TEST(Stream, FlateDecoded) {
    // Ways of naming the filter that all mean a lone /FlateDecode.
    const std::string dicts[] = {"/Filter /FlateDecode", "/Filter [/FlateDecode]",
                                 "/Filter [ /FlateDecode ]", "/Filter/FlateDecode/X 1",
                                 "/Filter /FlateDecode /DecodeParms << /Predictor 1 >>",
                                 "/Foo /FlateDecode"};  // no /Filter: the name anywhere
    for (const std::string &dict : dicts) {
        pdfgen::StreamOpts o;
        std::string z = pdfgen::zcompress(kContent);
        StreamDoc s(dict, z, o);
        ASSERT_EQ(s.rc, 0) << g_err;
        buf out{};
        int32_t n = -5;
        stream_filter sf;
        const unsigned char *p = decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, &sf);
        ASSERT_NE(p, nullptr) << dict;
        EXPECT_EQ(p, out.data);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n)), kContent) << dict;
        EXPECT_EQ(out.len, kContent.size());
        EXPECT_EQ(out.data[out.len], 0);
        EXPECT_EQ(sf.still_encoded, 0) << dict;
        buf_free(&out);
    }
}

TEST(Stream, PassedThroughEncoded) {
    struct Case {
        std::string dict;
        const char *filter, *parms;
    } cases[] = {
        {"/Filter /LZWDecode", "/LZWDecode", "(absent)"},
        {"/Filter /LZWDecode /DecodeParms << /EarlyChange 0 >>", "/LZWDecode", "<< /EarlyChange 0 >>"},
        {"/Filter [/ASCII85Decode /FlateDecode]", "[/ASCII85Decode /FlateDecode]", "(absent)"},
        // Flate first, but more filters behind it.
        {"/Filter [/FlateDecode /ASCII85Decode]", "[/FlateDecode /ASCII85Decode]", "(absent)"},
        // Flate with a predictor: the predictor bytes would be left in.
        {"/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 4 >>", "/FlateDecode",
         "<< /Predictor 12 /Columns 4 >>"},
        {"/Filter /FlateDecode /DecodeParms [<< /Predictor 2 >>]", "/FlateDecode", "[<< /Predictor 2 >>]"},
        {"/Filter /DCTDecode", "/DCTDecode", "(absent)"},
    };
    for (const Case &c : cases) {
        StreamDoc s(c.dict, "stored bytes \x01\x02");
        ASSERT_EQ(s.rc, 0) << g_err;
        buf out{};
        int32_t n = -5;
        stream_filter sf;
        const unsigned char *p = decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, &sf);
        ASSERT_NE(p, nullptr) << c.dict;
        EXPECT_EQ(p, s.d.data + s.e()->data_start) << c.dict;
        EXPECT_EQ(n, 15);
        EXPECT_EQ(out.data, nullptr);
        EXPECT_EQ(sf.still_encoded, 1) << c.dict;
        EXPECT_EQ(s.text(sf.filter), c.filter);
        EXPECT_EQ(s.text(sf.parms), c.parms);
    }
}

TEST(Stream, Failures) {
    {
        // An empty range is refused before the filter is looked at.
        pdfgen::StreamOpts o;
        o.length_text = "0";
        StreamDoc s("/Filter /FlateDecode", "", o);
        ASSERT_EQ(s.rc, 0) << g_err;
        buf out{};
        int32_t n = -5;
        EXPECT_EQ(decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, nullptr), nullptr);
        EXPECT_EQ(n, -5);
    }
    {
        // Cut short: no result, and the buffer keeps what it held.
        std::string z = pdfgen::zstored(kContent);
        z.resize(z.size() - 10);
        StreamDoc s("/Filter /FlateDecode", z);
        ASSERT_EQ(s.rc, 0) << g_err;
        buf out{};
        buf_str(&out, "kept");
        int32_t n = -5;
        EXPECT_EQ(decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, nullptr), nullptr);
        EXPECT_EQ(n, -5);
        EXPECT_EQ(out.len, 4u);
        EXPECT_STREQ(reinterpret_cast<char *>(out.data), "kept");
        buf_free(&out);
        // Not a stream.
        EXPECT_EQ(decoded_stream(s.e(1), s.d.data, s.d.len, &out, &n, nullptr), nullptr);
    }
    {
        // Damaged inside: the bytes before the damage.
        std::string z = "\x78\x01";
        z += std::string("\x00\x05\x00\xfa\xff", 5) + "hello";  // a stored block, not the last
        z += "\x07";                                            // block type 3: invalid
        StreamDoc s("/Filter /FlateDecode", z);
        ASSERT_EQ(s.rc, 0) << g_err;
        buf out{};
        int32_t n = -5;
        const unsigned char *p = decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, nullptr);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n)), "hello");
        buf_free(&out);
    }
}

TEST(Stream, TwoStreamsIntoOneBuffer) {
    const std::string a = "first stream", b = "the second stream";
    pdfgen::StreamOpts o;
    std::string more = "5 0 obj\n<< /Length " + std::to_string(pdfgen::zcompress(b).size()) +
                       " /Filter /FlateDecode >>\nstream\n" + pdfgen::zcompress(b) + "\nendstream\nendobj\n";
    StreamDoc s("/Filter /FlateDecode", pdfgen::zcompress(a), o, more);
    ASSERT_EQ(s.rc, 0) << g_err;
    buf out{};
    int32_t n1 = 0, n2 = 0;
    const unsigned char *p1 = decoded_stream(s.e(4), s.d.data, s.d.len, &out, &n1, nullptr);
    ASSERT_NE(p1, nullptr);
    const unsigned char *p2 = decoded_stream(s.e(5), s.d.data, s.d.len, &out, &n2, nullptr);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(p2, out.data + n1);
    EXPECT_EQ(out.len, a.size() + b.size());
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data)), a + b);
    buf_free(&out);
}

TEST(Stream, HighlyCompressibleContentIsNotLost) {
    REQUIRE_ZLIB();
    // 4 MB of one repeated line compress far better than 20:1.
    std::string big;
    while (big.size() < 4000000) big += "0 0 m 10 10 l S\n";
    std::string z = pdfgen::zcompress(big, 9);
    ASSERT_GT(big.size(), 20 * z.size() + 4096);
    StreamDoc s("/Filter /FlateDecode", z);
    ASSERT_EQ(s.rc, 0) << g_err;
    buf out{};
    buf_str(&out, "x");
    int32_t n = 0;
    const unsigned char *p = decoded_stream(s.e(), s.d.data, s.d.len, &out, &n, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, out.data + 1);
    ASSERT_EQ(static_cast<size_t>(n), big.size());
    EXPECT_EQ(std::memcmp(p, big.data(), big.size()), 0);
    EXPECT_EQ(out.len, big.size() + 1);
    buf_free(&out);
}

TEST(Stream, EntryWithoutDictionaryIsInPlace) {
    const std::string text = "raw data here";
    obj_entry e{};
    e.num = 1;
    e.is_stream = 1;
    e.dict_pos = -1;
    e.data_start = 4;
    e.data_end = 8;
    buf out{};
    int32_t n = 0;
    const unsigned char *p =
        decoded_stream(&e, reinterpret_cast<const unsigned char *>(text.data()), 13, &out, &n, nullptr);
    EXPECT_EQ(p, reinterpret_cast<const unsigned char *>(text.data()) + 4);
    EXPECT_EQ(n, 4);
    e.data_end = 14;  // beyond the text
    EXPECT_EQ(decoded_stream(&e, reinterpret_cast<const unsigned char *>(text.data()), 13, &out, &n, nullptr),
              nullptr);
}

}  // namespace
