// Resource names for the content interpreter (see resources.h): the
// entries they stand for, kept in a small table since pages select the
// same few fonts and states again and again; the fonts they make; and the
// colour spaces, reduced to what white paint means in them.
#include "content/resources.h"

#include <cstdint>

namespace sheetlay::content {

using pdf::value;

const value *resource_names::entry(const value *res, const char *cat, const std::string &name, int32_t *num) {
    return kept_entry(res, cat, name, num, nullptr);
}

const value *resource_names::kept_entry(const value *res, const char *cat, const std::string &name, int32_t *num,
                                        slot **kept) {
    // The answers are kept in a small table by resource dictionary,
    // category and name (the resolver keeps the values they point to).
    // Resource names are a few bytes: a short multiplicative hash of them
    // picks the slot (which slot only decides what stays kept).
    size_t h = name.size();
    for (const char c : name) h = h * 33 ^ static_cast<unsigned char>(c);
    h ^= (reinterpret_cast<uintptr_t>(res) >> 4) * 31 ^ reinterpret_cast<uintptr_t>(cat);
    slot &s = memo_[h % memo_.size()];
    if (kept) *kept = &s;
    if (s.used && s.res == res && s.cat == cat && s.name == name) {
        if (num) *num = s.num;
        return s.v;
    }
    int32_t found = 0;
    const value *v = lookup(res, cat, name, &found);
    s.used = true;
    s.res = res;
    s.cat = cat;
    s.name = name;
    s.v = v;
    s.num = found;
    s.font = nullptr;
    if (num) *num = found;
    return v;
}

const value *resource_names::lookup(const value *res, const char *cat, const std::string &name, int32_t *num) {
    pdf::resolver *r = src_.objects();
    const value *group = pdf::get_resolved(res, cat, r);
    if (!group || !group->is_dict()) return nullptr;
    const value *raw = group->get(name);
    if (num) *num = raw && raw->is_ref() && raw->i > 0 && raw->i <= INT32_MAX ? static_cast<int32_t>(raw->i) : 0;
    return pdf::resolve(raw, r);
}

const font_info *resource_names::font(const value *res, const std::string &name) {
    int32_t num = 0;
    slot *kept = nullptr;
    const value *f = kept_entry(res, "Font", name, &num, &kept);
    if (!f) return nullptr;
    // The font this name made before, while its slot holds it (the fonts
    // below live as long as this reader).
    if (kept->font) return kept->font;
    if (num > 0) {
        auto &slot = src_.fonts ? src_.fonts->by_num[num] : fonts_[num];
        if (!slot) slot = new_font(src_.fonts ? src_.fonts->shared : nullptr, num, f, src_.objects(), &src_);
        return kept->font = slot.get();
    }
    auto &slot = direct_fonts_[f];
    if (!slot) slot = std::make_unique<font_info>(read_font(f, src_.objects(), &src_));
    return kept->font = slot.get();
}

space resource_names::color_space(const value *res, const std::string &name) {
    if (name == "DeviceGray" || name == "G" || name == "CalGray") return space::gray;
    if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") return space::rgb;
    if (name == "DeviceCMYK" || name == "CMYK") return space::cmyk;
    if (name == "Pattern") return space::other;
    const value *cs = entry(res, "ColorSpace", name, nullptr);
    pdf::resolver *r = src_.objects();
    if (cs && cs->is_name()) {
        const std::string &n = cs->s;
        if (n == "DeviceGray" || n == "CalGray") return space::gray;
        if (n == "DeviceRGB" || n == "CalRGB") return space::rgb;
        if (n == "DeviceCMYK") return space::cmyk;
        return space::other;
    }
    if (!cs || !cs->is_array() || cs->items.empty()) return space::other;
    const value *fam = pdf::resolve(&cs->items[0], r);
    if (!fam || !fam->is_name()) return space::other;
    if (fam->is_name("CalGray")) return space::gray;
    if (fam->is_name("CalRGB")) return space::rgb;
    if (fam->is_name("Separation") || fam->is_name("DeviceN")) return space::tint;
    if (fam->is_name("ICCBased") && cs->items.size() > 1) {
        const value *s = pdf::resolve(&cs->items[1], r);
        const value *n = pdf::get_resolved(s, "N", r);
        const double c = n && n->is_number() ? n->r : 0;
        return c == 1 ? space::gray : c == 3 ? space::rgb : c == 4 ? space::cmyk : space::other;
    }
    return space::other;
}

}  // namespace sheetlay::content
