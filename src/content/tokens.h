// Reading a content stream token by token: operands onto a bounded stack,
// operators as short keywords, and inline image data passed over.
//
// Content is a flat sequence of operands followed by an operator; strings,
// arrays and dictionaries among the operands are read by the library's
// value parser (pdf/object), numbers and names here, since they make up
// almost all of a page and need no allocation. An inline image's data is
// binary and has no length of its own: it is passed over by its computed
// size where the dictionary gives one, else up to an "EI" that stands
// alone, as viewers do.
#ifndef SHEETLAY_CONTENT_TOKENS_H
#define SHEETLAY_CONTENT_TOKENS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pdf/object.h"

namespace sheetlay::content {

struct operand {
    enum kind_t : uint8_t { number, text_name, other } kind = number;
    double num = 0;
    std::string name;  // a name without '/'
    pdf::value v;      // strings, arrays, dictionaries, booleans
};

// Thrown when a bound is exhausted or the content cannot be read on.
struct stop {};

// An operator's bytes (up to three) as one word, the first lowest, so that
// the interpreter can switch on it: `op_word("Tj")` names the word
// token_reader::op_word() gives for that operator.
constexpr uint32_t op_word(std::string_view s) {
    uint32_t w = 0;
    for (size_t k = 0; k < s.size() && k < 3; ++k) w |= static_cast<uint32_t>(static_cast<unsigned char>(s[k])) << (8 * k);
    return w;
}

class token_reader {
public:
    token_reader(const unsigned char *t, size_t len, int32_t max_operands, int64_t *work)
        : t_(t), len_(len), max_ops_(max_operands), work_(work) {}

    // Reads operands up to the next operator; false at the end of the data.
    // The operator is op() (at most 3 bytes are told apart; longer ones
    // read as unknown), its operands ops().
    bool next();
    const char *op() const { return op_; }
    uint32_t op_word() const {
        return static_cast<uint32_t>(static_cast<unsigned char>(op_[0])) |
               static_cast<uint32_t>(static_cast<unsigned char>(op_[1])) << 8 |
               static_cast<uint32_t>(static_cast<unsigned char>(op_[2])) << 16;
    }
    const std::vector<operand> &ops() const { return ops_; }
    size_t count() const { return n_; }
    const operand &arg(size_t k) const { return ops_[k]; }
    // The number n-th from the end, `def` when absent or not a number.
    double num_back(size_t from_end, double def = 0) const;

    // After the operator "ID": passes over the image data and the "EI".
    // `dict` holds the operands since "BI" (keys and values). False when
    // no end is found.
    bool skip_inline_image(const std::vector<operand> &dict);

private:
    operand &grow();  // a new operand past the reused ones, or stop at the bound
    const unsigned char *t_;
    size_t len_;
    size_t pos_ = 0;
    int32_t max_ops_;
    int64_t *work_;
    std::vector<operand> ops_;  // capacity reused; n_ in use
    size_t n_ = 0;
    size_t room_ = 0;  // operands that fit without grow(): ops_.size(), at most max_ops_
    char op_[4] = {0, 0, 0, 0};
};

}  // namespace sheetlay::content

#endif
