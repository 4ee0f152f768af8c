// Parsing the input's objects into values on demand (see resolve.h).
#include "pdf/resolve.h"

#include "pdf/decrypt.h"
#include "pdf/lexer.h"

namespace sheetlay {

doc_resolver::doc_resolver(const doc *d)
    : d_(d), budget_(4 * static_cast<int64_t>(d ? d->len : 0) + (int64_t{16} << 20)) {}

bool doc_resolver::is_stream(int32_t num) {
    const obj_entry *e = d_ && num > 0 ? objvec_find(&d_->objs, num) : nullptr;
    return e && e->is_stream;
}

const pdf::value *doc_resolver::get(int32_t num) {
    if (!d_ || num <= 0) return nullptr;
    if (base_ && !charged_) {
        auto held = base_->cache_.find(num);
        if (held != base_->cache_.end()) return held->second.get();
    }
    auto it = cache_.find(num);
    if (it != cache_.end()) return it->second.get();
    if (charged_) {
        auto lent = borrowed_.find(num);
        if (lent != borrowed_.end()) return lent->second;
    }
    std::unique_ptr<pdf::value> v;
    const obj_entry *e = objvec_find(&d_->objs, num);
    const unsigned char *t = nullptr;
    int32_t tlen = 0, start = 0, end = 0;
    bool found = false;
    if (e && e->is_stream) {
        found = dict_range(d_->data, d_->len, e, &t, &tlen, &start, &end) != 0;
    } else if (e) {
        found = obj_body(d_->data, d_->len, e, &t, &end) != 0;
        start = 0;
        tlen = end;
    }
    if (found && end > start && end - start > budget_) spent_ = true;
    if (charged_ && base_) {
        auto held = base_->cache_.find(num);
        if (held != base_->cache_.end()) {
            // Counted as the parse below would count it; what it held when
            // the budget allows, else missing, as the parse would give.
            if (!found || end <= start || end - start <= budget_) {
                if (found && end > start) budget_ -= end - start;
                borrowed_.emplace(num, held->second.get());
                return held->second.get();
            }
            cache_.emplace(num, nullptr);
            return nullptr;
        }
    }
    if (found && end > start && end - start <= budget_) {
        budget_ -= end - start;
        auto parsed = std::make_unique<pdf::value>();
        if (pdf::parse_value(t, end, skip_ws(t, start, end), parsed.get())) {
            // Strings of an encrypted input are decrypted here, once, with
            // the key of the object that holds them.
            decrypt_value_strings(d_, e, parsed.get());
            v = std::move(parsed);
        }
    }
    const pdf::value *out = v.get();
    cache_.emplace(num, std::move(v));
    return out;
}

void doc_resolver::adopt(doc_resolver &other) {
    for (auto &[num, v] : other.cache_)
        if (cache_.find(num) == cache_.end()) cache_.emplace(num, std::move(v));
}

}  // namespace sheetlay
