// A content stream's resource names, resolved for the content interpreter:
// the entry a name stands for in one category of a resource dictionary,
// the font a font name makes, and the colour space a colour space name
// stands for (as far as telling white paint from ink).
//
// Its own unit because it is the interpreter's only dealing with the
// object graph: lookups through the resolver, font reading and the tables
// that keep their answers. The interpreter's operator loop and path code
// stay together in interp.cpp; they call in here only when a stream
// selects a font, a colour space, a graphics state, a shading or an
// XObject by name.
#ifndef SHEETLAY_CONTENT_RESOURCES_H
#define SHEETLAY_CONTENT_RESOURCES_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "content/bbox.h"
#include "content/bounds.h"
#include "content/fonts.h"

namespace sheetlay::content {

class resource_names {
public:
    explicit resource_names(source &src) : src_(src) {}

    // The entry `name` of category `cat` (a string literal: kept by its
    // address) of `res`, resolved; null when there is none. `num`, when
    // given, gets its object number when it was a reference, else 0.
    const pdf::value *entry(const pdf::value *res, const char *cat, const std::string &name, int32_t *num);
    // The font `name` selects in `res`; null when there is none.
    const font_info *font(const pdf::value *res, const std::string &name);
    // The space colour space `name` stands for in `res` (or by itself).
    space color_space(const pdf::value *res, const std::string &name);

private:
    struct slot {
        bool used = false;
        const pdf::value *res = nullptr;
        const char *cat = nullptr;
        std::string name;
        const pdf::value *v = nullptr;
        int32_t num = 0;
        const font_info *font = nullptr;  // for a font, what font() made of it once asked
    };
    const pdf::value *kept_entry(const pdf::value *res, const char *cat, const std::string &name, int32_t *num,
                                 slot **kept);
    const pdf::value *lookup(const pdf::value *res, const char *cat, const std::string &name, int32_t *num);

    source &src_;
    std::map<int32_t, std::unique_ptr<font_info>> fonts_;
    std::map<const pdf::value *, std::unique_ptr<font_info>> direct_fonts_;
    std::array<slot, 64> memo_;
};

}  // namespace sheetlay::content

#endif
