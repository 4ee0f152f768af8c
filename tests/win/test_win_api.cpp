// The public interface as a Windows program sees it, through sheetlay.dll.
//
// What differs from other systems is the C runtime underneath: paths with
// drive letters and backslashes go to its fopen unchanged, and files must be
// read and written in binary mode. In text mode the runtime would stop
// reading at a 0x1A byte, drop the CR of every CR LF pair on input and turn
// every LF into CR LF on output, which moves every byte offset the
// cross-reference table records.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sheetlay.h"

namespace {

std::string cwd() {
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string(".");
}

// A fresh folder for one test, as an absolute Windows path with backslashes.
std::string fresh_dir(const std::string &name) {
    std::string dir = cwd() + "\\" + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

bool write_file(const std::string &path, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool read_file(const std::string &path, std::string *out) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
}

bool exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A PDF whose bytes a text-mode reader would damage: a 0x1A byte in the
// binary comment after the header, CR LF line ends throughout (the offsets
// in the table count both bytes), and 0x1A, CR LF and a lone LF inside a
// stream's data.
std::string sample_pdf(int pages) {
    const std::string eol = "\r\n";
    std::string out = "%PDF-1.4" + eol + "%\x1A\xE2\xE3\xCF\xD3" + eol;
    std::vector<size_t> offsets;
    auto add = [&](const std::string &body) {
        offsets.push_back(out.size());
        out += std::to_string(offsets.size()) + " 0 obj" + eol + body + eol + "endobj" + eol;
    };
    std::string kids;
    for (int i = 0; i < pages; i++) kids += std::to_string(4 + 2 * i) + " 0 R ";
    add("<< /Type /Catalog /Pages 2 0 R >>");
    add("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
    add("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (int i = 0; i < pages; i++) {
        add("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 400] /Resources << /Font << /F1 3 0 R "
            ">> >> /Contents " + std::to_string(5 + 2 * i) + " 0 R >>");
        std::string data = "BT /F1 40 Tf 20 200 Td (" + std::to_string(i + 1) +
                           ") Tj ET\r\n% \x1A marker\n0 0 10 10 re f";
        add("<< /Length " + std::to_string(data.size()) + " >>" + eol + "stream" + eol + data + eol +
            "endstream");
    }
    size_t xref = out.size();
    out += "xref" + eol + "0 " + std::to_string(offsets.size() + 1) + eol + "0000000000 65535 f" + eol;
    for (size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010u 00000 n", static_cast<unsigned>(off));
        out += line + eol;
    }
    out += "trailer" + eol + "<< /Size " + std::to_string(offsets.size() + 1) + " /Root 1 0 R >>" +
           eol + "startxref" + eol + std::to_string(xref) + eol + "%%EOF" + eol;
    return out;
}

// Checks that every offset the output's classic cross-reference table gives
// points at its object's header, and startxref at the table. Returns "" when
// all agree, else what went wrong.
std::string check_offsets(const std::string &pdf) {
    size_t sx = pdf.rfind("startxref");
    if (sx == std::string::npos) return "no startxref";
    size_t p = sx + 9;
    while (p < pdf.size() && (pdf[p] == ' ' || pdf[p] == '\r' || pdf[p] == '\n')) p++;
    size_t xref = std::strtoul(pdf.c_str() + p, nullptr, 10);
    if (pdf.compare(xref, 4, "xref") != 0) return "startxref does not point at the table";
    p = xref + 4;
    while (p < pdf.size() && (pdf[p] == '\r' || pdf[p] == '\n' || pdf[p] == ' ')) p++;
    char *end = nullptr;
    unsigned long first = std::strtoul(pdf.c_str() + p, &end, 10);
    unsigned long count = std::strtoul(end, &end, 10);
    p = static_cast<size_t>(end - pdf.c_str());
    while (p < pdf.size() && (pdf[p] == '\r' || pdf[p] == '\n' || pdf[p] == ' ')) p++;
    // Classic entries are exactly 20 bytes each.
    for (unsigned long i = 0; i < count; i++, p += 20) {
        if (p + 20 > pdf.size()) return "table runs past the end";
        if (pdf[p + 17] != 'n') continue;
        size_t off = std::strtoul(pdf.substr(p, 10).c_str(), nullptr, 10);
        std::string head = std::to_string(first + i) + " 0 obj";
        if (pdf.compare(off, head.size(), head) != 0)
            return "entry " + std::to_string(first + i) + " points at the wrong place";
    }
    return "";
}

// Number of sheets, from the /Count of the output's page-tree root.
int sheet_count(const std::string &pdf) {
    size_t p = pdf.find("/Type /Pages");
    if (p == std::string::npos) return -1;
    size_t c = pdf.find("/Count", p);
    if (c == std::string::npos) return -1;
    return std::atoi(pdf.c_str() + c + 6);
}

enum class Call { plain, sized, bordered };

int32_t create(Call call, const char *in, const char *out, int32_t n, int32_t order = 0,
               int32_t extra = 0) {
    switch (call) {
    case Call::sized: return sheetlay_create_sized(in, out, n, order, extra);
    case Call::bordered: return sheetlay_create_bordered(in, out, n, order, extra);
    default: return sheetlay_create(in, out, n, order);
    }
}

const Call kCalls[] = {Call::plain, Call::sized, Call::bordered};

class WinApi : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fresh_dir(std::string("win-") +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        input_ = dir_ + "\\in.pdf";
        ASSERT_TRUE(write_file(input_, sample_pdf(5)));
    }
    std::string dir_, input_;
};

TEST_F(WinApi, NullPathsThroughEachCall) {
    const std::string out = dir_ + "\\out.pdf";
    for (Call call : kCalls) {
        for (int which = 0; which < 3; which++) {
            const char *in = which == 1 ? nullptr : input_.c_str();
            const char *o = which == 0 ? nullptr : out.c_str();
            if (which == 2) in = o = nullptr;
            SCOPED_TRACE(testing::Message() << "call " << static_cast<int>(call) << " case " << which);
            EXPECT_EQ(create(call, in, o, 4), 0);
            EXPECT_STREQ(sheetlay_last_error(), "NULL path argument");
        }
    }
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(sheetlay_init(), 1);
    EXPECT_STREQ(sheetlay_last_error(), "");
}

TEST_F(WinApi, MissingInputThroughEachCall) {
    // Both separators and a drive-relative spelling reach fopen unchanged.
    const std::string out = dir_ + "\\out.pdf";
    const std::string missing[] = {dir_ + "\\missing.pdf", dir_ + "/missing.pdf",
                                   "no-such-folder\\missing.pdf"};
    for (Call call : kCalls) {
        for (const std::string &m : missing) {
            SCOPED_TRACE(m);
            EXPECT_EQ(create(call, m.c_str(), out.c_str(), 5, 7, 0), 0);  // input judged first
            EXPECT_EQ(std::string(sheetlay_last_error()), "cannot open " + m);
        }
    }
    EXPECT_FALSE(exists(out));
}

TEST_F(WinApi, UnwritableOutput) {
    const std::string out = dir_ + "\\no-such-folder\\out.pdf";
    EXPECT_EQ(sheetlay_create(input_.c_str(), out.c_str(), 4, 0), 0);
    EXPECT_NE(std::string(sheetlay_last_error()).find(out), std::string::npos)
        << sheetlay_last_error();
}

TEST_F(WinApi, NupInBinaryMode) {
    // (call, n, extra argument, sheets for the 5 input pages)
    struct Case {
        Call call;
        int32_t n, extra;
        int sheets;
    } cases[] = {
        {Call::plain, 4, 0, 2},     {Call::plain, 2, 0, 3},     {Call::sized, 9, 0, 1},
        {Call::sized, 4, 2, 2},     {Call::sized, 6, -1, 1},    {Call::bordered, 16, 3, 1},
        {Call::bordered, 2, 0, 3},
    };
    int i = 0;
    for (const Case &c : cases) {
        const std::string out = dir_ + "\\out-" + std::to_string(i++) + ".pdf";
        SCOPED_TRACE(out);
        sheetlay_init();
        ASSERT_EQ(create(c.call, input_.c_str(), out.c_str(), c.n, i % 2, c.extra), 1)
            << sheetlay_last_error();
        EXPECT_STREQ(sheetlay_last_error(), "");
        std::string pdf;
        ASSERT_TRUE(read_file(out, &pdf));
        EXPECT_EQ(pdf.compare(0, 8, "%PDF-1.4"), 0);
        EXPECT_EQ(check_offsets(pdf), "");
        EXPECT_EQ(sheet_count(pdf), c.sheets);
        // The 0x1A bytes of the input's content survive into the page forms.
        EXPECT_NE(pdf.find("% \x1A marker"), std::string::npos);
    }
}

TEST_F(WinApi, OutputReplacesAnExistingFile) {
    const std::string out = dir_ + "\\existing.pdf";
    ASSERT_TRUE(write_file(out, std::string(100000, 'z')));
    ASSERT_EQ(sheetlay_create(input_.c_str(), out.c_str(), 4, 0), 1) << sheetlay_last_error();
    std::string pdf;
    ASSERT_TRUE(read_file(out, &pdf));
    EXPECT_EQ(pdf.compare(0, 8, "%PDF-1.4"), 0);
    EXPECT_EQ(pdf.find('z' + std::string(50, 'z')), std::string::npos) << "old bytes left";
}

TEST_F(WinApi, OptionsFileAndMemoryAgreeAcrossTheDllBoundary) {
    // The memory variant's block comes from the DLL's heap and goes back to
    // it through sheetlay_free; the file variant writes the same bytes.
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = 3;
    o.rows = 1;
    o.pages = "5,1-3";
    const std::string out = dir_ + "\\options.pdf";
    char err[256];
    ASSERT_EQ(sheetlay_nup(input_.c_str(), out.c_str(), &o, err, sizeof err), 1) << err;
    EXPECT_STREQ(err, "");
    std::string file, input;
    ASSERT_TRUE(read_file(out, &file));
    ASSERT_TRUE(read_file(input_, &input));
    void *block = nullptr;
    size_t n = 0;
    ASSERT_EQ(sheetlay_nup_mem(input.data(), input.size(), &block, &n, &o, err, sizeof err), 1) << err;
    EXPECT_EQ(std::string(static_cast<const char *>(block), n), file);
    sheetlay_free(block);
    o.columns = 0;
    EXPECT_EQ(sheetlay_nup(input_.c_str(), out.c_str(), &o, err, sizeof err), 0);
    EXPECT_STREQ(err, "columns must be 1 to 32 (got 0)");
    EXPECT_EQ(std::string(sheetlay_version()).find('.') != std::string::npos, true);
}

}  // namespace
