// The decoded Flate streams of a PDF file, found by scanning for
// "stream" ... "endstream" and decoded with zlib: the encoder's tests and
// benchmark use real content streams without going through the reader.
// Header-only; needs zlib.
#ifndef SHEETLAY_TESTS_FLATE_STREAMS_H
#define SHEETLAY_TESTS_FLATE_STREAMS_H

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace flate_streams {

// zlib's decoding of a whole stream, or nullopt-like false when it is not one.
inline bool inflate_all(const unsigned char *p, size_t n, std::string &out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef *>(p);
    z.avail_in = static_cast<uInt>(n);
    out.clear();
    int rc = Z_OK;
    char buf[1 << 15];
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
        if (out.size() > (size_t{64} << 20)) rc = Z_MEM_ERROR;
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

// Whether the dictionary text before a stream's data marks it as something
// other than page or form content: images, fonts, ICC profiles, metadata,
// object and cross-reference streams, functions, embedded files.
inline bool content_like(const std::string &dict) {
    std::string d;
    for (char c : dict)
        if (c != ' ' && c != '\r' && c != '\n' && c != '\t') d += c;
    static const char *const other[] = {"/Subtype/Image", "/Length1", "/Length2", "/Subtype/Type1C",
                                        "/Subtype/CIDFontType0C", "/Subtype/OpenType", "/Type/XRef",
                                        "/Type/ObjStm", "/Type/Metadata", "/FunctionType", "/Type/EmbeddedFile",
                                        "/Type/CMap", "/ShadingType"};
    for (const char *o : other)
        if (d.find(o) != std::string::npos) return false;
    for (size_t at = d.find("/N"); at != std::string::npos; at = d.find("/N", at + 2))
        if (at + 2 < d.size() && d[at + 2] >= '0' && d[at + 2] <= '9') return false;  // ICC profile
    return true;
}

// Every stream of the file at `path` that zlib decodes completely, decoded;
// with `content_only`, only those whose dictionary looks like content and
// whose text is not a character map.
inline std::vector<std::string> from_file(const std::string &path, bool content_only = false) {
    std::vector<std::string> res;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return res;
    std::string pdf;
    char buf[1 << 16];
    for (size_t k; (k = std::fread(buf, 1, sizeof buf, f)) > 0;) pdf.append(buf, k);
    std::fclose(f);
    size_t at = 0;
    while ((at = pdf.find("stream", at)) != std::string::npos) {
        size_t body = at + 6;
        at = body;
        if (body >= 9 && pdf.compare(body - 9, 3, "end") == 0) continue;
        if (body < pdf.size() && pdf[body] == '\r') ++body;
        if (body < pdf.size() && pdf[body] == '\n') ++body;
        size_t stop = pdf.find("endstream", body);
        if (stop == std::string::npos) break;
        if (content_only) {
            size_t obj = pdf.rfind(" obj", at);
            size_t from = obj == std::string::npos || at - obj > 4096 ? (at > 4096 ? at - 4096 : 0) : obj;
            if (!content_like(pdf.substr(from, at - from))) {
                at = stop + 9;
                continue;
            }
        }
        std::string out;
        // A /ToUnicode map has no /Type to tell it by; its text does.
        if (inflate_all(reinterpret_cast<const unsigned char *>(pdf.data()) + body, stop - body, out) &&
            !(content_only && out.find("begincmap") != std::string::npos))
            res.push_back(std::move(out));
        at = stop + 9;
    }
    return res;
}

}  // namespace flate_streams

#endif
