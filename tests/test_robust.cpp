// Damaged and hostile input: cut files, lying offsets and lengths, deep
// nesting, deep and circular page trees, lying object streams, Flate bombs,
// huge /Kids lists, object numbers at and past the largest kept one, and the
// inputs the fuzz targets found. Each file either composes into a file that
// qpdf accepts or fails with a message; none may crash, hang or allocate
// without bound (the sanitizer builds and the test timeout watch that).
//
// DISABLED_PeakMemory measures what the largest cases cost in memory; run it
// by hand with --gtest_also_run_disabled_tests --gtest_filter='*PeakMemory*'.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../fuzz/hostile.h"
#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "nup_helpers.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using hostile::Case;
using hostile::Expect;

namespace {

struct Outcome {
    bool composed = false;
    std::string err;
    std::string pdf;
    double seconds = 0;
};

// Loads the bytes and composes them into a temporary file.
Outcome compose(const std::string &bytes, int n = 4, int order = 0, int page_size = -1, int border = 0) {
    Outcome o;
    auto t0 = std::chrono::steady_clock::now();
    std::string path = testtools::tmp_path("robust");
    sheetlay::doc d{};
    sheetlay::g_err[0] = '\0';
    if (sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), "in.pdf",
                               &d) == 0) {
        o.composed = sheetlay::nup_doc(&d, path.c_str(), n, order, page_size, border) == 1;
        sheetlay::doc_free(&d);
    }
    o.err = sheetlay::g_err;
    if (testtools::file_exists(path)) {
        o.pdf = testtools::read_file(path).value_or("");
        testtools::remove_file(path);
    }
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return o;
}

bool qpdf_clean(const std::string &pdf, std::string *out) {
    std::string path = testtools::write_temp(pdf, "robust-q");
    testtools::QpdfResult q = testtools::qpdf_check(path);
    testtools::remove_file(path);
    if (out) *out = q.out.substr(0, 2000);
    return q.skipped || q.status == 0;
}

// Outputs larger than this are checked by their own table (every entry
// points at its object) rather than by qpdf, which takes long on them.
constexpr size_t kQpdfMaxOutput = size_t{4} << 20;

// Runs every case and checks its outcome. Outputs already checked by qpdf
// (many cut files compose to the same bytes) are not checked again.
void check_cases(const std::vector<Case> &cases, int n = 4) {
    std::set<std::string> checked;
    double slowest = 0;
    std::string slowest_name;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome o = compose(c.bytes, n);
        if (o.seconds > slowest) {
            slowest = o.seconds;
            slowest_name = c.name;
        }
        if (o.composed) {
            EXPECT_NE(c.expect, Expect::fail) << "composed a file that must be refused";
            EXPECT_EQ(o.err, "");
            ASSERT_FALSE(o.pdf.empty());
            if (o.pdf.size() > kQpdfMaxOutput) {
                EXPECT_FALSE(nuptest::xref_objects(o.pdf).empty());
            } else if (checked.insert(o.pdf).second) {
                std::string why;
                EXPECT_TRUE(qpdf_clean(o.pdf, &why)) << why;
            }
        } else {
            EXPECT_NE(c.expect, Expect::compose) << "refused: " << o.err;
            EXPECT_NE(o.err, "") << "failure without a message";
            EXPECT_TRUE(o.pdf.empty()) << "a failed call left a file";
            if (!c.message.empty()) EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        }
    }
    std::printf("[ robust   ] %zu cases; slowest %s: %.3f s\n", cases.size(), slowest_name.c_str(), slowest);
}

// ---------------------------------------------------------------------------

TEST(Damaged, TruncatedAtEveryOffset) {
    check_cases(hostile::truncations("classic", hostile::small_classic()));
    check_cases(hostile::truncations("objstm", hostile::small_objstm()));
}

TEST(Damaged, TruncatedThroughThePublicInterface) {
    // The file path, the interface's checks and its error text, on a sample
    // of cut lengths.
    const std::string whole = hostile::small_classic();
    for (size_t n : {size_t{1}, size_t{5}, size_t{9}, whole.size() / 3, whole.size() / 2, whole.size() - 30}) {
        SCOPED_TRACE(n);
        std::string in = testtools::write_temp(whole.substr(0, n), "cut");
        std::string out = testtools::tmp_path("cut-out");
        int32_t rc = sheetlay_create(in.c_str(), out.c_str(), 2, 0);
        if (rc == 1) {
            EXPECT_STREQ(sheetlay_last_error(), "");
            std::string why;
            EXPECT_TRUE(qpdf_clean(testtools::read_file(out).value_or(""), &why)) << why;
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_STRNE(sheetlay_last_error(), "");
            EXPECT_FALSE(testtools::file_exists(out));
        }
        testtools::remove_file(in);
        testtools::remove_file(out);
    }
}

TEST(Damaged, CrossReferenceOffsetsAnywhere) { check_cases(hostile::xref_offsets()); }

TEST(Damaged, LengthHugeNegativeOrWrong) { check_cases(hostile::lengths()); }

TEST(Damaged, ObjectStreamsThatLie) { check_cases(hostile::object_streams()); }

TEST(Hostile, DeepNesting) { check_cases(hostile::nesting()); }

TEST(Hostile, PageTrees) { check_cases(hostile::page_trees(), 16); }

TEST(Hostile, ObjectNumbersAtTheLimit) { check_cases(hostile::object_numbers()); }

TEST(Hostile, FlateBombs) {
    // Content of 1.1 MB that would inflate to 1.1 GiB, past the largest area
    // the decoder accepts; three object streams of 300 KB that inflate to
    // 300 MB each, past the room all object streams share. (The same content
    // used many times: SharedWorkIsDoneOnce.)
    check_cases(hostile::bombs(1100000, 300000));
}

TEST(Hostile, SharedWorkIsDoneOnce) {
    // Work that depends on one object only is done once for it, however
    // often the file uses it; otherwise each of these costs uses x size and
    // runs for many minutes. A page with a large dictionary listed 20,000
    // times; the same page (without resources of its own) under 50,000
    // parents that each have /Resources; a content stream that inflates past
    // the decoder's limit as the content of 3,000 pages, and 3,000 times in
    // one page's /Contents array.
    const uint64_t bomb = 1100000;
    check_cases({{"big-page-20000-times", hostile::repeated_big_page(20000, 100000), Expect::compose, ""},
                 {"big-page-50000-parents", hostile::big_page_many_parents(50000, 333000), Expect::compose, ""},
                 {"bomb-in-3000-pages", hostile::shared_bomb(3000, bomb), Expect::compose, ""},
                 {"bomb-3000-times-in-one-array", hostile::bomb_array(3000, bomb), Expect::compose, ""}},
                16);
}

TEST(FuzzFindings, Reproducers) {
    // Inputs the fuzz targets found faults with, kept as cases.
    std::string two = pdfgen::make_pages(2);
    check_cases({
        // A file whose only stream is cut before its data: the loader sorted
        // an empty list of stream ranges through a null pointer (UBSan).
        {"no-stream-data", two.substr(0, two.find("stream\n0 g")), Expect::any, ""},
        {"cut-in-half", two.substr(0, two.size() / 2), Expect::any, ""},
    });
}

// A page whose font 5 is `body` and lost its "endobj": the next object
// follows at once, and after `count` such objects (5, 6, ...) one "endobj"
// closes the last.
std::string lost_endobj(const std::string &body, int count = 1) {
    std::string fonts, bodies;
    for (int k = 5; k < 5 + count; ++k) {
        std::string num = std::to_string(k);
        fonts += " /F" + num + " " + num + " 0 R";
        bodies += num + " 0 obj\n" + hostile::replace_all(body, "NEXT", std::to_string(k + 1)) + "\n";
    }
    std::string in = hostile::raw_doc(hostile::one_page_objects("/Resources << /Font <<" + fonts + " >> >>"));
    in.insert(in.find("xref"), bodies + std::to_string(5 + count) + " 0 obj\n<< /Unused true >>\nendobj\n");
    return in;
}

TEST(Damaged, BodyRunningIntoTheNextObject) {
    // An object without "endobj" runs on to the next one's. Carried whole,
    // it would bring the next header ("6 0 obj", the number of the sheet's
    // content stream) into the output. A header quoted in a string is text.
    // What the lost text left open is closed, so that the output parses.
    const std::string font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica";
    check_cases({{"balanced", lost_endobj(font + " >>"), Expect::compose, ""},
                 {"header-in-string", lost_endobj(font + " /Note (see 6 0 obj \\) % 7 0 obj) >>\nendobj"),
                  Expect::compose, ""},
                 {"open-string", lost_endobj(font + " /Note (cut (short"), Expect::compose, ""},
                 {"open-escape", lost_endobj(font + " /Note (a\\"), Expect::compose, ""},
                 {"open-hex", lost_endobj(font + " /Widths [ 1 <41"), Expect::compose, ""},
                 {"open-arrays", lost_endobj("[ [ NEXT 0 R", 200), Expect::compose, ""},
                 {"open-strings", lost_endobj("[ NEXT 0 R (", 200), Expect::compose, ""}},
                2);

    // Thousands of them and one "endobj" at the end: had each body run on
    // to it, the output would grow with the square of the input.
    for (const char *body : {"( NEXT 0 R", "[ NEXT 0 R"}) {
        SCOPED_TRACE(body);
        std::string in = lost_endobj(body, 20000);
        Outcome o = compose(in, 2);
        ASSERT_TRUE(o.composed) << o.err;
        EXPECT_LT(o.pdf.size(), 3 * in.size());
    }
}

// ---------------------------------------------------------------------------
// Peak memory, measured in a child process per case (the figure is printed,
// not checked).

struct Peak {
    long base_kb = 0, peak_kb = 0;
    bool composed = false;
};

// A line "<key>  <n> kB" of /proc/self/status, in kB; -1 when absent.
long status_kb(const char *key) {
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t kl = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, kl) == 0 && line[kl] == ':') v = std::strtol(line + kl + 1, nullptr, 10);
    std::fclose(f);
    return v;
}

Peak measure(const std::string &bytes, int n) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // The child starts with its parent's high-water mark: bring it down
        // to what is resident now.
        if (std::FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        Peak p;
        p.base_kb = status_kb("VmRSS");
        p.composed = compose(bytes, n).composed;
        p.peak_kb = status_kb("VmHWM");
        ssize_t w = write(fds[1], &p, sizeof p);
        _exit(w == static_cast<ssize_t>(sizeof p) ? 0 : 1);
    }
    close(fds[1]);
    Peak p;
    if (read(fds[0], &p, sizeof p) != static_cast<ssize_t>(sizeof p)) p = {};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return p;
}

TEST(Robust, DISABLED_PeakMemory) {
    std::vector<Case> cases = hostile::bombs(1100000, 300000);
    {
        std::string kids;
        for (int i = 0; i < 1000000; ++i) kids += "3 0 R ";
        auto objs = hostile::one_page_objects();
        objs[1].second = "<< /Type /Pages /Kids [" + kids + "] /Count 1000000 >>";
        cases.push_back({"same-page-1000000-times", hostile::raw_doc(objs), Expect::compose, ""});
    }
    cases.push_back({"big-page-20000-times", hostile::repeated_big_page(20000, 100000), Expect::compose, ""});
    cases.push_back({"bomb-in-3000-pages", hostile::shared_bomb(3000, 1100000), Expect::compose, ""});
    cases.push_back({"objstm-bombs-12", hostile::objstm_bombs(12, 300000), Expect::compose, ""});
    for (const Case &c : hostile::nesting()) cases.push_back(c);
    for (const Case &c : hostile::object_numbers()) cases.push_back(c);
    for (const std::string &f : testtools::corpus_files())
        if (auto b = testtools::read_file(f)) cases.push_back({f.substr(f.rfind('/') + 1), *b, Expect::any, ""});
    for (const Case &c : cases) {
        Peak p = measure(c.bytes, 4);
        double in_mb = static_cast<double>(c.bytes.size()) / 1048576.0;
        double used_mb = static_cast<double>(p.peak_kb - p.base_kb) / 1024.0;
        std::printf("%-36s input %9.3f MB  peak +%9.1f MB  (%6.1f x input)  %s\n", c.name.c_str(), in_mb,
                    used_mb, in_mb > 0 ? used_mb / in_mb : 0.0, p.composed ? "composed" : "refused");
    }
}

}  // namespace
