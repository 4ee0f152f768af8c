// Encrypted inputs whose streams name their own crypt filter (/Crypt as the
// first step of the chain), and whose /Encrypt dictionary reaches further
// objects by reference. The files are made here: qpdf makes a revision-6
// file, whose /O /U /OE /UE /Perms and file key this test takes to build
// files of its own shape (revision 6 uses the file key itself on every
// object, so the objects are simply encrypted with AES-256 here).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "pdf/decrypt.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/object.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/pdfsyntax.h"
#include "support/tools.h"

namespace {

using pdfgen::PdfBuilder;
using testtools::run_cmd;

// The without_crypt_step rewrite: what /Filter and /DecodeParms become.
TEST(CryptStep, TakenOutOfTheChain) {
    struct Case {
        const char *dict;
        bool changed;
        const char *filter;  // "" when the entry must be gone
        const char *parms;
    };
    const Case cases[] = {
        {"<< /Length 5 /Filter /Crypt >>", true, "", ""},
        {"<< /Filter [/Crypt] /Length 5 >>", true, "", ""},
        {"<< /Filter /Crypt /DecodeParms << /Name /Identity >> >>", true, "", ""},
        {"<< /Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /StdCF >> null] >>", true,
         "[/FlateDecode]", ""},
        {"<< /Filter [/Crypt/FlateDecode]/DecodeParms [null << /Predictor 12 /Columns 4 >>] >>", true,
         "[/FlateDecode]", "[<< /Predictor 12 /Columns 4 >>]"},
        {"<< /DecodeParms [<</Name/X>> null <</EarlyChange 0>>] /Filter [/Crypt /A85 /LZWDecode] >>", true,
         "[/A85 /LZWDecode]", "[null <</EarlyChange 0>>]"},
        {"<< /Filter /FlateDecode >>", false, "", ""},
        {"<< /Filter [/FlateDecode /Crypt] >>", false, "", ""},
        {"<< /Length 3 >>", false, "", ""},
        {"<< /Filter [/Crypt /FlateDecode", false, "", ""},  // cut short
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dict);
        std::string out = "untouched";
        const auto *t = reinterpret_cast<const unsigned char *>(c.dict);
        bool r = sheetlay::without_crypt_step(t, static_cast<int32_t>(std::strlen(c.dict)), &out);
        ASSERT_EQ(r, c.changed);
        if (!r) {
            EXPECT_EQ(out, "untouched");
            continue;
        }
        EXPECT_EQ(out.find("Crypt"), std::string::npos) << out;
        sheetlay::pdf::value v;
        ASSERT_TRUE(sheetlay::pdf::parse_value(out, &v)) << out;
        ASSERT_TRUE(v.is_dict()) << out;
        auto text_of = [&](const char *key) {
            std::string k = std::string("/") + key;
            size_t at = out.find(k);
            if (at == std::string::npos) return std::string();
            size_t from = out.find_first_not_of(' ', at + k.size());
            sheetlay::pdf::value x;
            int32_t end = 0;
            sheetlay::pdf::parse_value(reinterpret_cast<const unsigned char *>(out.data()),
                                       static_cast<int32_t>(out.size()), static_cast<int32_t>(from), &x, &end);
            return out.substr(from, static_cast<size_t>(end) - from);
        };
        EXPECT_EQ(text_of("Filter"), c.filter) << out;
        EXPECT_EQ(text_of("DecodeParms"), c.parms) << out;
    }
}

// What a made-up revision-6 file is built from: the /Encrypt entries qpdf
// wrote for the user password "user", and the file key they lock.
struct R6Lock {
    std::vector<std::pair<std::string, std::string>> strings;  // /O /U /OE /UE /Perms as hexadecimal strings
    std::string p;                                             // /P
    std::string key;                                           // 32 bytes
};

bool r6_lock(R6Lock *lock) {
    std::string base = testtools::write_temp(pdfgen::make_pages(1), "r6base");
    std::string enc = testtools::tmp_path("r6enc");
    auto r = run_cmd({testtools::qpdf_path(), "--encrypt", "user", "owner", "256", "--", base, enc});
    testtools::remove_file(base);
    if (r.status != 0) return false;
    sheetlay::doc d{};
    sheetlay::load_options lo;
    lo.allow_encrypted = true;
    lo.lenient = true;
    lo.password = "user";
    bool ok = sheetlay::doc_load(enc.c_str(), &d, lo) == 0 && d.crypt && d.crypt->encrypt_num > 0;
    if (ok) {
        lock->key.assign(reinterpret_cast<const char *>(d.crypt->auth.key.bytes), d.crypt->auth.key.len);
        const sheetlay::obj_entry *e = sheetlay::objvec_find(&d.objs, d.crypt->encrypt_num);
        const unsigned char *body = nullptr;
        int32_t blen = 0;
        sheetlay::pdf::value v;
        ok = e && sheetlay::obj_body(d.data, d.len, e, &body, &blen) &&
             sheetlay::pdf::parse_value(body, blen, 0, &v) && v.is_dict();
        for (const char *k : {"O", "U", "OE", "UE", "Perms"}) {
            const sheetlay::pdf::value *s = ok ? v.get(k) : nullptr;
            if (!s || !s->is_string()) {
                ok = false;
                break;
            }
            lock->strings.emplace_back(
                k, "<" + pdfsyntax::hex(reinterpret_cast<const uint8_t *>(s->s.data()), s->s.size()) + ">");
        }
        const sheetlay::pdf::value *p = ok ? v.get("P") : nullptr;
        if (p) lock->p = std::to_string(p->i);
        ok = ok && p && lock->key.size() == 32;
    }
    sheetlay::doc_free(&d);
    testtools::remove_file(enc);
    return ok;
}

// AES-256-CBC with a fixed IV first and PKCS#5 padding, as AESV3 stores.
std::string aes256(const std::string &key, const std::string &plain) {
    sheetlay::crypto::Aes aes;
    aes.set_key(reinterpret_cast<const uint8_t *>(key.data()), key.size());
    uint8_t iv[16];
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(i * 7 + 3);
    std::string padded = plain;
    size_t pad = 16 - padded.size() % 16;
    padded.append(pad, static_cast<char>(pad));
    std::string out(reinterpret_cast<const char *>(iv), 16);
    out.append(padded.size(), '\0');
    sheetlay::crypto::aes_cbc_encrypt(aes, iv, reinterpret_cast<const uint8_t *>(padded.data()),
                                      reinterpret_cast<uint8_t *>(&out[16]), padded.size());
    return out;
}

const char kContent[] = "0 0 1 rg 20 20 160 80 re f /X1 Do\n";
const char kForm[] = "1 0 0 rg 20 120 160 60 re f\n";
const char kTitle[] = "Made-up title";

// How a stream is stored.
enum class store {
    named,           // [/Crypt /FlateDecode], /Name /StdCF: AES-256 over Flate data
    named_none,      // [/Crypt /FlateDecode], /Name /Plain (a /CF entry with /CFM /None)
    identity_named,  // /Crypt with /Name /Identity: the bytes as they are
    identity_bare,   // [/Crypt] without parameters: Identity
    by_default,      // /FlateDecode: encrypted as /StmF says
};

struct Shape {
    const char *name;
    bool stmf_std, strf_std;  // /StmF, /StrF: /StdCF, else /Identity
    store content, form;
    bool cf_ref;        // /CF, /Length, /O and /U written as references
    bool encrypt_first; // the /Encrypt object written before the rest
};

std::string stream_obj(store s, const std::string &plain, const std::string &key, bool stmf_std,
                       const std::string &extra) {
    std::string dict, data;
    switch (s) {
        case store::named:
            dict = "/Filter [/Crypt /FlateDecode] /DecodeParms [<< /Type /CryptFilterDecodeParms /Name /StdCF >> null]";
            data = aes256(key, pdfgen::zcompress(plain));
            break;
        case store::named_none:
            dict = "/Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /Plain >> null]";
            data = pdfgen::zcompress(plain);
            break;
        case store::identity_named:
            dict = "/Filter /Crypt /DecodeParms << /Name /Identity >>";
            data = plain;
            break;
        case store::identity_bare:
            dict = "/Filter [/Crypt]";
            data = plain;
            break;
        case store::by_default:
            dict = "/Filter /FlateDecode";
            data = stmf_std ? aes256(key, pdfgen::zcompress(plain)) : pdfgen::zcompress(plain);
            break;
    }
    return "<< /Length " + std::to_string(data.size()) + " " + dict + extra + " >>\nstream\n" + data +
           "\nendstream";
}

// The document of the shape, encrypted (lock given) or plain.
std::string make_file(const Shape &s, const R6Lock *lock) {
    PdfBuilder b;
    std::string cf = "<< /StdCF << /CFM /AESV3 /AuthEvent /DocOpen /Length 32 >> /Plain << /CFM /None >> >>";
    std::string enc = "<< /Filter /Standard /V 5 /R 6 /Length " + std::string(s.cf_ref ? "9 0 R" : "256") +
                      " /CF " + (s.cf_ref ? "8 0 R" : cf) + " /StmF /" + (s.stmf_std ? "StdCF" : "Identity") +
                      " /StrF /" + (s.strf_std ? "StdCF" : "Identity");
    // With cf_ref, /O and /U stand in objects 10 and 11: strings that are
    // part of the encryption dictionary, never decrypted.
    std::vector<std::pair<int, std::string>> apart;
    if (lock) {
        enc += " /P " + lock->p;
        for (const auto &[k, v] : lock->strings) {
            if (s.cf_ref && (k == "O" || k == "U")) {
                int num = k == "O" ? 10 : 11;
                enc += " /" + k + " " + std::to_string(num) + " 0 R";
                apart.emplace_back(num, v);
            } else {
                enc += " /" + k + " " + v;
            }
        }
    }
    enc += " >>";
    auto add_encrypt = [&] {
        if (!lock) return;
        b.add(7, enc);
        if (s.cf_ref) {
            b.add(8, cf);
            b.add(9, "256");
        }
        for (const auto &[num, text] : apart) b.add(num, text);
    };
    if (s.encrypt_first) add_encrypt();
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R "
             "/Resources << /XObject << /X1 5 0 R >> >> >>");
    const std::string key = lock ? lock->key : std::string();
    auto write_stream = [&](int num, store st, const std::string &plain, const std::string &extra) {
        if (lock)
            b.add(num, stream_obj(st, plain, key, s.stmf_std, extra));
        else
            b.add(num, stream_obj(store::by_default, plain, key, false, extra));
    };
    write_stream(4, s.content, kContent, "");
    write_stream(5, s.form, kForm, " /Type /XObject /Subtype /Form /BBox [0 0 200 200]");
    std::string title = lock && s.strf_std ? aes256(key, kTitle) : std::string(kTitle);
    b.add(6, "<< /Title <" + pdfsyntax::hex(reinterpret_cast<const uint8_t *>(title.data()), title.size()) +
                 "> >>");
    if (!s.encrypt_first) add_encrypt();
    std::string trailer = "/Root 1 0 R /Info 6 0 R /ID [<0123456789ABCDEF0123456789ABCDEF> "
                          "<0123456789ABCDEF0123456789ABCDEF>]";
    if (lock) trailer += " /Encrypt 7 0 R";
    return b.finish(trailer);
}

struct Made {
    int rc = 0;
    std::string err, pdf;
};

Made nup(const std::string &in, const char *password) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.password = password;
    void *out = nullptr;
    size_t n = 0;
    char e[256] = {0};
    Made m;
    m.rc = sheetlay_nup_mem(in.data(), in.size(), &out, &n, &o, e, sizeof e);
    m.err = e;
    if (m.rc) {
        m.pdf.assign(static_cast<const char *>(out), n);
        sheetlay_free(out);
    }
    return m;
}

std::string render(const std::string &pdf) {
    std::string path = testtools::write_temp(pdf, "cryptstep");
    std::string stem = testtools::tmp_path("cryptstep", "");
    run_cmd({testtools::pdftoppm_path(), "-r", "30", "-gray", "-singlefile", path, stem});
    auto bytes = testtools::read_file(stem + ".pgm");
    testtools::remove_file(stem + ".pgm");
    testtools::remove_file(path);
    return bytes ? *bytes : std::string();
}

std::string title_of(const std::string &pdf) {
    std::string path = testtools::write_temp(pdf, "cryptinfo");
    auto r = run_cmd({testtools::pdfinfo_path(), path});
    testtools::remove_file(path);
    size_t at = r.out.find("Title:");
    if (at == std::string::npos) return "";
    size_t from = r.out.find_first_not_of(' ', at + 6);
    return r.out.substr(from, r.out.find('\n', from) - from);
}

// Each shape, opened with the user password, draws like the same document
// unencrypted; its output names no /Crypt step, passes qpdf's check and
// keeps the title decrypted, whatever object the /Encrypt dictionary
// reaches by reference or where it stands.
TEST(CryptStep, StreamsNamingTheirOwnFilter) {
    REQUIRE_QPDF();
    REQUIRE_PDFTOPPM();
    REQUIRE_PDFINFO();
    if (!pdfgen::have_zlib()) GTEST_SKIP() << "no zlib";
    R6Lock lock;
    ASSERT_TRUE(r6_lock(&lock));
    const Shape shapes[] = {
        {"stream filter Identity, both streams name StdCF", false, true, store::named, store::named, false, false},
        {"StdCF by default, streams name Identity", true, true, store::identity_named, store::identity_bare, false,
         false},
        {"one default, one named, /CF and /Length by reference", true, false, store::by_default, store::named,
         true, false},
        {"named /CFM /None, /Encrypt written first", true, true, store::named_none, store::by_default, true, true},
    };
    for (const Shape &s : shapes) {
        SCOPED_TRACE(s.name);
        Made plain = nup(make_file(s, nullptr), nullptr);
        ASSERT_EQ(plain.rc, 1) << plain.err;
        Made made = nup(make_file(s, &lock), "user");
        ASSERT_EQ(made.rc, 1) << made.err;
        EXPECT_EQ(made.pdf.find("/Crypt"), std::string::npos);
        EXPECT_EQ(made.pdf.find("/Encrypt"), std::string::npos);
        std::string path = testtools::write_temp(made.pdf, "cryptout");
        EXPECT_TRUE(testtools::qpdf_check(path).clean()) << testtools::qpdf_check(path).out;
        testtools::remove_file(path);
        std::string want = render(plain.pdf);
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(render(made.pdf) == want);
        EXPECT_EQ(title_of(made.pdf), kTitle);
    }
}

}  // namespace
