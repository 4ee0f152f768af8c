// The value parser and the appearance builder on arbitrary bytes.
//
// The input is read as a sequence of values: the first is the annotation,
// the second the form's /AcroForm dictionary, and the rest are the objects
// 1, 2, 3, ... a resolver hands out, so references can point anywhere,
// including into loops. Besides "no crash, no read out of bounds, no
// undefined behaviour", the target checks what callers rely on:
//   - writing a parsed value and parsing the text again gives the same text;
//   - building twice gives the same bytes;
//   - a built appearance has a finite box, and placing it either fails or
//     gives finite numbers.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nup/appearance.h"
#include "pdf/object.h"

namespace {

using sheetlay::pdf::value;

[[noreturn]] void fault(const char *what) {
    std::fprintf(stderr, "fuzz_object: %s\n", what);
    std::abort();
}

struct list_resolver : sheetlay::pdf::resolver {
    std::vector<value> objs;  // object n is objs[n - 1]
    const value *get(int32_t num) override {
        if (num < 1 || static_cast<size_t>(num) > objs.size()) return nullptr;
        return &objs[static_cast<size_t>(num) - 1];
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    const auto *t = reinterpret_cast<const unsigned char *>(data);
    const int32_t len = static_cast<int32_t>(size);
    std::vector<value> vals;
    int32_t pos = 0;
    while (pos < len && vals.size() < 64) {
        value v;
        int32_t end = pos;
        if (!sheetlay::pdf::parse_value(t, len, pos, &v, &end)) break;
        if (end <= pos || end > len) fault("parse ended outside the range or did not advance");
        pos = end;
        // Round trip: the written text parses back to a value written the same way.
        std::string text = sheetlay::pdf::to_text(v);
        value back;
        if (!sheetlay::pdf::parse_value(text, &back)) fault("written value does not parse");
        if (sheetlay::pdf::to_text(back) != text) fault("written value changes on a second round");
        vals.push_back(std::move(v));
    }
    if (vals.empty()) return 0;

    list_resolver res;
    for (size_t k = 2; k < vals.size(); ++k) res.objs.push_back(vals[k]);
    const value *acroform = vals.size() > 1 ? &vals[1] : nullptr;
    sheetlay::nup::appearance a, b;
    bool ok = sheetlay::nup::build_appearance(vals[0], acroform, &res, &a);
    bool ok2 = sheetlay::nup::build_appearance(vals[0], acroform, &res, &b);
    if (ok != ok2 || a.content != b.content ||
        sheetlay::pdf::to_text(a.resources) != sheetlay::pdf::to_text(b.resources))
        fault("two builds differ");
    (void)sheetlay::nup::annot_printable(vals[0], &res);
    (void)sheetlay::nup::normal_appearance(vals[0], &res);
    (void)sheetlay::nup::needs_built_appearance(vals[0], acroform, &res);
    if (ok) {
        for (double d : a.bbox)
            if (!std::isfinite(d)) fault("box not finite");
        const double rect[4] = {0, 0, 612, 792};
        double m[6];
        if (sheetlay::nup::placement_matrix(a.bbox, a.has_matrix ? a.matrix : nullptr, rect, m)) {
            for (double d : m)
                if (!std::isfinite(d)) fault("placement not finite");
        }
        for (double d : a.matrix)
            if (!std::isfinite(d)) fault("matrix not finite");
    }
    return 0;
}
