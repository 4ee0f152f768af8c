// The standard security handler against qpdf, end to end. Files are
// encrypted by qpdf with every method it writes (RC4 40 and 128 bits, RC4
// under crypt filters, AES-128 with and without encrypted metadata, AES-256
// revisions 5 and 6) and opened here with the user, owner, empty and wrong
// passwords: the file key and the matched password must be what qpdf
// reports, and the strings and streams decrypted here must be the bytes qpdf
// decrypts. The /Encrypt values are read from what qpdf prints, the way the
// reader will hand them over.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pdf/security.h"
#include "support/pdfgen.h"
#include "support/pdfsyntax.h"
#include "support/tools.h"

namespace {

using namespace sheetlay::security;
using pdfsyntax::Val;

std::string key_hex(const FileKey &k) { return pdfsyntax::hex(k.bytes, k.len); }

std::string decrypt_str(CryptMethod m, const FileKey &key, int num, int gen,
                        const std::string &in) {
    std::string out(in.size(), '\0');
    const size_t n = decrypt(m, key, static_cast<uint32_t>(num), static_cast<uint32_t>(gen),
                             reinterpret_cast<const uint8_t *>(in.data()), in.size(),
                             reinterpret_cast<uint8_t *>(out.data()));
    out.resize(n);
    return out;
}

// The /Encrypt dictionary and the trailer as the reader will hand them over.
EncryptInfo info_from(const Val &enc, const Val &trailer) {
    EncryptInfo info;
    info.filter = enc["Filter"].s;
    info.v = enc["V"].n;
    info.r = enc["R"].n;
    if (enc["Length"].kind == Val::num) info.length = enc["Length"].n;
    info.p = static_cast<int32_t>(static_cast<uint32_t>(enc["P"].n));
    info.o = enc["O"].s;
    info.u = enc["U"].s;
    info.oe = enc["OE"].s;
    info.ue = enc["UE"].s;
    info.perms = enc["Perms"].s;
    info.encrypt_metadata = enc["EncryptMetadata"].s != "false";
    if (trailer["ID"].kind == Val::arr && !trailer["ID"].a.empty()) info.id0 = trailer["ID"].a[0].s;
    for (auto [entry, cf] : {std::pair{"StmF", &info.stmf}, std::pair{"StrF", &info.strf}}) {
        if (enc[entry].kind != Val::name) continue;
        cf->name = enc[entry].s;
        const Val &f = enc["CF"][cf->name];
        if (f.kind != Val::dict) continue;
        cf->cfm = f["CFM"].kind == Val::name ? f["CFM"].s : "None";
        cf->length = f["Length"].n;
    }
    return info;
}

std::string qpdf(const std::vector<std::string> &args, int *status = nullptr) {
    std::vector<std::string> argv = {testtools::qpdf_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    testtools::CmdResult r = testtools::run_cmd(argv);
    if (status) *status = r.status;
    return r.out;
}

// A one-page file whose content is three uncompressed streams of 16, 5
// and 47 bytes (AES padding of a whole block, of most of one, of one byte)
// and whose /Info holds two text strings.
std::string plain_pdf() {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3,
          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents [4 0 R 5 0 R 6 0 R] >>");
    b.add_stream(4, "", "0 0 100 100 re");
    b.add_stream(5, "", " f q ");
    b.add_stream(6, "", "1 0 0 RG 10 10 m 190 190 l S 0 0 1 rg 5 w 0 0 m ");
    b.add(7, "<< /Producer (sheetlay security test) /Title (A title longer than a block, 47 b) >>");
    return b.finish(
        "/Root 1 0 R /Info 7 0 R /ID [<00112233445566778899aabbccddeeff> "
        "<00112233445566778899aabbccddeeff>]");
}

// Where "num 0 obj" starts in the file, parsed; with the stream's raw data.
struct RawObject {
    Val value;
    std::string stream;
};

std::optional<RawObject> raw_object(const std::string &file, int num) {
    const std::string head = std::to_string(num) + " 0 obj";
    size_t at = 0;
    for (;;) {
        at = file.find(head, at);
        if (at == std::string::npos) return std::nullopt;
        if (at == 0 || file[at - 1] == '\n' || file[at - 1] == '\r') break;
        ++at;
    }
    RawObject o;
    size_t p = 0;
    o.value = pdfsyntax::parse(file, at + head.size(), &p);
    while (p < file.size() && std::isspace(static_cast<unsigned char>(file[p]))) ++p;
    if (file.compare(p, 6, "stream") == 0) {
        p += 6;
        if (file.compare(p, 2, "\r\n") == 0)
            p += 2;
        else if (p < file.size() && file[p] == '\n')
            ++p;
        o.stream = file.substr(p, static_cast<size_t>(o.value["Length"].n));
    }
    return o;
}

struct Method {
    const char *name;
    std::vector<std::string> args;  // qpdf options after the key length
    const char *bits;
    int r;
};

const Method kMethods[] = {
    {"RC4 40", {}, "40", 2},
    {"RC4 128", {"--use-aes=n"}, "128", 3},
    {"RC4 128 crypt filters", {"--use-aes=n", "--force-V4"}, "128", 4},
    {"AES-128", {"--use-aes=y"}, "128", 4},
    {"AES-128 clear metadata", {"--use-aes=y", "--cleartext-metadata"}, "128", 4},
    {"AES-256 R5", {"--force-R5"}, "256", 5},
    {"AES-256 R6", {}, "256", 6},
};

// qpdf's file key and the password role it reports; nullopt when qpdf
// refuses the password.
struct QpdfKey {
    std::string key;
    PasswordRole role;
};
std::optional<QpdfKey> qpdf_key(const std::string &file, const std::string &password) {
    int status = 0;
    const std::string out = qpdf(
        {"--show-encryption-key", "--show-encryption", "--password=" + password, file}, &status);
    // A wrong password: "Incorrect password supplied" and an empty key
    // (exit status 0), or "invalid password" (exit status 2).
    const size_t k = out.find("Encryption key = ");
    if (status != 0 || k == std::string::npos) return std::nullopt;
    QpdfKey q;
    q.key = out.substr(k + 17, out.find('\n', k) - k - 17);
    if (q.key.empty() || out.find("Incorrect password") != std::string::npos) return std::nullopt;
    q.role = out.find("Supplied password is owner password") != std::string::npos
                 ? PasswordRole::owner
                 : PasswordRole::user;
    return q;
}

// Encrypts the test file with `m` and the two passwords, then checks the
// passwords in `tries` against qpdf's view, and decrypts the /Info strings
// and the content streams.
// A password to try and the role it must open the file as (none: wrong).
struct Try {
    std::string password;
    PasswordRole role;
};

void check_method(const Method &m, const std::string &user, const std::string &owner,
                  const std::vector<Try> &tries) {
    SCOPED_TRACE(std::string(m.name) + ", user \"" + user + "\", owner \"" + owner + "\"");
    const std::string in = testtools::write_temp(plain_pdf(), "sec-in");
    const std::string out = testtools::tmp_path("sec-enc");
    std::vector<std::string> args = {"--allow-weak-crypto",
                                     "--object-streams=disable",
                                     "--compress-streams=n",
                                     "--decode-level=none",
                                     "--encrypt",
                                     user,
                                     owner,
                                     m.bits};
    args.insert(args.end(), m.args.begin(), m.args.end());
    args.insert(args.end(), {"--", in, out});
    int status = 0;
    const std::string msg = qpdf(args, &status);
    ASSERT_EQ(status, 0) << msg;
    const std::string file = testtools::read_file(out).value_or("");

    const Val trailer =
        pdfsyntax::parse(qpdf({"--password=" + owner, "--show-object=trailer", out}));
    ASSERT_EQ(trailer["Encrypt"].kind, Val::ref);
    const Val enc = pdfsyntax::parse(qpdf(
        {"--password=" + owner, "--show-object=" + std::to_string(trailer["Encrypt"].n), out}));
    const EncryptInfo info = info_from(enc, trailer);
    ASSERT_EQ(info.r, m.r);

    for (const Try &t : tries) {
        SCOPED_TRACE("password \"" + t.password + "\"");
        const std::optional<QpdfKey> want = qpdf_key(out, t.password);
        const Authentication a = authenticate(info, t.password.c_str());
        if (t.role == PasswordRole::none) {
            EXPECT_FALSE(want) << "qpdf takes it";
            EXPECT_EQ(a.status, AuthStatus::wrong_password) << a.detail;
            continue;
        }
        ASSERT_TRUE(want) << "qpdf refuses it";
        EXPECT_EQ(want->role, t.role) << "qpdf's view";
        ASSERT_EQ(a.status, AuthStatus::ok) << a.detail;
        EXPECT_EQ(key_hex(a.key), want->key);
        EXPECT_EQ(a.matched, t.role);
    }

    // Decrypt with the owner's key what qpdf decrypts.
    const Authentication a = authenticate(info, owner.c_str());
    ASSERT_EQ(a.status, AuthStatus::ok);
    const int info_num = static_cast<int>(trailer["Info"].n);
    const std::optional<RawObject> raw_info = raw_object(file, info_num);
    ASSERT_TRUE(raw_info);
    const Val shown = pdfsyntax::parse(
        qpdf({"--password=" + owner, "--show-object=" + std::to_string(info_num), out}));
    for (const char *key : {"Producer", "Title"}) {
        const std::string enc_str = raw_info->value[key].s;
        ASSERT_FALSE(enc_str.empty()) << key;
        EXPECT_NE(enc_str, shown[key].s) << key << " is stored encrypted";
        EXPECT_EQ(decrypt_str(a.strings, a.key, info_num, 0, enc_str), shown[key].s) << key;
    }
    const std::string pages = qpdf({"--password=" + owner, "--show-pages", out});
    std::istringstream lines(pages.substr(pages.find("content:") + 8));
    int streams = 0;
    for (int num; lines >> num;) {
        std::string gen, r;
        lines >> gen >> r;
        const std::optional<RawObject> raw = raw_object(file, num);
        ASSERT_TRUE(raw) << num;
        const std::string want =
            qpdf({"--password=" + owner, "--show-object=" + std::to_string(num),
                  "--raw-stream-data", out});
        EXPECT_EQ(decrypt_str(a.streams, a.key, num, 0, raw->stream), want) << "stream " << num;
        ++streams;
    }
    EXPECT_EQ(streams, 3);
    testtools::remove_file(in);
    testtools::remove_file(out);
}

TEST(SecurityQpdf, EveryMethodWithUserAndOwnerPasswords) {
    REQUIRE_QPDF();
    constexpr auto user = PasswordRole::user, owner = PasswordRole::owner,
                   none = PasswordRole::none;
    for (const Method &m : kMethods)
        check_method(m, "usr", "own",
                     {{"usr", user}, {"own", owner}, {"", none}, {"wrong", none}, {"usrx", none}});
}

TEST(SecurityQpdf, EveryMethodWithEmptyUserPassword) {
    REQUIRE_QPDF();
    constexpr auto user = PasswordRole::user, owner = PasswordRole::owner,
                   none = PasswordRole::none;
    for (const Method &m : kMethods)
        check_method(m, "", "own", {{"", user}, {"own", owner}, {"wrong", none}});
}

// Non-ASCII passwords: revisions 2-4 store Latin-1 bytes (qpdf converts the
// UTF-8 it is given), revision 6 UTF-8. The UTF-8 form opens both; the
// Latin-1 bytes open the RC4 file as they are.
TEST(SecurityQpdf, NonAsciiPasswords) {
    REQUIRE_QPDF();
    constexpr auto user = PasswordRole::user, owner = PasswordRole::owner,
                   none = PasswordRole::none;
    const std::string cafe = "caf\xC3\xA9", own = "\xC3\xB6wn";
    check_method(
        kMethods[1], cafe, own,
        {{cafe, user}, {own, owner}, {"caf\xE9", user}, {"\xF6wn", owner}, {"cafe", none}});
    check_method(kMethods[6], cafe, own, {{cafe, user}, {own, owner}, {"cafe", none}});
}

// Revision 6 passwords of the longest length, 127 bytes. Longer ones are
// cut to 127 bytes here; qpdf 11.3 opens none of its own files encrypted
// with a longer password (not with the whole, nor with the first 127
// bytes), so that part is checked without it.
TEST(SecurityQpdf, LongPasswordOfRevision6) {
    REQUIRE_QPDF();
    std::string pw;
    for (int i = 0; i < 127; ++i) pw += static_cast<char>('a' + i % 26);
    check_method(kMethods[6], pw, "own",
                 {{pw, PasswordRole::user}, {pw.substr(0, 126), PasswordRole::none}});
}

}  // namespace
