// Byte identity of the output: every call below, over every corpus file and
// a few generated (some damaged) files, must write exactly the bytes whose
// SHA-256 digests tests/identity_digests.inc records. The table was made from
// the writer as it stood before the output was streamed, so any change to
// where bytes go that changes a byte fails here. A failed call is recorded
// by its message. Pages placed more than once are among them: their content
// is copied from where it was written first (the file, or the memory block).
//
// The table is made again (after a change meant to alter the output) with
//   SHEETLAY_IDENTITY_WRITE=tests/identity_digests.inc build/tests/sheetlay_tests \
//       --gtest_filter='Identity.*'
// Rows are chosen by the library's version: the rows of other versions are
// kept by writing to another file and joining the two. Generated inputs are
// compressed by zlib; their own digest is in the table, and rows of an input
// that came out differently (another zlib) are skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sheetlay.h"
#include "support/jobs.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

// The library's version is part of the output (the /Producer of the
// document information), so each row holds the version it was made for.
struct Row {
    const char *input, *call, *digest, *version;
};

const Row kTable[] = {
#include "identity_digests.inc"
};

using testtools::hex_digest;

// One call: its name and how it runs. `opt` calls go through sheetlay_nup
// (or sheetlay_nup_mem when mem), the others through the fixed-grid entries.
struct Call {
    const char *name;
    int kind;  // 0 create, 1 sized, 2 bordered, 3 options file, 4 options memory
    int32_t n = 0, order = 0, arg = 0;
    void (*set)(sheetlay_options &) = nullptr;
};

const Call kCalls[] = {
    {"create4", 0, 4, 0},
    {"create2rtl", 0, 2, 1},
    {"sized6a4", 1, 6, 0, 0},
    {"sized9a3rtl", 1, 9, 1, 2},
    {"sized16first", 1, 16, 0, -1},
    {"bordered4", 2, 4, 1, 3},
    {"compact", 3, 0, 0, 0, [](sheetlay_options &) {}},
    {"none-keep0", 3, 0, 0, 0,
     [](sheetlay_options &o) {
         o.compress = SHEETLAY_COMPRESS_NONE;
         o.keep = 0;
         o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
     }},
    {"compact-keep0", 3, 0, 0, 0, [](sheetlay_options &o) { o.keep = 0; }},
    {"none-keepall", 3, 0, 0, 0, [](sheetlay_options &o) { o.compress = SHEETLAY_COMPRESS_NONE; }},
    {"booklet", 3, 0, 0, 0,
     [](sheetlay_options &o) {
         o.booklet = 1;
         o.sheet_width = 841.89;
         o.sheet_height = 595.28;
     }},
    {"grid3x2", 3, 0, 0, 0,
     [](sheetlay_options &o) {
         o.columns = 3;
         o.rows = 2;
         o.flow = SHEETLAY_FLOW_RTL | SHEETLAY_FLOW_COLUMNS;
         o.margin = 20;
         o.gap = 6.5;
         o.border = 0.5;
         o.pages = "z,1-3,2";
     }},
    {"grid1x3-none", 3, 0, 0, 0,
     [](sheetlay_options &o) {
         o.columns = 1;
         o.rows = 3;
         o.flow = SHEETLAY_FLOW_BOTTOM_UP;
         o.fit = SHEETLAY_FIT_SHRINK;
         o.orientation = SHEETLAY_ORIENT_LANDSCAPE;
         o.sheet_width = 842;
         o.sheet_height = 1191;
         o.compress = SHEETLAY_COMPRESS_NONE;
     }},
    {"none-repeat", 3, 0, 0, 0,
     [](sheetlay_options &o) {
         o.compress = SHEETLAY_COMPRESS_NONE;
         o.pages = "1,1,2,1,z,2";
     }},
    {"mem-compact", 4, 0, 0, 0, [](sheetlay_options &) {}},
    {"mem-repeat", 4, 0, 0, 0, [](sheetlay_options &o) { o.pages = "2,1,2,z,2,1"; }},
    {"mem-none-keep0", 4, 0, 0, 0,
     [](sheetlay_options &o) {
         o.compress = SHEETLAY_COMPRESS_NONE;
         o.keep = 0;
     }},
};

// The output of one call, or "fail: message".
std::string run(const Call &c, const std::string &in_path, const std::string &in_bytes) {
    const std::string out = testtools::tmp_path("ident");
    int32_t ok = 0;
    std::string msg;
    if (c.kind == 4) {
        sheetlay_options o;
        sheetlay_options_init(&o);
        c.set(o);
        void *p = nullptr;
        size_t n = 0;
        char err[1024];
        ok = sheetlay_nup_mem(in_bytes.data(), in_bytes.size(), &p, &n, &o, err, sizeof err);
        std::string r = ok ? std::string(static_cast<const char *>(p), n) : "fail: " + std::string(err);
        sheetlay_free(p);
        return r;
    }
    if (c.kind == 3) {
        sheetlay_options o;
        sheetlay_options_init(&o);
        c.set(o);
        char err[1024];
        ok = sheetlay_nup(in_path.c_str(), out.c_str(), &o, err, sizeof err);
        msg = err;
    } else {
        ok = c.kind == 0   ? sheetlay_create(in_path.c_str(), out.c_str(), c.n, c.order)
             : c.kind == 1 ? sheetlay_create_sized(in_path.c_str(), out.c_str(), c.n, c.order, c.arg)
                           : sheetlay_create_bordered(in_path.c_str(), out.c_str(), c.n, c.order, c.arg);
        msg = sheetlay_last_error();
    }
    if (!ok) {
        EXPECT_FALSE(testtools::file_exists(out)) << c.name << " failed and left " << out;
        testtools::remove_file(out);
        // The message names the temporary path; only its reason counts.
        size_t at = msg.find(out);
        if (at != std::string::npos) msg.replace(at, out.size(), "OUT");
        at = msg.find(in_path);
        if (at != std::string::npos) msg.replace(at, in_path.size(), "IN");
        return "fail: " + msg;
    }
    std::string r = testtools::read_file(out).value_or("unreadable");
    testtools::remove_file(out);
    return r;
}

// Generated inputs: the jobs' set (one of them cut short) and damage the
// reader has to get round: a wrong startxref, a wrong /Length, a table
// overwritten, a resource that names a missing object.
std::vector<std::pair<std::string, std::string>> generated() {
    std::vector<std::pair<std::string, std::string>> out;
    auto docs = testjobs::generated_inputs();
    for (size_t i = 0; i < docs.size(); ++i) out.push_back({"gen" + std::to_string(i), docs[i]});
    std::string p = pdfgen::make_pages(6);
    std::string bad_start = p;
    size_t s = bad_start.rfind("startxref");
    bad_start.replace(s, bad_start.find("%%EOF") - s, "startxref\n17\n");
    out.push_back({"bad-startxref", bad_start});
    std::string bad_len = p;
    size_t l = bad_len.find("/Length ");
    bad_len.replace(l, 8, "/Length 1");  // ten times or more too long
    out.push_back({"bad-length", bad_len});
    std::string bad_table = p;
    size_t x = bad_table.rfind("xref\n");
    for (size_t k = x + 12; k < x + 60 && k < bad_table.size(); ++k) bad_table[k] = '#';
    out.push_back({"bad-table", bad_table});
    pdfgen::PageSpec pg;
    pg.content = "BT /F1 12 Tf 50 50 Td (x) Tj ET /X0 Do";
    pg.resources = "<< /Font << /F1 999 0 R >> /XObject << /X0 998 0 R >> >>";
    out.push_back({"missing-objects", pdfgen::make_simple_doc({pg, pg, pg})});
    return out;
}

TEST(Identity, EveryCallWritesTheRecordedBytes) {
    std::map<std::pair<std::string, std::string>, std::string> want;
    const std::string version = sheetlay_version();
    for (const Row &r : kTable)
        if (version == r.version) want[{r.input, r.call}] = r.digest;
    const char *write_to = std::getenv("SHEETLAY_IDENTITY_WRITE");
    if (!write_to && want.empty()) GTEST_SKIP() << "no digests recorded for version " << version;
    std::string table;

    std::vector<std::pair<std::string, std::string>> inputs;  // name, path
    for (const std::string &f : testtools::corpus_files())
        inputs.push_back({std::filesystem::path(f).filename().string(), f});
    for (auto &[name, bytes] : generated()) inputs.push_back({name, testtools::write_temp(bytes, "identin")});
    if (!write_to && testtools::corpus_files().empty()) GTEST_LOG_(INFO) << "no corpus: generated inputs only";

    int compared = 0;
    for (const auto &[name, path] : inputs) {
        const std::string bytes = testtools::read_file(path).value_or("");
        const std::string in_digest = hex_digest(bytes);
        const bool generated_input = path.find("identin") != std::string::npos;
        const std::string tail = "\", \"" + version + "\"},\n";
        table += "{\"" + name + "\", \"input\", \"" + in_digest + tail;
        auto rec = want.find({name, "input"});
        if (!write_to && generated_input && (rec == want.end() || rec->second != in_digest)) {
            GTEST_LOG_(INFO) << name << ": generated differently here, not compared";
            continue;
        }
        for (const Call &c : kCalls) {
            const std::string d = hex_digest(run(c, path, bytes));
            table += "{\"" + name + "\", \"" + c.name + "\", \"" + d + tail;
            if (write_to) continue;
            auto w = want.find({name, c.name});
            if (w == want.end()) {
                ADD_FAILURE() << name << " " << c.name << ": not in the table";
                continue;
            }
            EXPECT_EQ(d, w->second) << name << " " << c.name << ": output changed";
            ++compared;
        }
        if (generated_input) testtools::remove_file(path);
    }
    if (write_to) {
        ASSERT_TRUE(testtools::write_file(write_to, table)) << write_to;
        GTEST_LOG_(INFO) << "table written to " << write_to;
        return;
    }
    EXPECT_GT(compared, 0);
}

}  // namespace
