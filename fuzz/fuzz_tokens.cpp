// The content tokeniser against the plain reading of the same bytes
// (tests/support/token_ref.h): every operator with its operands, numbers
// to the bit, and where and how reading ends must agree, with room for
// every operand and with tight operand and work bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/token_ref.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const struct {
        int32_t ops;
        int64_t work;
    } bounds[] = {{1024, 1 << 20}, {3, 1 << 20}, {64, static_cast<int64_t>(size % 17)}};
    for (const auto &b : bounds) {
        const std::string fast = testtools::fast_tokens(data, size, b.ops, b.work);
        const std::string ref = testtools::ref_tokens(data, size, b.ops, b.work);
        if (fast != ref) {
            std::fprintf(stderr, "fuzz_tokens: tokens differ\nfast:\n%s\nplain:\n%s\n", fast.c_str(), ref.c_str());
            std::abort();
        }
    }
    return 0;
}
