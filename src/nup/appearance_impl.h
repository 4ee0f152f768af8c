// Helpers shared by the two halves of the appearance builder (form widgets
// in appearance.cpp, markup annotations in markup.cpp). Not used elsewhere.
#ifndef SHEETLAY_NUP_APPEARANCE_IMPL_H
#define SHEETLAY_NUP_APPEARANCE_IMPL_H

#include <string>
#include <string_view>
#include <vector>

#include "nup/appearance.h"
#include "nup/fontmetrics.h"
#include "pdf/object.h"

namespace sheetlay::nup::detail {

// Appends the numbers, each followed by a space, then `op` and a newline.
void put(std::string *o, std::initializer_list<double> nums, std::string_view op);

// /Rect (or any 4-number array) normalised so that r[0] <= r[2], r[1] <= r[3].
bool read_rect(const pdf::value *v, pdf::resolver *res, double r[4]);

// Up to n numbers of an array into out; returns how many were numbers.
int read_numbers(const pdf::value *arr, pdf::resolver *res, double *out, int n);

// Colour operator for a colour array (0 items: none; 1 grey, 3 RGB, 4 CMYK).
// Appends e.g. "1 0 0 rg\n" (or "RG" when stroke) and returns true; false and
// nothing appended when the array is absent, empty or malformed.
bool put_color(std::string *o, const pdf::value *arr, pdf::resolver *res, bool stroke);

// Border width: /BS /W, else the third item of /Border, else 1.
double border_width(const pdf::value &annot, pdf::resolver *res);
// The dash operator for /BS /S /D ("[3] 0 d\n"), "" when not dashed.
std::string dash_op(const pdf::value &annot, pdf::resolver *res);

// What a default appearance string sets.
struct da_info {
    std::string font;          // font resource name, "" when no Tf
    double size = 0;           // 0: fit the box
    std::string color = "0 g"; // the fill colour operator with operands
};
da_info parse_da(std::string_view da);

// A font to write text with: the resource name and value to put in the
// form's /Font dictionary, and what text is measured and placed with.
struct text_font {
    std::string name;
    pdf::value res;        // as written in /DR (usually a reference), or an inline dictionary
    font_widths widths;
    double ascent = 0;     // 1/1000 em
    double descent = 0;    // 1/1000 em, negative
};
// The font the DA names, looked up in each /DR given (nullptr skipped) in
// order; a missing font, or one that is not a simple font, falls back to
// Helvetica written inline under the DA's name (or /Helv).
text_font pick_font(const da_info &da, const pdf::value *dr1, const pdf::value *dr2, pdf::resolver *res);
// A standard font written inline under `name`.
text_font standard_text_font(std_font f, std::string_view name);

// Breaks text (WinAnsi bytes; \r, \n and \r\n end paragraphs) into lines
// no wider than `width` points at `size`; words longer than a line are cut.
std::vector<std::string> wrap_text(std::string_view text, const text_font &f, double size, double width);

// Draws text in the box [0, w] x [0, h] inset by `pad`: one line centred
// vertically, or (multiline) wrapped lines from the top. size 0 fits the
// box. q: 0 left, 1 centre, 2 right. Appends "BT ... ET" to o.
void put_text_block(std::string *o, std::string_view text, const text_font &f, double size,
                    const std::string &color, int q, bool multiline, double w, double h, double pad);

// Adds /Font /<name> to the resources (kept when already there).
void add_font_resource(pdf::value *resources, const text_font &f);
// Adds /ExtGState /GS0 << /Type /ExtGState [/BM /Multiply] [/CA a /ca a] >>;
// returns "/GS0 gs\n" to put in the content.
std::string add_gstate(pdf::value *resources, double alpha, bool multiply);

// Field flags (/Ff bits) the builder reads.
constexpr int64_t kFlagMultiline = int64_t{1} << 12;
constexpr int64_t kFlagPassword = int64_t{1} << 13;
constexpr int64_t kFlagNoToggleToOff = int64_t{1} << 14;
constexpr int64_t kFlagRadio = int64_t{1} << 15;
constexpr int64_t kFlagPushButton = int64_t{1} << 16;
constexpr int64_t kFlagCombo = int64_t{1} << 17;
constexpr int64_t kFlagFileSelect = int64_t{1} << 20;
constexpr int64_t kFlagComb = int64_t{1} << 24;

// Deepest /Parent chain walked for inherited field attributes.
constexpr int kMaxFieldDepth = 32;
// A field attribute from the field or its nearest /Parent that has it.
const pdf::value *inherited(const pdf::value &field, std::string_view key, pdf::resolver *res);

// Form widgets (widgets.cpp): text, check box, radio, push button, choice.
bool build_widget(const pdf::value &annot, const pdf::value *acroform, pdf::resolver *res, appearance *out);

// Markup annotations (markup.cpp): false when `subtype` is not one of them.
bool is_markup_kind(std::string_view subtype);
bool build_markup(const pdf::value &annot, std::string_view subtype, const pdf::value *acroform,
                  pdf::resolver *res, appearance *out);

}  // namespace sheetlay::nup::detail

#endif
