// Several threads composing different files at the same moment: each output
// must be byte for byte the one a lone call writes. The library keeps no
// state between calls except the error text (one buffer for the process,
// which concurrent calls overwrite, so only return values are compared here)
// and the decoder's fixed code tables, built once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

struct Job {
    std::string input;
    int32_t n, order, size, border;
};

// One call of the public interface for a job.
int32_t run(const Job &j, const std::string &out) {
    if (j.border > 0) return sheetlay_create_bordered(j.input.c_str(), out.c_str(), j.n, j.order, j.border);
    return sheetlay_create_sized(j.input.c_str(), out.c_str(), j.n, j.order, j.size);
}

// Generated inputs: compressed content (fixed and dynamic codes), object
// streams, nested trees with inherited attributes, a damaged file that is
// refused, and one with a content stream left encoded.
std::vector<std::string> generated_inputs() {
    std::vector<std::string> docs;
    docs.push_back(pdfgen::make_pages(9));
    docs.push_back(pdfgen::make_pages(5, 842, 595));
    for (int variant = 0; variant < 3; ++variant) {
        pdfgen::DocSpec s;
        for (int i = 0; i < 7; ++i) {
            pdfgen::PageSpec p;
            std::string text;
            for (int k = 0; k < 60; ++k)
                text += "BT /F1 9 Tf 20 " + std::to_string(700 - 11 * k) + " Td (line " + std::to_string(i * k) +
                        ") Tj ET\n";
            p.content = text;
            p.flate = true;
            p.rotate = i % 3 == 1 ? "90" : "";
            p.resources = "<< /Font << /F1 1000 0 R >> >>";
            s.pages.push_back(p);
        }
        s.objects.push_back({1000, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"});
        s.fanout = variant == 2 ? 2 : 0;
        s.objstm = variant == 1;
        docs.push_back(pdfgen::make_doc(s));
    }
    {
        pdfgen::PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
        b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R >>");
        b.add_stream(4, "/Filter /ASCIIHexDecode", "3020672030203020353020353020726520660A>");
        docs.push_back(b.finish("/Root 1 0 R"));
    }
    std::string cut = pdfgen::make_pages(3);
    docs.push_back(cut.substr(0, cut.size() / 3));
    return docs;
}

TEST(Threads, ConcurrentCallsWriteWhatLoneCallsWrite) {
    std::vector<std::string> inputs;
    for (const std::string &doc : generated_inputs()) inputs.push_back(testtools::write_temp(doc, "thr-in"));
    for (const std::string &f : testtools::corpus_files()) inputs.push_back(f);

    // Every input with a few layouts.
    std::vector<Job> jobs;
    const int32_t ns[] = {2, 4, 6, 9, 16};
    for (size_t i = 0; i < inputs.size(); ++i) {
        jobs.push_back({inputs[i], ns[i % 5], static_cast<int32_t>(i % 2), -1, 0});
        jobs.push_back({inputs[i], ns[(i + 2) % 5], 1, static_cast<int32_t>(i % 3), 0});
        jobs.push_back({inputs[i], 4, 0, -1, 2});
    }

    // The lone calls.
    std::vector<int32_t> want_rc(jobs.size());
    std::vector<std::string> want(jobs.size());
    for (size_t k = 0; k < jobs.size(); ++k) {
        std::string out = testtools::tmp_path("thr-serial");
        want_rc[k] = run(jobs[k], out);
        want[k] = testtools::read_file(out).value_or("");
        testtools::remove_file(out);
    }
    int composed = 0;
    for (int32_t rc : want_rc) composed += rc;
    ASSERT_GT(composed, 0);

    // The same jobs from several threads at once, each thread taking every
    // job in its own order so that different files meet.
    const int kThreads = 4, kRounds = 2;
    std::vector<std::vector<std::string>> got(kThreads, std::vector<std::string>(jobs.size()));
    std::vector<std::vector<int32_t>> got_rc(kThreads, std::vector<int32_t>(jobs.size(), -1));
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int r = 0; r < kRounds; ++r) {
                for (size_t i = 0; i < jobs.size(); ++i) {
                    // A rotation, so every thread runs every job whatever their number.
                    size_t k = (i + static_cast<size_t>(t) * 5 + static_cast<size_t>(r)) % jobs.size();
                    std::string out = testtools::tmp_path("thr-" + std::to_string(t));
                    got_rc[t][k] = run(jobs[k], out);
                    got[t][k] = testtools::read_file(out).value_or("");
                    testtools::remove_file(out);
                }
            }
        });
    }
    for (auto &th : pool) th.join();

    for (int t = 0; t < kThreads; ++t) {
        for (size_t k = 0; k < jobs.size(); ++k) {
            SCOPED_TRACE(jobs[k].input + " n " + std::to_string(jobs[k].n) + " thread " + std::to_string(t));
            EXPECT_EQ(got_rc[t][k], want_rc[k]);
            EXPECT_TRUE(got[t][k] == want[k]) << "output differs from the lone call's";
        }
    }
    for (size_t i = 0; i < inputs.size(); ++i)
        if (inputs[i].find("thr-in") != std::string::npos) testtools::remove_file(inputs[i]);
}

}  // namespace
