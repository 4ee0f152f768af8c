// Answers to dict_stream_kw for many starting positions (see pdf/dictwalk.h).
#include "pdf/dictwalk.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "pdf/bytescan.h"
#include "pdf/document.h"
#include "pdf/lexer.h"

namespace sheetlay {

namespace {

// Answers dict_stream_kw for many starting positions in one text.
//
// The walk of dict_stream_kw moves from byte to byte the same way whatever
// the depth it has counted ("<<" and ">>" are two-byte steps, a literal
// string one jump), so two walks that land on the same byte go on together.
// Damaged files can hold many object headers whose dictionaries never close
// (or strings that never end); walked one by one, each would run to the end
// of the file. So walks are first made plainly, as dict_stream_kw makes them,
// within a budget of steps for the whole file that sound files never use
// up (each walk covers one dictionary). Once it is spent, each walk reuses
// what earlier walks found out: the first "<<" or ">>" after a start, the
// ">>" that matches a "<<", the first unmatched ">>" after a place, the end
// of a literal string and what follows a closing ">>". Either way the
// answers are those of dict_stream_kw.
class dict_walker {
public:
    // `starts` holds the positions that will be asked about.
    // `budget`: steps for plain walks; negative for the default.
    dict_walker(const unsigned char *t, int32_t len, std::vector<int32_t> starts, int64_t budget = -1)
        : t_(t), len_(len), starts_(std::move(starts)),
          budget_(budget >= 0 ? budget : 8 * static_cast<int64_t>(len) + 1048576) {
        if (!std::is_sorted(starts_.begin(), starts_.end())) std::sort(starts_.begin(), starts_.end());
        starts_.erase(std::unique(starts_.begin(), starts_.end()), starts_.end());
    }

    // dict_stream_kw(t, len, q).
    int32_t stream_kw(int32_t q) {
        if (q < 0) return -1;
        if (budget_ > 0) {
            int32_t r = plain_walk(q);
            if (r != kGaveUp) return r;
        }
        int32_t s = next_token(q);
        if (s < 0 || t_[s] == '>') return -1;  // ">>" first: the depth goes below 0
        int32_t m = match(s);
        if (m < 0) return -1;
        auto hit = after_close_.find(m);
        if (hit != after_close_.end()) return hit->second;
        int32_t j = skip_ws(t_, m + 2, len_);
        int32_t r = kw_at(t_, j, len_, "stream") ? j : -1;
        after_close_[m] = r;
        return r;
    }

private:
    // Position after the ")" that balances the "(" at i, or -1.
    int32_t literal_end(int32_t i) {
        auto hit = lit_.find(i);
        if (hit != lit_.end()) return hit->second;
        std::vector<int32_t> open{i};  // "(" whose end is not known yet
        int32_t j = i + 1;
        while (j < len_) {
            unsigned char c = t_[j];
            if (c == '\\') {
                j += 2;  // the escaped byte does not count
            } else if (c == '(') {
                auto it = lit_.find(j);
                if (it == lit_.end()) {
                    open.push_back(j);
                    ++j;
                } else if (it->second < 0) {
                    break;
                } else {
                    j = it->second;
                }
            } else if (c == ')') {
                lit_[open.back()] = j + 1;
                open.pop_back();
                ++j;
                if (open.empty()) return j;
            } else {
                ++j;
            }
        }
        for (int32_t k : open) lit_[k] = -1;
        return -1;
    }

    // The first "<<" or ">>" that a walk from p meets, or -1 when the walk
    // fails first (end of text, a "<", ">" or "(" as the last byte, a string
    // that never ends).
    int32_t next_token(int32_t p) {
        landed_.clear();
        size_t si = static_cast<size_t>(std::lower_bound(starts_.begin(), starts_.end(), p) - starts_.begin());
        int32_t i = p, result = -1;
        while (i < len_) {
            while (si < starts_.size() && starts_[si] < i) ++si;
            if (si < starts_.size() && starts_[si] == i) {
                auto it = first_tok_.find(i);
                if (it != first_tok_.end()) {
                    result = it->second;
                    break;
                }
                landed_.push_back(i);
            }
            unsigned char c = t_[i];
            if ((c == '<' || c == '>' || c == '(') && i == len_ - 1) break;
            if ((c == '<' && t_[i + 1] == '<') || (c == '>' && t_[i + 1] == '>')) {
                result = i;
                break;
            }
            if (c == '(') {
                int32_t j = literal_end(i);
                if (j < 0) break;
                i = j;
                si = static_cast<size_t>(std::lower_bound(starts_.begin() + static_cast<std::ptrdiff_t>(si),
                                                          starts_.end(), i) - starts_.begin());
            } else {
                ++i;
            }
        }
        for (int32_t x : landed_) first_tok_[x] = result;
        return result;
    }

    // The ">>" that matches the "<<" at s, or -1. Nesting is kept on an
    // explicit stack, so deep nesting costs no call depth.
    int32_t match(int32_t s) {
        auto hit = match_.find(s);
        if (hit != match_.end()) return hit->second;
        struct frame {
            int32_t s, p;
            size_t conts;  // where this frame's continuation places begin in `conts`
        };
        std::vector<frame> st;
        std::vector<int32_t> conts;  // places after a matched pair, per frame
        st.push_back({s, s + 2, 0});
        auto fail_all = [&] {
            for (const frame &f : st) match_[f.s] = -1;
            for (int32_t c : conts) close_[c] = -1;
            return -1;
        };
        for (;;) {
            frame &f = st.back();
            int32_t tok;
            auto ci = close_.find(f.p);
            tok = ci != close_.end() ? ci->second : next_token(f.p);
            if (tok < 0) return fail_all();
            if (t_[tok] == '>') {
                match_[f.s] = tok;
                for (size_t k = f.conts; k < conts.size(); ++k) close_[conts[k]] = tok;
                conts.resize(f.conts);
                st.pop_back();
                if (st.empty()) return tok;
                st.back().p = tok + 2;
                conts.push_back(tok + 2);
                continue;
            }
            auto mi = match_.find(tok);
            if (mi == match_.end()) {
                st.push_back({tok, tok + 2, conts.size()});
            } else if (mi->second < 0) {
                return fail_all();
            } else {
                f.p = mi->second + 2;
                conts.push_back(f.p);
            }
        }
    }

    static constexpr int32_t kGaveUp = -2;

    // dict_stream_kw itself, as long as the budget lasts (each byte it
    // passes costs one); kGaveUp, and no budget left, when it runs out first.
    int32_t plain_walk(int32_t q) {
        const int32_t stop = static_cast<int32_t>(std::min<int64_t>(len_, q + budget_));
        auto spend = [&](int32_t at, int32_t result) {
            budget_ -= at - q;
            return result;
        };
        int32_t depth = 0;
        int32_t i = q;
        while (i < stop) {
            unsigned char c = t_[i];
            if (i == len_ - 1 && (c == '<' || c == '>' || c == '(')) return spend(i, -1);
            if (c == '<' && t_[i + 1] == '<') {
                ++depth;
                i += 2;
            } else if (c == '>' && t_[i + 1] == '>') {
                --depth;
                i += 2;
                if (depth < 0) return spend(i, -1);
                if (depth == 0) {
                    while (i < stop && is_pdf_ws(t_[i])) ++i;
                    if (i >= stop && stop < len_) break;
                    return spend(i, kw_at(t_, i, len_, "stream") ? i : -1);
                }
            } else if (c == '(') {
                // skip_literal, within the budget.
                int32_t sd = 0, j = i;
                bool closed = false;
                for (;;) {
                    // Only these three bytes count inside a string.
                    j = static_cast<int32_t>(first_of<'\\', '(', ')'>(t_ + j, t_ + stop) - t_);
                    if (j >= stop) break;
                    const unsigned char u = t_[j];
                    if (u == '\\') {
                        // The escaped byte does not count. (Past the end of
                        // the file the walk only needs to know it is there.)
                        j = j < stop - 1 ? j + 2 : stop + (stop < len_ ? 1 : 0);
                    } else if (u == '(') {
                        ++sd;
                        ++j;
                    } else if (--sd == 0) {
                        closed = true;
                        break;
                    } else {
                        ++j;
                    }
                }
                if (!closed) {
                    if (j < len_) break;  // the budget ended first
                    return spend(len_, -1);  // the string ran to the end
                }
                i = j + 1;
            } else {
                ++i;
            }
            // On to the next byte that can change the walk: "<<", ">>" and
            // the "(" of a string start with one of these.
            i = static_cast<int32_t>(first_of<'<', '>', '('>(t_ + i, t_ + stop) - t_);
        }
        if (i >= len_) return spend(i, -1);
        budget_ = 0;
        return kGaveUp;
    }

    const unsigned char *t_;
    int32_t len_;
    std::vector<int32_t> starts_;
    int64_t budget_;  // steps left for plain walks
    pos_map<int32_t> after_close_;  // ">>" -> the "stream" after it, or -1
    std::vector<int32_t> landed_;
    pos_map<int32_t> first_tok_;  // start -> first "<<"/">>" or -1
    pos_map<int32_t> match_;      // "<<" -> its ">>" or -1
    pos_map<int32_t> close_;      // place -> first unmatched ">>" or -1
    pos_map<int32_t> lit_;        // "(" -> after its ")" or -1
};

}  // namespace

void dict_stream_kws(const unsigned char *t, int32_t len, std::vector<int32_t> starts,
                     const std::vector<int32_t> &asks, std::vector<int32_t> &out, int64_t budget) {
    dict_walker w(t, len, std::move(starts), budget);
    out.resize(asks.size());
    for (size_t k = 0; k < asks.size(); ++k) out[k] = w.stream_kw(asks[k]);
}

void dict_stream_kw_many(const unsigned char *t, int32_t len, const int32_t *pos, int32_t n,
                         int32_t *out, int64_t budget) {
    std::vector<int32_t> starts(pos, pos + n);
    std::vector<int32_t> order(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return pos[a] > pos[b]; });
    std::vector<int32_t> asks, answers;
    asks.reserve(order.size());
    for (int32_t i : order) asks.push_back(pos[i]);
    dict_stream_kws(t, len, std::move(starts), asks, answers, budget);
    for (size_t k = 0; k < order.size(); ++k) out[order[k]] = answers[k];
}

}  // namespace sheetlay
