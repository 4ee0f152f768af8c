// Objects of a loaded document read as values: plain objects, a stream's
// dictionary, members of object streams, and what is missing.
#include <gtest/gtest.h>

#include <memory>

#include "pdf/load.h"
#include "pdf/object.h"
#include "pdf/resolve.h"
#include "support/pdfgen.h"

namespace {

TEST(Resolve, ObjectsStreamsMembersAndMissing) {
    for (bool objstm : {false, true}) {
        pdfgen::DocSpec plan;
        pdfgen::PageSpec p;
        p.content = "0 0 m 1 1 l S";
        p.extra = "/Annots [1000 0 R]";
        plan.pages.push_back(p);
        plan.objstm = objstm;
        plan.objects.push_back({1000, "<< /Type /Annot /Subtype /Text /Rect [1 2 3 4] /Contents (a\\)b) >>"});
        std::string bytes = pdfgen::make_doc(plan);
        sheetlay::doc d{};
        ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                                         "input", &d),
                  0);
        sheetlay::doc_resolver res(&d);
        const sheetlay::pdf::value *page = res.get(pdfgen::page_num(0));
        ASSERT_NE(page, nullptr) << objstm;
        EXPECT_TRUE(page->get("Type")->is_name("Page"));
        const sheetlay::pdf::value *annot = sheetlay::pdf::resolve(page->get("Annots")->at(0), &res);
        ASSERT_NE(annot, nullptr);
        EXPECT_EQ(annot->get("Contents")->s, "a)b");
        EXPECT_EQ(annot->get("Rect")->at(3)->num_or(0), 4);
        // A content stream gives its dictionary; it is known as a stream.
        const sheetlay::pdf::value *cs = res.get(pdfgen::content_num(0));
        ASSERT_NE(cs, nullptr);
        EXPECT_NE(cs->get("Length"), nullptr);
        EXPECT_TRUE(res.is_stream(pdfgen::content_num(0)));
        EXPECT_FALSE(res.is_stream(pdfgen::page_num(0)));
        EXPECT_EQ(res.get(999999), nullptr);
        EXPECT_EQ(res.get(0), nullptr);
        EXPECT_EQ(res.get(-3), nullptr);
        EXPECT_EQ(res.get(pdfgen::page_num(0)), page);  // parsed once, kept
        sheetlay::doc_free(&d);
    }
}

// A resolver over another's objects (what a trim parsed, handed to the job)
// gives what one of its own gives, object for object: those the other one
// holds or took from a third, those it does not, streams, members, missing.
TEST(Resolve, ChargedBaseGivesOwnParse) {
    for (bool objstm : {false, true}) {
        pdfgen::DocSpec plan;
        pdfgen::PageSpec p;
        p.content = "0 0 m 1 1 l S";
        p.extra = "/Annots [1000 0 R 1001 0 R]";
        plan.pages.push_back(p);
        plan.objstm = objstm;
        plan.objects.push_back({1000, "<< /Type /Annot /Subtype /Link /Rect [1 2 3 4] /Dest (x) >>"});
        plan.objects.push_back({1001, "<< /Type /Annot /Subtype /Text /Contents (a\\)b) /P 3 0 R >>"});
        std::string bytes = pdfgen::make_doc(plan);
        sheetlay::doc d{};
        ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                                         "input", &d),
                  0);
        auto base = std::make_unique<sheetlay::doc_resolver>(&d);
        base->get(pdfgen::page_num(0));
        base->get(999);  // missing, held as such
        {
            sheetlay::doc_resolver worker(&d, base.get());
            worker.get(1001);
            worker.get(pdfgen::content_num(0));
            base->adopt(worker);
        }
        sheetlay::doc_resolver charged(&d, base.get(), true), own(&d);
        for (int32_t num : {pdfgen::page_num(0), 1001, pdfgen::content_num(0), 999, 1000, 1, 2, 0, 5000}) {
            const sheetlay::pdf::value *a = charged.get(num), *b = own.get(num);
            ASSERT_EQ(a == nullptr, b == nullptr) << num << ' ' << objstm;
            if (a) EXPECT_EQ(sheetlay::pdf::to_text(*a), sheetlay::pdf::to_text(*b)) << num;
            EXPECT_EQ(charged.get(num), a);  // the same value on every call
        }
        EXPECT_EQ(charged.get(1001), base->get(1001));  // taken, not parsed again
        EXPECT_FALSE(charged.spent());
        sheetlay::doc_free(&d);
    }
}

}  // namespace
