// The object streams' compression on a second thread: results in the order
// handed over and equal to a one-thread run, failures on the second thread
// raised on the caller's, and a queue given up half way ends its thread.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "codec/deflate.h"
#include "nup/compress_queue.h"

namespace {

using sheetlay::nup::compress_queue;

// Texts unlike each other, so that a result in the wrong slot shows.
std::vector<std::string> texts(size_t n) {
    std::vector<std::string> v;
    for (size_t i = 0; i < n; ++i) {
        std::string t;
        for (size_t k = 0; k < 2000 + 700 * i; ++k) t += std::to_string((k * 7919 + i) % 1000) + " 0 R ";
        v.push_back(t);
    }
    return v;
}

std::string inline_z(const std::string &t) {
    std::string z;
    sheetlay::deflate_compress_into(z, reinterpret_cast<const unsigned char *>(t.data()), t.size());
    return z;
}

// Fails on the text that starts with "!", as the encoder does when memory
// runs out.
std::string failing_z(const std::string &t) {
    if (!t.empty() && t[0] == '!') throw std::bad_alloc();
    return inline_z(t);
}

TEST(CompressQueue, ResultsInOrderAndAsOneThreadMakesThem) {
    struct Case {
        size_t n;
        bool one_thread, threaded;
    } cases[] = {{0, false, false}, {2, false, false}, {3, false, false}, {4, false, true},
                 {9, false, true},  {9, true, false},  {40, false, true}};  // 40: more than may wait
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " texts, one_thread " << c.one_thread);
        const std::vector<std::string> in = texts(c.n);
        compress_queue q(c.one_thread);
        for (size_t i = 0; i < c.n; ++i) q.submit(in[i], i + 1 == c.n);
        EXPECT_EQ(q.size(), c.n);
        std::vector<std::string> got = q.finish();
        EXPECT_EQ(q.threaded(), c.threaded);
        ASSERT_EQ(got.size(), c.n);
        for (size_t i = 0; i < c.n; ++i) EXPECT_TRUE(got[i] == inline_z(in[i])) << "text " << i;
    }
}

TEST(CompressQueue, FailureOnEitherThreadIsRaisedAndNothingOutlivesTheQueue) {
    struct Case {
        size_t n, failing;  // failing == n: none fails; finish: whether finish is called
        bool one_thread, finish;
    } cases[] = {
        {12, 1, false, true},    // early: on the second thread, raised at a later hand-over or the end
        {12, 11, false, true},   // the last: compressed at the end on either thread
        {12, 3, true, true},     // one thread
        {12, 12, false, false},  // given up half way (a failed write): the destructor ends the thread
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "failing " << c.failing << ", one_thread " << c.one_thread);
        std::vector<std::string> in = texts(c.n);
        if (c.failing < c.n) in[c.failing][0] = '!';
        bool raised = false;
        try {
            compress_queue q(c.one_thread, failing_z);
            for (size_t i = 0; i < c.n; ++i) q.submit(in[i], c.finish && i + 1 == c.n);
            if (c.finish) q.finish();
        } catch (const std::bad_alloc &) {
            raised = true;
        }
        EXPECT_EQ(raised, c.failing < c.n);
    }
}

}  // namespace
