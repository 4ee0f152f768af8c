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

void doc_resolver::size_slots() {
    if (!slot_.empty() || !d_) return;
    int32_t top = d_->max_num;
    for (int32_t i = 0; i < d_->objs.count; ++i) top = std::max(top, d_->objs.items[i].num);
    slot_.assign(static_cast<size_t>(std::max(top, 0)) + 1, kUnread);
}

const pdf::value *doc_resolver::get(int32_t num) {
    if (!d_ || num <= 0) return nullptr;
    if (base_ && !charged_) {
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
    size_slots();
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
    const bool allowed = found && end > start && end - start <= budget_;
    if (charged_ && base_) {
        const int32_t held = base_->slot_of(num);
        if (held != kUnread) {
            // Counted as the parse below would count it; what the base holds
            // (a value, or unreadable) when the budget allows, else missing,
            // as the parse would give.
            if (!found || end <= start || allowed) {
                if (allowed) budget_ -= end - start;
                if (held >= 0) {
                    vals_.push_back(base_->at(held));
                    slot = static_cast<int32_t>(vals_.size() - 1);
                    return vals_.back();
                }
            }
            return nullptr;
        }
    }
    if (allowed) {
        budget_ -= end - start;
        if (stored_ % kBlock == 0) blocks_.push_back(std::make_unique<pdf::value[]>(kBlock));
        pdf::value *v = &blocks_.back()[stored_ % kBlock];
        if (pdf::parse_value(t, end, skip_ws(t, start, end), v)) {
            // Strings of an encrypted input are decrypted here, once, with
            // the key of the object that holds them.
            decrypt_value_strings(d_, e, v);
            ++stored_;
            vals_.push_back(v);
            slot = static_cast<int32_t>(vals_.size() - 1);
            return v;
        }
        *v = pdf::value{};  // the place is used by the next object
    }
    return nullptr;
}

void doc_resolver::adopt(doc_resolver &other) {
    if (other.slot_.empty()) return;
    size_slots();
    const size_t n = std::min(slot_.size(), other.slot_.size());
    for (size_t num = 0; num < n; ++num) {
        const int32_t theirs = other.slot_[num];
        if (theirs == kUnread || slot_[num] != kUnread) continue;
        if (theirs == kUnreadable) {
            slot_[num] = kUnreadable;
        } else {
            vals_.push_back(other.at(theirs));
            slot_[num] = static_cast<int32_t>(vals_.size() - 1);
        }
    }
    // The values keep their places: their blocks are now held here.
    for (auto &b : other.blocks_) kept_.push_back(std::move(b));
    for (auto &b : other.kept_) kept_.push_back(std::move(b));
    other.blocks_.clear();
    other.kept_.clear();
    other.slot_.clear();
    other.vals_.clear();
    other.stored_ = 0;
}

}  // namespace sheetlay
