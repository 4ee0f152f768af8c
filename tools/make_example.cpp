// make_example: writes the bundled example PDF, a small document whose pages
// differ the ways real documents do, so an n-up of it shows at a glance how
// each page was placed.
//
//   make_example [OUTPUT.pdf]      (default: example.pdf)
//
// Six pages: A4 and A5 portrait, Letter landscape, a square page, a page whose
// media box does not start at the origin and carries a smaller crop box, and
// pages turned by /Rotate 90, 180 (inherited from an intermediate page-tree
// node) and 270. Every page shows its number and description in Helvetica
// (one of the standard Type1 fonts, so no font data is embedded), an arrow
// pointing to the page's top as the viewer shows it, and two small images:
// raw RGB samples, and an ASCIIHex-encoded grey checkerboard.
//
// Plain C++ without dependencies: objects are written uncompressed and indexed
// by one classic cross-reference table.
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Page {
    double x0, y0, x1, y1;       // media box
    const double *crop;          // crop box (x0 y0 x1 y1) or nullptr
    int rotate;                  // own /Rotate, -1 for none
    int inherited_rotate;        // /Rotate of the page-tree node above, -1 for none
    const char *what;
};

// A PDF literal string: backslash, parentheses escaped.
std::string pdf_string(const std::string &s) {
    std::string out = "(";
    for (char c : s) {
        if (c == '(' || c == ')' || c == '\\') out += '\\';
        out += c;
    }
    return out + ")";
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    std::string s = b;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

// The drawing of one page. The visible area is the crop box (else the media
// box); the text and arrow are laid out in the page's unrotated coordinates,
// then turned with a matrix so that they read upright once the viewer applies
// /Rotate.
std::string page_content(const Page &p, int index, int count) {
    double x0 = p.x0, y0 = p.y0, x1 = p.x1, y1 = p.y1;
    if (p.crop) {
        x0 = p.crop[0];
        y0 = p.crop[1];
        x1 = p.crop[2];
        y1 = p.crop[3];
    }
    int rot = p.rotate >= 0 ? p.rotate : (p.inherited_rotate >= 0 ? p.inherited_rotate : 0);
    double w = x1 - x0, h = y1 - y0;
    // Width and height as the reader sees the page.
    double vw = (rot == 90 || rot == 270) ? h : w;
    double vh = (rot == 90 || rot == 270) ? w : h;

    std::string c;
    // A pale background over the media box, and a frame just inside the visible area.
    c += "q 0.93 0.95 1 rg " + num(p.x0) + " " + num(p.y0) + " " + num(p.x1 - p.x0) + " " +
         num(p.y1 - p.y0) + " re f Q\n";
    c += "q 0.2 0.3 0.6 RG 4 w " + num(x0 + 10) + " " + num(y0 + 10) + " " + num(w - 20) + " " +
         num(h - 20) + " re S Q\n";
    if (p.crop) {
        // Outside the crop box: must not be visible in a viewer or an n-up.
        c += "q 1 0 0 rg " + num(p.x0) + " " + num(p.y0) + " 25 25 re f Q\n";
    }

    // Viewer-upright coordinates (u, v) in [0, vw] x [0, vh] map to the page.
    std::string m;
    switch (rot) {
    case 90: m = "0 1 -1 0 " + num(x1) + " " + num(y0); break;
    case 180: m = "-1 0 0 -1 " + num(x1) + " " + num(y1); break;
    case 270: m = "0 -1 1 0 " + num(x0) + " " + num(y1); break;
    default: m = "1 0 0 1 " + num(x0) + " " + num(y0); break;
    }
    c += "q " + m + " cm\n";

    // Arrow to the top edge.
    double ax = vw / 2;
    c += "q 0.85 0.35 0.1 rg " + num(ax - 30) + " " + num(vh - 105) + " m " + num(ax + 30) + " " +
         num(vh - 105) + " l " + num(ax) + " " + num(vh - 45) + " l f\n";
    c += num(ax - 10) + " " + num(vh - 165) + " 20 60 re f Q\n";

    // Page number, large; description lines below.
    double big = vw < 450 ? 56 : 72;
    c += "BT /F1 " + num(big) + " Tf 0.1 0.1 0.3 rg 40 " + num(vh / 2) + " Td " +
         pdf_string("Page " + std::to_string(index + 1)) + " Tj ET\n";
    c += "BT /F2 13 Tf 0 0 0 rg 40 " + num(vh / 2 - 30) + " Td 16 TL " +
         pdf_string(std::string(p.what)) + " Tj T* " +
         pdf_string("media box [" + num(p.x0) + " " + num(p.y0) + " " + num(p.x1) + " " +
                    num(p.y1) + "]") +
         " Tj T* " +
         pdf_string(rot ? "shown turned by /Rotate " + std::to_string(rot) : "not rotated") +
         " Tj T* " + pdf_string(std::to_string(index + 1) + " of " + std::to_string(count)) +
         " Tj ET\n";

    // The images: 96 x 96 and 48 x 48 points near the bottom left.
    c += "q 96 0 0 96 40 40 cm /Im1 Do Q\n";
    c += "q 48 0 0 48 150 40 cm /Im2 Do Q\n";
    c += "Q\n";
    return c;
}

// 16 x 16 RGB samples: a colour gradient with a dark diagonal.
std::string rgb_samples() {
    std::string s;
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 16; x++) {
            bool diag = x == y || x == 15 - y;
            s += static_cast<char>(diag ? 20 : 40 + x * 13);
            s += static_cast<char>(diag ? 20 : 40 + y * 13);
            s += static_cast<char>(diag ? 20 : 200);
        }
    }
    return s;
}

// 8 x 8 grey checkerboard as ASCIIHex text ending with the '>' marker.
std::string checker_hex() {
    std::string s;
    static const char hex[] = "0123456789ABCDEF";
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++) {
            int v = ((x + y) % 2) ? 0xF0 : 0x30;
            s += hex[v >> 4];
            s += hex[v & 15];
        }
        s += '\n';
    }
    return s + ">";
}

class Writer {
public:
    explicit Writer(int count) : offsets_(static_cast<size_t>(count) + 1, 0) {
        out_ = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    }
    void object(int n, const std::string &body) {
        offsets_[static_cast<size_t>(n)] = out_.size();
        out_ += std::to_string(n) + " 0 obj\n" + body + "\nendobj\n";
    }
    void stream(int n, const std::string &dict_extra, const std::string &data) {
        object(n, "<< /Length " + std::to_string(data.size()) + dict_extra + " >>\nstream\n" + data +
                      "\nendstream");
    }
    std::string finish(int root, int info) {
        size_t xref = out_.size();
        out_ += "xref\n0 " + std::to_string(offsets_.size()) + "\n0000000000 65535 f \n";
        char line[32];
        for (size_t i = 1; i < offsets_.size(); i++) {
            std::snprintf(line, sizeof line, "%010zu 00000 n \n", offsets_[i]);
            out_ += line;
        }
        out_ += "trailer\n<< /Size " + std::to_string(offsets_.size()) + " /Root " +
                std::to_string(root) + " 0 R /Info " + std::to_string(info) + " 0 R >>\nstartxref\n" +
                std::to_string(xref) + "\n%%EOF\n";
        return out_;
    }

private:
    std::string out_;
    std::vector<size_t> offsets_;
};

}  // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "example.pdf";
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: make_example [OUTPUT.pdf]\n");
        return 2;
    }

    static const double crop4[] = {130, 140, 665, 900};
    const std::vector<Page> pages = {
        {0, 0, 595.28, 841.89, nullptr, -1, -1, "A4 portrait"},
        {0, 0, 792, 612, nullptr, -1, -1, "US Letter landscape"},
        {0, 0, 419.53, 595.28, nullptr, 90, -1, "A5 portrait, /Rotate 90"},
        {100, 100, 695.28, 941.89, crop4, -1, -1, "A4 moved off the origin, with a crop box"},
        {0, 0, 595.28, 841.89, nullptr, -1, 180, "A4, /Rotate 180 from its parent node"},
        {0, 0, 500, 500, nullptr, 270, -1, "square, /Rotate 270"},
    };
    const int count = static_cast<int>(pages.size());

    // Object numbers: 1 catalog, 2 page-tree root, 3 the intermediate node
    // holding pages 5 and 6, 4 and 5 fonts, 6 and 7 images, 8 info, then per
    // page its page object and its content stream.
    const int first_page_obj = 9;
    Writer w(first_page_obj + 2 * count - 1);

    std::string root_kids, node_kids;
    for (int i = 0; i < count; i++) {
        std::string ref = std::to_string(first_page_obj + 2 * i) + " 0 R ";
        (pages[static_cast<size_t>(i)].inherited_rotate >= 0 || i == count - 1 ? node_kids
                                                                             : root_kids) += ref;
    }
    const int node_count = 2;  // pages 5 and 6 hang under object 3
    w.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    w.object(2, "<< /Type /Pages /Kids [" + root_kids + "3 0 R] /Count " + std::to_string(count) +
                    " >>");
    w.object(3, "<< /Type /Pages /Parent 2 0 R /Kids [" + node_kids + "] /Count " +
                    std::to_string(node_count) + " /Rotate 180 >>");
    w.object(4, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>");
    w.object(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    w.stream(6, " /Type /XObject /Subtype /Image /Width 16 /Height 16 /ColorSpace /DeviceRGB "
                "/BitsPerComponent 8",
             rgb_samples());
    w.stream(7, " /Type /XObject /Subtype /Image /Width 8 /Height 8 /ColorSpace /DeviceGray "
                "/BitsPerComponent 8 /Filter /ASCIIHexDecode",
             checker_hex());
    w.object(8, "<< /Title (sheetlay example) /Producer (sheetlay make_example) >>");

    const std::string resources =
        "/Resources << /Font << /F1 4 0 R /F2 5 0 R >> /XObject << /Im1 6 0 R /Im2 7 0 R >> "
        "/ProcSet [/PDF /Text /ImageC /ImageB] >>";
    for (int i = 0; i < count; i++) {
        const Page &p = pages[static_cast<size_t>(i)];
        const int obj = first_page_obj + 2 * i;
        const bool under_node = p.inherited_rotate >= 0 || i == count - 1;
        std::string dict = "<< /Type /Page /Parent " + std::string(under_node ? "3" : "2") +
                           " 0 R /MediaBox [" + num(p.x0) + " " + num(p.y0) + " " + num(p.x1) +
                           " " + num(p.y1) + "]";
        if (p.crop)
            dict += " /CropBox [" + num(p.crop[0]) + " " + num(p.crop[1]) + " " + num(p.crop[2]) +
                    " " + num(p.crop[3]) + "]";
        if (p.rotate >= 0) dict += " /Rotate " + std::to_string(p.rotate);
        dict += " " + resources + " /Contents " + std::to_string(obj + 1) + " 0 R >>";
        w.object(obj, dict);
        w.stream(obj + 1, "", page_content(p, i, count));
    }

    const std::string pdf = w.finish(1, 8);
    std::FILE *f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_example: cannot create %s\n", path);
        return 1;
    }
    const bool ok = std::fwrite(pdf.data(), 1, pdf.size(), f) == pdf.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "make_example: cannot write %s\n", path);
        std::remove(path);
        return 1;
    }
    return 0;
}
