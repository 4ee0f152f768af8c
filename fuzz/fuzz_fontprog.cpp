// The embedded font program reader on any bytes: the input is read as a
// compact font program, and every glyph it holds (up to a bound) is
// followed to its box, with the code, name and CID lookups besides.
// Nothing may crash, read out of bounds or run past the work bound.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "content/fontprog.h"

namespace {

void check(sheetlay::content::font_program *p) {
    if (!p) return;
    for (uint32_t c = 0; c < 256; ++c) (void)p->glyph(p->builtin_glyph(c));
    for (const char *name : {"A", "space", ".notdef", "pi", "acute"}) (void)p->glyph(p->glyph_by_name(name));
    for (uint32_t cid = 0; cid < 64; ++cid) (void)p->glyph(p->glyph_by_cid(cid));
    for (int32_t g = 0; g < p->glyph_count() && g < 512; ++g) {
        const auto &e = p->glyph(g);
        if (e.status == sheetlay::content::glyph_status::drawn &&
            !(std::isfinite(e.x0) && std::isfinite(e.y0) && std::isfinite(e.x1) && std::isfinite(e.y1) &&
              e.x0 <= e.x1 && e.y0 <= e.y1))
            std::abort();  // a drawn glyph has a finite, ordered box
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    check(sheetlay::content::read_cff(bytes).get());
    return 0;
}
