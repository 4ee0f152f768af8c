// Object streams: members decoded into the index, and everything that makes
// a stream contribute fewer members or none.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "pdf/load.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using namespace sheetlay;
using pdfgen::PdfBuilder;

namespace {

struct Loaded {
    doc d{};
    int rc;
    explicit Loaded(const std::string &bytes) {
        rc = doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), "o.pdf", &d);
    }
    ~Loaded() {
        if (rc == 0) doc_free(&d);
    }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;
    // The member's text, or "(absent)".
    std::string member(int num) const {
        const obj_entry *e = objvec_find(&d.objs, num);
        if (!e) return "(absent)";
        if (!e->in_objstm) return "(plain)";
        return std::string(reinterpret_cast<const char *>(e->text), static_cast<size_t>(e->text_len));
    }
};

// A one-page document (objects 1 to 3 in the file) with `extra` bytes
// (object streams) before its cross-reference table.
std::string with_objects(const std::string &extra) {
    PdfBuilder b("%PDF-1.5\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
    b.add(3, "<< /Type /Page >>");
    b.raw(extra);
    return b.finish("/Root 1 0 R");
}

// An object stream object: dictionary entries and already encoded data.
std::string objstm(int num, const std::string &dict, const std::string &data) {
    return std::to_string(num) + " 0 obj\n<< /Type /ObjStm " + dict + " /Length " +
           std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream\nendobj\n";
}

const std::string kHeader = "20 0 21 11 ";            // /First 11
const std::string kBody = "<< /A 1 >> << /B 22 >>";   // member 20 is 11 bytes

TEST(ObjStm, MembersFromAGeneratedDocument) {
    pdfgen::DocSpec plan;
    plan.objstm = true;
    plan.pages.resize(3);
    plan.root_extra = "/Rotate 90";
    Loaded l(pdfgen::make_doc(plan));
    ASSERT_EQ(l.rc, 0) << g_err;
    EXPECT_EQ(l.d.pages.count, 3);
    EXPECT_EQ(l.d.pages.items[2].rotate, 90);
    const obj_entry *cat = objvec_find(&l.d.objs, 1);
    ASSERT_NE(cat, nullptr);
    EXPECT_EQ(cat->in_objstm, 1);
    EXPECT_EQ(cat->hdr_pos, -1);
    EXPECT_EQ(l.d.ar.size(), 1u);  // one decoded stream kept
}

TEST(ObjStm, HeaderAndLimits) {
    struct Case {
        const char *what;
        std::string dict, header, body;
        const char *m20, *m21;
    } cases[] = {
        {"plain", "/N 2 /First 11", kHeader, kBody, "<< /A 1 >> ", "<< /B 22 >>"},
        {"first usable /N", "/N 0 /N 2 /First 11", kHeader, kBody, "<< /A 1 >> ", "<< /B 22 >>"},
        {"N 0", "/N 0 /First 11", kHeader, kBody, "(absent)", "(absent)"},
        {"N negative", "/N -2 /First 11", kHeader, kBody, "(absent)", "(absent)"},
        {"N too large", "/N 100001 /First 11", kHeader, kBody, "(absent)", "(absent)"},
        {"no First", "/N 2", kHeader, kBody, "(absent)", "(absent)"},
        {"First past the data", "/N 2 /First 400", kHeader, kBody, "(absent)", "(absent)"},
        {"non-number", "/N 2 /First 11", "20 0 x 11 ", kBody, "(absent)", "(absent)"},
        {"header too short", "/N 3 /First 11", kHeader, kBody, "(absent)", "(absent)"},
        {"same offset", "/N 2 /First 11", "20 0 21 0  ", kBody, "(absent)", "<< /A 1 >> << /B 22 >>"},
        {"number 0", "/N 2 /First 11", " 0 0 21 11 ", kBody, "(absent)", "<< /B 22 >>"},
        // Offsets beyond the data: cut at its end, or left out.
        {"beyond", "/N 2 /First 11", "20 0 21 99 ", kBody, "<< /A 1 >> << /B 22 >>", "(absent)"},
    };
    for (const Case &c : cases) {
        // Raw, and Flate (decoded once the decoder is in place).
        for (bool z : {false, true}) {
            std::string data = c.header + c.body;
            std::string dict = c.dict;
            if (z) {
                data = pdfgen::zcompress(data);
                dict += " /Filter /FlateDecode";
            }
            Loaded l(with_objects(objstm(10, dict, data)));
            ASSERT_EQ(l.rc, 0) << c.what << ": " << g_err;
            EXPECT_EQ(l.member(20), c.m20) << c.what << (z ? " (flate)" : "");
            EXPECT_EQ(l.member(21), c.m21) << c.what << (z ? " (flate)" : "");
            EXPECT_EQ(l.member(10), "(absent)");
        }
    }
}

TEST(ObjStm, NeedsALargerArea) {
    REQUIRE_ZLIB();
    // A member that inflates to far more than 8 x R + 64 bytes.
    std::string fill(300000, 'a');
    std::string m20 = "<< /Fill (" + fill + ") >>";
    std::string data = "20 0 21 " + std::to_string(m20.size()) + "\n" + m20 + "<< /B 1 >>";
    std::string z = pdfgen::zcompress(data, 9);
    ASSERT_GT(m20.size(), 8 * z.size() + 64);
    std::string hdr = "20 0 21 " + std::to_string(m20.size()) + "\n";
    Loaded l(with_objects(objstm(10, "/N 2 /First " + std::to_string(hdr.size()) + " /Filter /FlateDecode", z)));
    ASSERT_EQ(l.rc, 0) << g_err;
    EXPECT_EQ(l.member(20), m20);
    EXPECT_EQ(l.member(21), "<< /B 1 >>");
    EXPECT_EQ(l.d.ar.size(), 1u);  // the attempts that were too small are released
}

TEST(ObjStm, DamagedData) {
    const std::string data = kHeader + kBody;
    {
        // Cut short or refused: the stream gives nothing, and no block stays.
        std::string cut = pdfgen::zstored(data);
        cut.resize(cut.size() - 8);
        std::string refused = pdfgen::zstored(data);
        refused[0] = 0x79;  // compression method 9
        for (const std::string &z : {cut, refused}) {
            Loaded l(with_objects(objstm(10, "/N 2 /First 11 /Filter /FlateDecode", z)));
            ASSERT_EQ(l.rc, 0) << g_err;
            EXPECT_EQ(l.member(20), "(absent)");
            EXPECT_EQ(l.d.ar.size(), 0u);
        }
    }
    {
        // Damaged inside: read from the bytes before the damage (header and
        // member 20 in a first stored block, then an invalid block).
        std::string first = kHeader + "<< /A 1 >> ";
        std::string z = "\x78\x01";
        z += '\0';
        z += static_cast<char>(first.size());
        z += '\0';
        z += static_cast<char>(~first.size() & 0xff);
        z += '\xff';
        z += first + "\x07" + "garbage";
        Loaded l(with_objects(objstm(10, "/N 2 /First 11 /Filter /FlateDecode", z)));
        ASSERT_EQ(l.rc, 0) << g_err;
        EXPECT_EQ(l.member(20), "<< /A 1 >> ");
        EXPECT_EQ(l.member(21), "(absent)");
    }
}

TEST(ObjStm, UnusedStreamsKeepNothing) {
    // Decoded, but no member usable: the decoded bytes are not kept.
    Loaded l(with_objects(objstm(10, "/N 1 /First 4", "0 0 (zero)")));
    ASSERT_EQ(l.rc, 0) << g_err;
    EXPECT_EQ(l.d.ar.size(), 0u);
    // Many small streams that each claim the most members allowed.
    std::string many;
    for (int i = 0; i < 20000; ++i) many += objstm(100 + i, "/N 100000 /First 0", "7 0");
    Loaded m(with_objects(many));
    ASSERT_EQ(m.rc, 0) << g_err;
    EXPECT_EQ(m.member(7), "(absent)");
    EXPECT_EQ(m.d.ar.size(), 0u);
}

TEST(ObjStm, TwoStreamsAndAPlainObject) {
    // The same number in two streams: the one appended last. A plain
    // object of that number wins over both.
    std::string a = objstm(10, "/N 1 /First 5", "30 0 (first)");
    std::string b = objstm(11, "/N 1 /First 5", "30 0 (second)");
    Loaded l(with_objects(a + b));
    ASSERT_EQ(l.rc, 0) << g_err;
    EXPECT_EQ(l.member(30), "(second)");
    Loaded m(with_objects(a + b + "30 0 obj\n(plain)\nendobj\n"));
    EXPECT_EQ(m.member(30), "(plain)");
    // A member that is itself an object stream is not expanded.
    std::string inner = objstm(12, "/N 1 /First 5", "40 0 (deep)");
    Loaded n(with_objects(objstm(11, "/N 1 /First 5", "41 0 " + inner)));
    EXPECT_EQ(n.member(40), "(absent)");
    EXPECT_NE(n.member(41), "(absent)");
}

TEST(ObjStm, WhatMakesAnObjectStream) {
    // The stream's dictionary, and whether its members are read by the
    // default loader and by the lenient one (which also goes by /N and
    // /First at the dictionary's top level).
    struct Case {
        const char *dict;
        bool strict, lenient;
    } cases[] = {
        {"/Type /ObjStm /N 2 /First 11", true, true},
        {"/N 2 /First 11 /Type/ObjStm", true, true},
        {"/Type /ObjStmX /N 2 /First 11", false, true},
        {"/Type /XRef /N 2 /First 11", false, true},
        {"/N 2 /First 11", false, true},
        {"/Type /X /NX 2 /N2 0 /First 11", false, false},
        {"/Type /X /N 2 /Firsts 11", false, false},
        {"/Type /X /D << /N 2 /First 11 >> /N 2 /First 11", false, true},
        {"/Type /X /D << /N 2 /First 11 >>", false, false},
    };
    const std::string data = kHeader + kBody;
    for (const Case &c : cases) {
        std::string pdf = with_objects("10 0 obj\n<< " + std::string(c.dict) + " /Length " +
                                       std::to_string(data.size()) + " >>\nstream\n" + data +
                                       "\nendstream\nendobj\n");
        for (bool lenient : {false, true}) {
            load_options lo;
            lo.lenient = lenient;
            doc d{};
            ASSERT_EQ(doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(), "o.pdf", &d, lo), 0)
                << c.dict << ": " << g_err;
            const obj_entry *m = objvec_find(&d.objs, 20);
            EXPECT_EQ(m != nullptr && m->in_objstm, lenient ? c.lenient : c.strict)
                << c.dict << (lenient ? " (lenient)" : "");
            doc_free(&d);
        }
    }
}

}  // namespace
