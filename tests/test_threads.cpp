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
#include "support/jobs.h"
#include "support/tools.h"

namespace {

using testjobs::Job;
using testjobs::run;

TEST(Threads, ConcurrentCallsWriteWhatLoneCallsWrite) {
    std::vector<std::string> inputs;
    for (const std::string &doc : testjobs::generated_inputs()) inputs.push_back(testtools::write_temp(doc, "thr-in"));
    for (const std::string &f : testtools::corpus_files()) inputs.push_back(f);

    // Every input with a few layouts.
    const std::vector<Job> jobs = testjobs::layouts(inputs);

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
