// The exported functions and the one error text they share.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

std::string last() { return sheetlay_last_error(); }

TEST(Api, ErrorTextLifecycle) {
    const char *p = sheetlay_last_error();
    std::string out = testtools::tmp_path("api-out");
    // Null paths, through each function, create nothing.
    EXPECT_EQ(sheetlay_create(nullptr, out.c_str(), 4, 0), 0);
    EXPECT_EQ(last(), "NULL path argument");
    EXPECT_EQ(sheetlay_init(), 1);
    EXPECT_EQ(last(), "");
    EXPECT_EQ(sheetlay_create_sized("x.pdf", nullptr, 4, 0, 0), 0);
    EXPECT_EQ(last(), "NULL path argument");
    sheetlay_cleanup();
    EXPECT_EQ(last(), "");
    EXPECT_EQ(sheetlay_create_bordered(nullptr, nullptr, 4, 0, 1), 0);
    EXPECT_EQ(last(), "NULL path argument");
    EXPECT_FALSE(testtools::file_exists(out));
    // The text lives in one place for the whole process.
    EXPECT_EQ(sheetlay_last_error(), p);

    // A failure, then a success, which empties the text.
    std::string in = testtools::write_temp(pdfgen::make_pages(3), "api-in");
    EXPECT_EQ(sheetlay_create(in.c_str(), out.c_str(), 5, 0), 0);
    EXPECT_EQ(last(), "n must be 2, 4, 6, 9 or 16 (got 5)");
    EXPECT_EQ(sheetlay_create(in.c_str(), out.c_str(), 2, 0), 1) << last();
    EXPECT_EQ(last(), "");
    testtools::remove_file(in);
    testtools::remove_file(out);
}

TEST(Api, LoaderMessagesPassThrough) {
    std::string out = testtools::tmp_path("api-out");
    struct Case {
        std::string bytes;
        std::string want;  // after the path is appended where it belongs
        bool with_path;
    } cases[] = {
        {pdfgen::make_doc([] {
             pdfgen::DocSpec s;
             s.pages.resize(1);
             s.trailer_extra = "/Encrypt 99 0 R";
             return s;
         }()),
         "encrypted PDFs are not supported: ", true},
        {"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
         "2 0 obj\n<< /Type /Pages /Kids [] >>\nendobj\n",
         "document has no pages", false},
        {"no objects at all", "no PDF objects found \xE2\x80\x94 not a PDF: ", true},
    };
    for (const Case &c : cases) {
        std::string in = testtools::write_temp(c.bytes, "api-in");
        // The input is judged before the layout arguments.
        EXPECT_EQ(sheetlay_create_sized(in.c_str(), out.c_str(), 7, 3, 9), 0);
        EXPECT_EQ(last(), c.with_path ? c.want + in : c.want);
        EXPECT_FALSE(testtools::file_exists(out));
        testtools::remove_file(in);
    }
}

TEST(Api, LongMessagesAreCut) {
    std::string path = testtools::tmp_dir() + "/" + std::string(2000, 'p');
    EXPECT_EQ(sheetlay_create(path.c_str(), "out.pdf", 4, 0), 0);
    const std::string e = last();
    ASSERT_EQ(e.size(), 1023u);
    EXPECT_EQ(e, ("cannot open " + path).substr(0, 1023));
    // set_error itself, with a text of exactly the limit and one more.
    sheetlay::set_error("%s", std::string(1023, 'a').c_str());
    EXPECT_EQ(last().size(), 1023u);
    sheetlay::set_error("%s", std::string(1024, 'b').c_str());
    EXPECT_EQ(last(), std::string(1023, 'b'));
    sheetlay_cleanup();
}

}  // namespace
