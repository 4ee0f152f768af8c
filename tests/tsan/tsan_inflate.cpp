// Threads decoding fixed-code streams at the same moment. The fixed codes are
// the only data that all calls share; they must be complete and unchanging
// before the first of these blocks is decoded, whichever thread gets there
// first.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec/inflate.h"

namespace {

// Writes fixed-code blocks by hand: literals and back-references.
struct FixedWriter {
    std::vector<unsigned char> out{0x78, 0x01};
    unsigned acc = 0;
    int n = 0;

    void put(unsigned v, int len) {  // low bit first
        for (int i = 0; i < len; ++i) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) {
                out.push_back(static_cast<unsigned char>(acc));
                acc = 0;
                n = 0;
            }
        }
    }
    void code(unsigned c, int len) {  // Huffman codes: high bit first
        for (int i = len - 1; i >= 0; --i) put((c >> i) & 1u, 1);
    }
    void sym(int s) {
        if (s < 144) code(0x30 + s, 8);
        else if (s < 256) code(0x190 + s - 144, 9);
        else if (s < 280) code(s - 256, 7);
        else code(0xc0 + s - 280, 8);
    }
    // Lengths 3 to 10 and distances 1 to 4 have no extra bits.
    void match(int len, int dist) {
        sym(254 + len);
        code(dist - 1, 5);
    }
    std::vector<unsigned char> done() {
        if (n) out.push_back(static_cast<unsigned char>(acc));
        return out;
    }
};

// One fixed-code block of text with repeats, and the bytes it decodes to.
void make_stream(int seed, std::vector<unsigned char> &stream, std::string &expect) {
    FixedWriter w;
    w.put(1, 1);
    w.put(1, 2);
    for (int i = 0; i < 4000; ++i) {
        std::string word = "Tj " + std::to_string((seed * 7919 + i * 31) % 1000) + " ";
        for (char c : word) {
            w.sym(static_cast<unsigned char>(c));
            expect += c;
        }
        int len = 3 + (i + seed) % 8, dist = 1 + i % 4;
        w.match(len, dist);
        for (int k = 0; k < len; ++k) expect += expect[expect.size() - dist];
    }
    w.sym(256);
    stream = w.done();
}

}  // namespace

int main() {
    const int threads = 8, rounds = 40;
    std::vector<std::vector<unsigned char>> streams(threads);
    std::vector<std::string> expects(threads);
    for (int t = 0; t < threads; ++t) make_stream(t, streams[t], expects[t]);

    std::atomic<int> ready{0}, failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::vector<unsigned char> out(expects[t].size());
            // Start together so that the first fixed-code blocks overlap.
            ready.fetch_add(1);
            while (ready.load() < threads) std::this_thread::yield();
            for (int r = 0; r < rounds; ++r) {
                uint64_t len = 0;
                int32_t ret = sheetlay::inflate_decompress(streams[t].data(), streams[t].size(), out.data(),
                                                           out.size(), &len);
                if (ret != 0 || len != expects[t].size() ||
                    std::memcmp(out.data(), expects[t].data(), expects[t].size()) != 0)
                    failures.fetch_add(1);
            }
        });
    }
    for (auto &th : pool) th.join();
    if (failures.load() != 0) {
        std::fprintf(stderr, "%d decodes gave a wrong result\n", failures.load());
        return 1;
    }
    std::printf("%d threads x %d fixed-code decodes: all correct\n", threads, rounds);
    return 0;
}
