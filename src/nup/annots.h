// Annotations drawn on the sheets: every annotation a printed page shows is
// drawn where its page puts it, after the page's placement line.
//
// A placed page is a form drawn once by the sheet; its annotations are not
// part of its content, so a sheet that only drew the form would lose the
// notes, highlights and filled-in fields a printer shows. Each printable
// annotation becomes one more form drawn in the page's placement: the
// sheet's content repeats the page's scale and translation, turns by the
// page's rotation as the page form's /Matrix does, clips to the page box
// (a viewer shows nothing of an annotation outside its page) and then draws
// the appearance on the annotation's /Rect by the viewers' rule.
//
// An appearance written in the input is carried as it is (its resources
// follow by the closure of carried objects); one that is missing, or that
// the form asks to rebuild (/NeedAppearances), is built (nup/appearance) and
// written as a new form. Annotations are read once per page object, however
// often the page is placed; anything unreadable is left out.
#ifndef SHEETLAY_NUP_ANNOTS_H
#define SHEETLAY_NUP_ANNOTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "nup/appearance.h"
#include "nup/forms.h"
#include "pdf/object.h"

namespace sheetlay::nup {

// One annotation as a sheet draws it.
struct annot_mark {
    int32_t stream = 0;  // input object number of its normal appearance; 0 when built
    appearance built;    // the built appearance, when stream is 0
    double m[6] = {1, 0, 0, 1, 0, 0};  // the form's space onto the page's user space
    double rect[4] = {0, 0, 0, 0};     // its /Rect, as written
    // NoRotate (bit 5 of /F): on a page shown turned, viewers draw the
    // appearance upright, turned about the upper-left corner of /Rect.
    // (NoZoom is not honoured when printing: poppler and MuPDF scale such
    // an appearance with the page, and so does the sheet.)
    bool no_rotate = false;
};

// m[6] for a NoRotate mark on a page shown turned by `rotation` degrees
// (clockwise, as /Rotate): the appearance turned back about the upper-left
// corner of rect, so that it stands upright as the page is shown.
void upright_matrix(const double m[6], const double rect[4], int32_t rotation, double out[6]);

// The marks of a page dictionary, in /Annots order: printable annotations
// with a usable appearance (written or built) and a rectangle with area.
// `acroform` is the catalog's /AcroForm or nullptr. Never throws but for
// allocation failure: a damaged annotation is skipped.
std::vector<annot_mark> page_marks(const pdf::value *page, const pdf::value *acroform,
                                   pdf::resolver *res);
// The same from the page's /Annots value (null: none).
std::vector<annot_mark> annots_marks(const pdf::value *annots, const pdf::value *acroform,
                                     pdf::resolver *res);

// The content that opens the drawing of a slot's annotations: "q", the
// placement (as the slot's placement line), the page form's turn as a "cm"
// and the clip to the page box, each on its own line. Closed by "Q\n".
std::string slot_opening(const placed_page &pl);

}  // namespace sheetlay::nup

#endif
