// Encrypted input through the options interface, judged against qpdf (which
// encrypts corpus files) and poppler (which renders both outputs): the n-up
// of an encrypted file must draw exactly like the n-up of its original, and
// the fixed-grid calls must keep refusing it. Also the content arrays whose
// parts use the standard filters, which are now decoded before joining.
#include <gtest/gtest.h>

#include <cctype>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

using testtools::run_cmd;

// Every page of a PDF rendered by pdftoppm at 40 dpi (grey), as PGM bytes.
std::vector<std::string> render_pages(const std::string &pdf) {
    std::vector<std::string> pages;
    int n = testtools::pdfinfo_pages(pdf);
    for (int i = 1; i <= n; ++i) {
        std::string stem = testtools::tmp_path("encr", "");
        auto r = run_cmd({testtools::pdftoppm_path(), "-r", "40", "-gray", "-f", std::to_string(i), "-l",
                          std::to_string(i), "-singlefile", pdf, stem});
        auto bytes = testtools::read_file(stem + ".pgm");
        testtools::remove_file(stem + ".pgm");
        pages.push_back(r.status == 0 && bytes ? *bytes : std::string());
    }
    return pages;
}

struct nup_out {
    int rc = 0;
    std::string err;
    std::string pdf;
};

nup_out nup_file(const std::string &in, const char *password, uint32_t keep = 0) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.compress = SHEETLAY_COMPRESS_NONE;
    o.keep = keep;
    o.password = password;
    nup_out r;
    std::string out = testtools::tmp_path("encout");
    char err[512];
    r.rc = sheetlay_nup(in.c_str(), out.c_str(), &o, err, sizeof err);
    r.err = err;
    if (auto b = testtools::read_file(out)) r.pdf = *b;
    testtools::remove_file(out);
    return r;
}

std::string corpus(const char *name) { return testtools::corpus_dir() + "/" + name; }

// qpdf's encryption of `in` into a new temporary file; "" when qpdf fails.
std::string encrypt(const std::string &in, const std::vector<std::string> &args) {
    std::string out = testtools::tmp_path("enc");
    std::vector<std::string> argv{testtools::qpdf_path(), "--allow-weak-crypto"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(in);
    argv.push_back(out);
    auto r = run_cmd(argv);
    // 3: warnings only.
    if (r.status != 0 && r.status != 3) {
        ADD_FAILURE() << "qpdf: " << r.out;
        return "";
    }
    return out;
}

struct variant {
    const char *name;
    std::vector<std::string> args;  // after --allow-weak-crypto, before the files
};

const std::vector<variant> &variants() {
    static const std::vector<variant> v = {
        {"R2 RC4-40", {"--encrypt", "user", "owner", "40", "--"}},
        {"R3 RC4-128", {"--encrypt", "user", "owner", "128", "--"}},
        {"R4 RC4-128", {"--encrypt", "user", "owner", "128", "--use-aes=n", "--"}},
        {"R4 AES-128", {"--encrypt", "user", "owner", "128", "--use-aes=y", "--"}},
        {"R4 AES-128 clear metadata",
         {"--encrypt", "user", "owner", "128", "--use-aes=y", "--cleartext-metadata", "--"}},
        {"R4 AES-128 object streams",
         {"--object-streams=generate", "--encrypt", "user", "owner", "128", "--use-aes=y", "--"}},
        {"R5 AES-256", {"--encrypt", "user", "owner", "256", "--force-R5", "--"}},
        {"R6 AES-256", {"--encrypt", "user", "owner", "256", "--"}},
        {"R6 AES-256 object streams",
         {"--object-streams=generate", "--encrypt", "user", "owner", "256", "--"}},
        {"R3 RC4-128 object streams",
         {"--object-streams=generate", "--encrypt", "user", "owner", "128", "--"}},
    };
    return v;
}

class EncryptedCorpus : public ::testing::TestWithParam<const char *> {};

// Every variant, opened with the user and with the owner password, draws
// like the original; the output carries no /Encrypt and passes qpdf's check.
TEST_P(EncryptedCorpus, RendersLikeTheOriginal) {
    REQUIRE_CORPUS();
    REQUIRE_QPDF();
    REQUIRE_PDFTOPPM();
    REQUIRE_PDFINFO();
    const std::string src = corpus(GetParam());
    if (!testtools::file_exists(src)) GTEST_SKIP() << "missing " << src;
    for (uint32_t keep : {0u, static_cast<uint32_t>(SHEETLAY_KEEP_ALL)}) {
        nup_out plain = nup_file(src, nullptr, keep);
        ASSERT_EQ(plain.rc, 1) << plain.err;
        std::string plain_path = testtools::write_temp(plain.pdf, "encplain");
        const std::vector<std::string> want = render_pages(plain_path);
        ASSERT_FALSE(want.empty());
        for (const variant &v : variants()) {
            std::string enc = encrypt(src, v.args);
            if (enc.empty()) continue;
            for (const char *pw : {"user", "owner"}) {
                SCOPED_TRACE(std::string(v.name) + ", password " + pw + ", keep " + std::to_string(keep));
                nup_out r = nup_file(enc, pw, keep);
                ASSERT_EQ(r.rc, 1) << r.err;
                EXPECT_EQ(r.pdf.find("/Encrypt"), std::string::npos);
                std::string path = testtools::write_temp(r.pdf, "encnup");
                EXPECT_TRUE(render_pages(path) == want);
                EXPECT_TRUE(testtools::qpdf_check(path).usable());
                testtools::remove_file(path);
            }
            testtools::remove_file(enc);
        }
        testtools::remove_file(plain_path);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, EncryptedCorpus,
                         ::testing::Values("pdflatex-4-pages.pdf", "pdflatex-outline.pdf",
                                           "annotated_pdf.pdf"));

// The empty user password opens a file without being given.
TEST(Encrypted, EmptyUserPasswordNeedsNone) {
    REQUIRE_CORPUS();
    REQUIRE_QPDF();
    for (const char *bits : {"40", "128", "256"}) {
        std::string enc = encrypt(corpus("pdflatex-4-pages.pdf"), {"--encrypt", "", "owner", bits, "--"});
        ASSERT_FALSE(enc.empty());
        nup_out r = nup_file(enc, nullptr);
        EXPECT_EQ(r.rc, 1) << bits << ": " << r.err;
        r = nup_file(enc, "owner");
        EXPECT_EQ(r.rc, 1) << bits << ": " << r.err;
        testtools::remove_file(enc);
    }
}

// Strings in resources written inside a page or a /Pages node (not as an
// object of their own) are decrypted with that object's key, like the
// strings of carried objects; so are those of a resources object.
TEST(Encrypted, StringsOfDirectResourcesAreDecrypted) {
    REQUIRE_QPDF();
    pdfgen::DocSpec plan;
    pdfgen::PageSpec own;
    own.content = "/OC /MC0 BDC 0 0 m 9 9 l S EMC";
    own.resources = "<< /Properties << /MC0 << /Type /OCMD /Note (page-secret) >> >> >>";
    pdfgen::PageSpec inherits;
    inherits.content = "0 0 m 9 9 l S";
    plan.pages = {own, inherits};
    plan.root_extra = "/Resources << /Properties << /MC1 << /Note (tree-secret) >> >> >>";
    std::string plain = testtools::write_temp(pdfgen::make_doc(plan), "res");
    for (const char *bits : {"128", "256"}) {
        std::string enc = encrypt(plain, {"--object-streams=disable", "--encrypt", "user", "owner", bits, "--"});
        ASSERT_FALSE(enc.empty());
        nup_out r = nup_file(enc, "user");
        ASSERT_EQ(r.rc, 1) << r.err;
        auto hex = [](const std::string &t) {
            static const char *d = "0123456789abcdef";
            std::string h;
            for (unsigned char c : t) h += {d[c >> 4], d[c & 15]};
            return h;
        };
        std::string lower = r.pdf;
        for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(lower.find(hex("page-secret")), std::string::npos) << bits;
        EXPECT_NE(lower.find(hex("tree-secret")), std::string::npos) << bits;
        testtools::remove_file(enc);
    }
}

// Messages: missing and wrong passwords, the fixed-grid calls' refusal,
// from a path and from memory ("input").
TEST(Encrypted, Messages) {
    REQUIRE_CORPUS();
    REQUIRE_QPDF();
    for (const char *bits : {"40", "128", "256"}) {
        SCOPED_TRACE(bits);
        std::string enc = encrypt(corpus("pdflatex-4-pages.pdf"), {"--encrypt", "user", "owner", bits, "--"});
        ASSERT_FALSE(enc.empty());
        nup_out r = nup_file(enc, nullptr);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.err, enc + " needs a password");
        r = nup_file(enc, "nope");
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.err, "wrong password for " + enc);
        r = nup_file(enc, "");
        EXPECT_EQ(r.err, "wrong password for " + enc);

        std::string out = testtools::tmp_path("encsix");
        EXPECT_EQ(sheetlay_create(enc.c_str(), out.c_str(), 4, 0), 0);
        EXPECT_STREQ(sheetlay_last_error(), ("encrypted PDFs are not supported: " + enc).c_str());
        EXPECT_FALSE(testtools::file_exists(out));

        auto bytes = testtools::read_file(enc);
        ASSERT_TRUE(bytes);
        sheetlay_options o;
        sheetlay_options_init(&o);
        void *mem = nullptr;
        size_t mem_len = 0;
        char err[256];
        EXPECT_EQ(sheetlay_nup_mem(bytes->data(), bytes->size(), &mem, &mem_len, &o, err, sizeof err), 0);
        EXPECT_STREQ(err, "input needs a password");
        o.password = "user";
        EXPECT_EQ(sheetlay_nup_mem(bytes->data(), bytes->size(), &mem, &mem_len, &o, err, sizeof err), 1)
            << err;
        sheetlay_free(mem);
        testtools::remove_file(enc);
    }
}

// What the handler does not decrypt is named in the message.
TEST(Encrypted, UnsupportedHandlerIsNamed) {
    REQUIRE_CORPUS();
    REQUIRE_QPDF();
    std::string enc = encrypt(corpus("pdflatex-4-pages.pdf"), {"--encrypt", "user", "owner", "256", "--"});
    ASSERT_FALSE(enc.empty());
    auto bytes = testtools::read_file(enc);
    testtools::remove_file(enc);
    ASSERT_TRUE(bytes);
    struct {
        const char *from, *to, *message;
    } cases[] = {
        {"/R 6", "/R 7", "unsupported encryption in input (revision 7)"},
        // Same length: the offsets of the file stay right.
        {"/Filter /Standard", "/Filter /Standarx", "unsupported encryption in input (filter /Standarx)"},
        {"/V 5", "/V 3", "unsupported encryption in input (V 3)"},
    };
    for (const auto &c : cases) {
        std::string b = *bytes;
        size_t at = b.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        b.replace(at, std::strlen(c.from), c.to);
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.password = "user";
        void *mem = nullptr;
        size_t mem_len = 0;
        char err[256];
        EXPECT_EQ(sheetlay_nup_mem(b.data(), b.size(), &mem, &mem_len, &o, err, sizeof err), 0);
        EXPECT_STREQ(err, c.message);
    }
}

// Damaged encrypted files (cut anywhere, AES data whose length is no
// multiple of 16 or shorter than the IV) fail or succeed without reading
// past anything; run under the sanitizers this is the real check.
TEST(Encrypted, CutFilesStayInBounds) {
    REQUIRE_CORPUS();
    REQUIRE_QPDF();
    for (const char *aes : {"--use-aes=y", "--use-aes=n"}) {
        std::string enc = encrypt(corpus("pdflatex-4-pages.pdf"),
                                  {"--object-streams=generate", "--encrypt", "user", "owner", "128", aes, "--"});
        ASSERT_FALSE(enc.empty());
        auto bytes = testtools::read_file(enc);
        testtools::remove_file(enc);
        ASSERT_TRUE(bytes);
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.password = "user";
        for (size_t step = 0; step < 48; ++step) {
            std::string b = *bytes;
            // Shorten every "stream\n" payload by a few bytes at one place,
            // and cut the file, so that lengths and data disagree.
            size_t pos = b.size() * step / 48;
            b.erase(pos, std::min<size_t>(step % 17, b.size() - pos));
            void *mem = nullptr;
            size_t mem_len = 0;
            char err[256];
            int32_t rc = sheetlay_nup_mem(b.data(), b.size(), &mem, &mem_len, &o, err, sizeof err);
            EXPECT_TRUE(rc == 1 || err[0] != '\0');
            sheetlay_free(mem);
        }
    }
}

// ---------------------------------------------------------------------------
// Content arrays whose parts use the standard filters

std::string hex_encode(const std::string &s) {
    static const char *h = "0123456789abcdef";
    std::string o;
    for (unsigned char c : s) {
        o += h[c >> 4];
        o += h[c & 15];
    }
    return o + ">";
}

std::string a85_encode(const std::string &s) {
    std::string o;
    for (size_t i = 0; i < s.size(); i += 4) {
        size_t n = std::min<size_t>(4, s.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(s[i + k]) : 0);
        if (n == 4 && v == 0) {
            o += 'z';
            continue;
        }
        char d[5];
        for (int k = 4; k >= 0; --k) {
            d[k] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        o.append(d, n + 1);
    }
    return o + "~>";
}

// Literal runs of at most 128 bytes, then the end marker.
std::string rl_encode(const std::string &s) {
    std::string o;
    for (size_t i = 0; i < s.size(); i += 100) {
        size_t n = std::min<size_t>(100, s.size() - i);
        o += static_cast<char>(n - 1);
        o += s.substr(i, n);
    }
    return o + static_cast<char>(128);
}

// 9-bit codes, one per byte, with a clear code before the table would
// reach the width change; then the end code.
std::string lzw_encode(const std::string &s) {
    std::string o;
    uint32_t acc = 0;
    int bits = 0;
    auto put = [&](uint32_t code) {
        acc = acc << 9 | code;
        bits += 9;
        while (bits >= 8) {
            o += static_cast<char>((acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    };
    put(256);
    for (size_t i = 0; i < s.size(); ++i) {
        if (i > 0 && i % 200 == 0) put(256);
        put(static_cast<unsigned char>(s[i]));
    }
    put(257);
    if (bits > 0) o += static_cast<char>((acc << (8 - bits)) & 0xFF);
    return o;
}

// PNG "Up" rows of 8 columns, then Flate.
std::string png_up_flate(std::string s) {
    while (s.size() % 8) s += ' ';
    std::string rows;
    for (size_t r = 0; r < s.size(); r += 8) {
        rows += '\2';
        for (size_t c = 0; c < 8; ++c) {
            unsigned char above = r ? static_cast<unsigned char>(s[r - 8 + c]) : 0;
            rows += static_cast<char>(static_cast<unsigned char>(s[r + c]) - above);
        }
    }
    return pdfgen::zcompress(rows);
}

TEST(ContentFilters, ArrayPartsDecodeLikePlainContent) {
    REQUIRE_ZLIB();
    REQUIRE_PDFTOPPM();
    REQUIRE_PDFINFO();
    const std::vector<std::string> parts = {
        "q 1 0 0 rg 20 20 200 150 re f Q\n",
        "q 0 0.6 0 rg 250 100 120 300 re f Q\n",
        "q 0 0 1 RG 8 w 30 400 m 500 700 l S Q\n",
        "q 0.3 g 300 500 200 200 re f Q\n",
        "q 1 1 0 rg 100 600 50 50 re f 0 g 60 240 m 90 300 l 120 240 l f Q\n",
    };
    struct enc {
        const char *dict;
        std::string (*fn)(const std::string &);
    };
    const std::vector<enc> encoders = {
        {"/Filter /ASCIIHexDecode", [](const std::string &s) { return hex_encode(s); }},
        {"/Filter /ASCII85Decode", [](const std::string &s) { return a85_encode(s); }},
        {"/Filter /LZWDecode", [](const std::string &s) { return lzw_encode(s); }},
        {"/Filter /RunLengthDecode", [](const std::string &s) { return rl_encode(s); }},
        {"/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 8 >>",
         [](const std::string &s) { return png_up_flate(s); }},
    };
    auto build = [&](bool filtered) {
        pdfgen::PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents [4 0 R 5 0 R 6 0 R 7 0 R 8 0 R] >>");
        for (size_t i = 0; i < parts.size(); ++i) {
            if (filtered)
                b.add_stream(4 + static_cast<int>(i), encoders[i].dict, encoders[i].fn(parts[i]));
            else
                b.add_stream(4 + static_cast<int>(i), "", parts[i]);
        }
        return b.finish("/Root 1 0 R");
    };
    std::vector<std::vector<std::string>> renders;
    for (bool filtered : {false, true}) {
        std::string in = testtools::write_temp(build(filtered), "filt");
        nup_out r = nup_file(in, nullptr);
        testtools::remove_file(in);
        ASSERT_EQ(r.rc, 1) << r.err;
        std::string path = testtools::write_temp(r.pdf, "filtnup");
        renders.push_back(render_pages(path));
        testtools::remove_file(path);
    }
    ASSERT_EQ(renders[0].size(), 1u);
    EXPECT_TRUE(renders[0] == renders[1]);
    // Not blank: the parts drew something.
    auto g = testtools::parse_pgm(renders[0][0]);
    ASSERT_TRUE(g);
    EXPECT_LT(g->mean(), 250.0);
}

}  // namespace
