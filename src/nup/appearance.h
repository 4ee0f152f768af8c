// Appearances for annotations that have none (or whose appearance must be
// rebuilt because the form asks for it), and the placement of any
// appearance form on its annotation rectangle.
//
// A sheet shows an annotation by drawing its normal appearance, a form
// XObject, onto the annotation's /Rect. Files written by form fillers and
// simple annotators often leave that form out (or set /NeedAppearances), and
// viewers then build one from the field value, the default appearance string
// and the annotation's geometry; this unit builds the same thing, so the
// sheet shows what a viewer would. It only reads values through a resolver
// and writes content bytes and a resource value: carrying fonts and
// renumbering references is left to the writer.
//
// Coordinates: widget and FreeText/Text appearances use /BBox [0 0 w h] of
// the /Rect (plus a /Matrix for a widget's /MK /R rotation); the other
// markup kinds (Highlight ... PolyLine) draw in the page's own coordinates
// with /BBox = the place they go to (`rect`), so their placement matrix is
// the identity.
#ifndef SHEETLAY_NUP_APPEARANCE_H
#define SHEETLAY_NUP_APPEARANCE_H

#include <string>

#include "pdf/object.h"

namespace sheetlay::nup {

// Annotation flags.
constexpr int64_t kAnnotHidden = 2;
constexpr int64_t kAnnotPrint = 4;

// True when a printed sheet shows the annotation: Print set, Hidden clear,
// and not a Link or Popup.
bool annot_printable(const pdf::value &annot, pdf::resolver *res);

// The normal appearance the annotation names: /AP /N when it is a stream
// (a reference), or the entry of /AP /N that /AS picks when /N is a
// dictionary of states. nullptr when there is none. The result is the value
// as written in the dictionary (normally a reference, for the writer to
// carry).
const pdf::value *normal_appearance(const pdf::value &annot, pdf::resolver *res);

// True when the annotation should be drawn from a built appearance: it is
// a kind build_appearance handles and it has no normal appearance, or it is
// a form field and /NeedAppearances is true in `acroform`.
bool needs_built_appearance(const pdf::value &annot, const pdf::value *acroform, pdf::resolver *res);

struct appearance {
    std::string content;      // the form's content stream
    double bbox[4] = {0, 0, 0, 0};
    // Where the form is placed on the page (by placement_matrix): the
    // annotation's /Rect, or more when the drawing must reach beyond it
    // (a note's icon keeps its size however small the rectangle; markup
    // drawn from points covers every point, as viewers draw it).
    double rect[4] = {0, 0, 0, 0};
    bool has_matrix = false;
    double matrix[6] = {1, 0, 0, 1, 0, 0};
    // The form's /Resources: /Font entries refer to the input's font
    // objects as written (references to renumber), or are standard-14 font
    // dictionaries written inline; /ExtGState entries are inline.
    pdf::value resources;
};

// Builds the appearance of `annot` (a widget of a text, button or choice
// field, or a markup annotation: Highlight, Underline, StrikeOut, Squiggly,
// Ink, Square, Circle, Line, Polygon, PolyLine, FreeText, Text). `acroform`
// is the catalog's /AcroForm dictionary (its /DA and /DR are the defaults),
// or nullptr. Field attributes (/FT /V /DA /Q /Ff /MaxLen /Opt /DR) are
// inherited through /Parent (at most 32 levels). Returns false, with *out
// left empty, for kinds it does not build and for unusable dictionaries
// (no /Rect, empty rectangle); an unchecked check box gives true with an
// empty or background-only content.
bool build_appearance(const pdf::value &annot, const pdf::value *acroform, pdf::resolver *res,
                      appearance *out);

// The viewers' placement rule: transform `bbox` by `matrix` (nullptr for
// the identity), take the bounding box of the result and map it onto
// `rect` (either corner order) by scaling and translating. The annotation
// is then drawn as "q a b c d e f cm /Name Do Q" with these six numbers in
// out. False for degenerate boxes (nothing to draw).
bool placement_matrix(const double bbox[4], const double *matrix, const double rect[4], double out[6]);

}  // namespace sheetlay::nup

#endif
