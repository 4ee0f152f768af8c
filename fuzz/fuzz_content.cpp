// The content interpreter on any bytes: the input is a page's content, and
// also the data of the forms and Type 3 glyphs its resources name (so that
// nested and recursive drawing is reached). Nothing may crash, read out of
// bounds or run past the work bound.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "content/bbox.h"
#include "pdf/object.h"

namespace {

struct fuzz_source : sheetlay::content::source {
    std::map<int32_t, sheetlay::pdf::value> objs;
    std::string data;
    struct res_t : sheetlay::pdf::resolver {
        fuzz_source *s;
        const sheetlay::pdf::value *get(int32_t num) override {
            auto it = s->objs.find(num);
            return it == s->objs.end() ? nullptr : &it->second;
        }
    } res;
    sheetlay::pdf::resolver *objects() override { return &res; }
    bool stream_data(int32_t num, std::string *out) override {
        if (num != 10 && num != 11 && num != 20) return false;
        // Each stream sees the input from its own offset.
        const size_t from = num == 10 ? 0 : num == 11 ? data.size() / 3 : data.size() / 2;
        out->assign(data, from, std::string::npos);
        return true;
    }
};

const char *kObjects[][2] = {
    {"10", "<< /Subtype /Form /BBox [0 0 100 100] /Matrix [1 0 0 1 5 5] /Length 1 >>"},
    {"11", "<< /Subtype /Form /BBox [0 0 50 50] /Length 1 /Resources << /XObject << /Fm1 10 0 R >> >> >>"},
    {"20", "<< /Length 1 >>"},
};

const char *kResources =
    "<< /Font << /F1 << /Subtype /TrueType /FirstChar 32 /Widths [250 500 600] >>"
    " /F2 << /Subtype /Type1 /BaseFont /Times-Roman >>"
    " /F3 << /Subtype /Type0 /Encoding /Identity-V /DescendantFonts [<< /W [1 [250] 5 9 700] >>] >>"
    " /F4 << /Subtype /Type3 /FontMatrix [0.001 0 0 0.001 0 0] /CharProcs << /a 20 0 R /b 20 0 R >>"
    "   /Encoding << /Differences [97 /a /b] >> /FirstChar 97 /Widths [1000 500] >> >>"
    " /XObject << /Fm1 10 0 R /Fm2 11 0 R >> /Shading << /Sh << /BBox [0 0 1 1] >> >>"
    " /ColorSpace << /CS0 [/Separation /A /DeviceGray 1 0 R] >> >>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static fuzz_source *src = [] {
        auto *s = new fuzz_source;
        s->res.s = s;
        for (auto &o : kObjects) sheetlay::pdf::parse_value(o[1], &s->objs[std::stoi(o[0])]);
        return s;
    }();
    static sheetlay::pdf::value res = [] {
        sheetlay::pdf::value v;
        sheetlay::pdf::parse_value(kResources, &v);
        return v;
    }();
    src->data.assign(reinterpret_cast<const char *>(data), size);
    sheetlay::content::limits lim;
    lim.work = 2'000'000;
    sheetlay::content::content_box(data, size, &res, *src, sheetlay::content::box{0, 0, 612, 792}, lim);
    return 0;
}
