// Parsing the input's objects into values on demand (see resolve.h).
#include "pdf/resolve.h"

#include <algorithm>

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
    if (base_) {
        const int32_t held = base_->slot_of(num);
        if (held == kUnreadable) return nullptr;
        if (held >= 0) return base_->at(held);
    }
    {
        const int32_t held = slot_of(num);
        if (held == kUnreadable) return nullptr;
        if (held >= 0) return at(held);
    }
    const obj_entry *e = objvec_find(&d_->objs, num);
    // A number without an object reads as missing, and needs no slot.
    if (!e) return nullptr;
    if (slot_.empty()) {
        int32_t top = d_->max_num;
        for (int32_t i = 0; i < d_->objs.count; ++i) top = std::max(top, d_->objs.items[i].num);
        slot_.assign(static_cast<size_t>(top) + 1, kUnread);
    }
    if (static_cast<size_t>(num) >= slot_.size()) return nullptr;  // not an object of d_->objs
    const unsigned char *t = nullptr;
    int32_t tlen = 0, start = 0, end = 0;
    bool found = false;
    if (e->is_stream) {
        found = dict_range(d_->data, d_->len, e, &t, &tlen, &start, &end) != 0;
    } else {
        found = obj_body(d_->data, d_->len, e, &t, &end) != 0;
        start = 0;
        tlen = end;
    }
    if (found && end > start && end - start > budget_) spent_ = true;
    int32_t &slot = slot_[static_cast<size_t>(num)];
    slot = kUnreadable;
    if (found && end > start && end - start <= budget_) {
        budget_ -= end - start;
        if (static_cast<size_t>(stored_) % kBlock == 0) blocks_.push_back(std::make_unique<pdf::value[]>(kBlock));
        pdf::value *v = &blocks_.back()[static_cast<size_t>(stored_) % kBlock];
        if (pdf::parse_value(t, end, skip_ws(t, start, end), v)) {
            // Strings of an encrypted input are decrypted here, once, with
            // the key of the object that holds them.
            decrypt_value_strings(d_, e, v);
            slot = stored_++;
            return v;
        }
        *v = pdf::value{};  // the place is used by the next object
    }
    return nullptr;
}

}  // namespace sheetlay
