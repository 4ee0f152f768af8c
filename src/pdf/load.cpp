// Loading (see pdf/load.h): the file image, the trailers, and the order of
// the stages that index the objects and find the pages.
//
// The trailers are read for three facts only, /Root, /Encrypt (with where
// the newest /Encrypt stands, read once the objects are known) and the
// newest trailer's /Info (for the output's information dictionary): the object
// positions come from scanning the file itself (pdf/index), which also
// serves files whose cross-reference data is wrong. Allocation failures
// inside the stages surface as exceptions and end here, as "out of memory",
// with the record released.
#include "pdf/load.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "error.h"
#include "pdf/decrypt.h"
#include "pdf/index.h"
#include "pdf/lexer.h"
#include "pdf/objstm.h"
#include "pdf/pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sheetlay {

namespace {

void read_classic_trailers(doc *d, int32_t p) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    // Each trailer dictionary reaches to the next startxref. Trailers that
    // share that end share the tail of one range, so every range is searched
    // once, by its first trailer, and a later trailer of the group takes the
    // first usable /Root at or after its own start; without this, a file of
    // many trailers before one startxref would be searched over and over.
    kw_positions startxrefs;
    startxrefs.collect(t, len, "startxref", p);
    struct root_at {
        int32_t pos, value;
    };
    std::vector<root_at> roots;  // usable /Root entries of the current group
    int32_t group_end = -1;
    int32_t enc_hit = -1;  // the current group's first /Encrypt
    const int32_t first_trailer = find_kw(t, len, p, "trailer");
    for (int32_t occ = first_trailer; occ >= 0;
         occ = find_kw(t, len, occ + 7, "trailer")) {
        int32_t k = skip_ws(t, occ + 7, len);
        int32_t e = startxrefs.first_at_or_after(k);
        if (e < 0) e = len;
        if (!(k < e && t[k] == '<')) continue;
        // /Info from the newest section's first trailer only: one bounded
        // search, whatever the number of trailers.
        if (occ == first_trailer) {
            int32_t i = find_name_top(t, len, k, e, "Info");
            int32_t v = i >= 0 ? name_value(t, e, i, "Info") : -1;
            if (v > 0) d->info = v;
        }
        if (e != group_end) {
            // The first trailer before this end: its range covers the group.
            group_end = e;
            roots.clear();
            for (int32_t from = k;;) {
                int32_t i = find_name(t, len, from, e, "Root");
                if (i < 0) break;
                from = i + 1;
                int32_t v = name_value(t, len, i, "Root");
                if (v >= 0) roots.push_back(root_at{i, v});
            }
            enc_hit = find_name(t, len, k, e, "Encrypt");
            if (enc_hit >= 0) d->encrypted = 1;
        }
        // The trailer that holds the group's /Encrypt is the last one that
        // starts before it; the last group's is the newest.
        if (enc_hit >= k) d->encrypt_trailer = k;
        auto it = std::lower_bound(roots.begin(), roots.end(), k,
                                   [](const root_at &r, int32_t x) { return r.pos < x; });
        if (it != roots.end()) d->root = it->value;
    }
}

void read_trailer_info(doc *d) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    // The last whole-token "startxref" (the keyword cannot overlap itself,
    // so scanning backwards finds the same one as repeated forward searches).
    int32_t sx = -1;
    for (int64_t i = static_cast<int64_t>(len) - 9; i >= 0; --i) {
        if (t[i] == 's' && kw_at(t, static_cast<int32_t>(i), len, "startxref")) {
            sx = static_cast<int32_t>(i);
            break;
        }
    }
    if (sx < 0) return;
    int32_t cur = sx + 9;
    int32_t off = parse_int_at(t, len, &cur);
    if (off < 0 || off >= len) return;

    int objsections = 0;
    for (;;) {
        int32_t p = skip_ws(t, off, len);
        if (p >= len) return;
        if (kw_at(t, p, len, "xref")) {
            read_classic_trailers(d, p + 4);
            return;
        }
        if (!is_dec_digit(t[p])) return;
        int32_t q = p;
        while (q < len && is_dec_digit(t[q])) ++q;
        q = skip_ws(t, q, len);
        if (q < len && is_dec_digit(t[q])) {
            parse_int_at(t, len, &q);
            q = skip_ws(t, q, len);
        }
        if (!kw_at(t, q, len, "obj")) return;
        int32_t Q = skip_ws(t, q + 3, len);
        int32_t B = len;
        if (Q < len && t[Q] == '<') {
            int32_t s = dict_stream_kw(t, len, Q);
            if (s > 0) B = s;
        }
        ++objsections;
        int32_t prev = -1;
        int32_t i = find_name(t, len, Q, B, "Prev");
        if (i >= 0) {
            int32_t v = name_value(t, B, i, "Prev");
            if (v >= 0 && v < len) prev = v;
        }
        if (objsections == 1) {
            i = find_name_top(t, len, Q, B, "Info");
            int32_t v = i >= 0 ? name_value(t, B, i, "Info") : -1;
            if (v > 0) d->info = v;
        }
        if (d->root == -1) {
            i = find_name(t, len, Q, B, "Root");
            if (i >= 0) {
                int32_t v = name_value(t, B, i, "Root");
                if (v >= 0) d->root = v;
            }
        }
        if (find_name(t, len, Q, B, "Encrypt") >= 0) {
            d->encrypted = 1;
            // The chain is walked from the newest section back.
            if (d->encrypt_trailer < 0) d->encrypt_trailer = Q;
        }
        if (prev < 0 || objsections >= 32) return;
        off = prev;
    }
}

// Room for the file image, or null when it cannot be had (reported as a
// read error, like a failed read).
//
// The whole file is read (or copied) into it at once, so every page of it
// is faulted in at once. On Linux a large image starts on a 2 MiB boundary
// and its whole 2 MiB stretches are offered for huge pages: one fault for
// each instead of 512. The tail past the last whole stretch keeps small
// pages, so no more memory is touched than the file's own size.
std::unique_ptr<unsigned char[], image_delete> new_image(size_t n) {
#if defined(__linux__)
    constexpr size_t huge = size_t{1} << 21;
    if (n >= huge) {  // smaller, no stretch is whole: plain pages
        void *p = nullptr;
        if (posix_memalign(&p, huge, n) != 0) return nullptr;
        // Only advice: where it is refused, the image has small pages.
        (void)madvise(p, n & ~(huge - 1), MADV_HUGEPAGE);
        return std::unique_ptr<unsigned char[], image_delete>(static_cast<unsigned char *>(p),
                                                              image_delete{true});
    }
#endif
    return std::unique_ptr<unsigned char[], image_delete>(new (std::nothrow) unsigned char[n]);
}

// Opens an encrypted file with the password: the key every later reading
// of strings and streams decrypts with. 0, or -1 with the message set.
int open_encrypted(doc *d, const char *name, const load_options &lo) {
    security::EncryptInfo info;
    int32_t encrypt_num = -1;
    std::vector<int32_t> reached;
    if (!read_encrypt_info(d, &info, &encrypt_num, &reached)) {
        set_error("unsupported encryption in %s (%s)", name, "unreadable /Encrypt dictionary");
        return -1;
    }
    auto c = std::make_shared<doc_crypt>();
    c->auth = security::authenticate(info, lo.password);
    if (lo.lenient && c->auth.status == security::AuthStatus::wrong_password && !info.length_given &&
        info.v >= 2 && info.v <= 3) {
        // No /Length: 40 bits is the default, but writers that leave it out
        // have used 128 bits, as other readers then assume. The password
        // tells which one holds.
        security::EncryptInfo wide = info;
        wide.length = 128;
        security::Authentication again = security::authenticate(wide, lo.password);
        if (again.status == security::AuthStatus::ok) c->auth = std::move(again);
    }
    c->encrypt_num = encrypt_num;
    c->plain_objects = std::move(reached);
    if (lo.lenient) {
        // Streams may name a crypt filter of /CF in their own chains.
        c->own_filters = true;
        for (const security::CryptFilterInfo &f : info.filters) {
            security::CryptMethod m;
            std::string why;
            if (security::filter_method(f, info.v, &m, &why)) c->named.emplace_back(f.name, m);
        }
    }
    switch (c->auth.status) {
        case security::AuthStatus::ok:
            d->crypt = std::move(c);
            return 0;
        case security::AuthStatus::wrong_password:
            if (lo.password)
                set_error("wrong password for %s", name);
            else
                set_error("%s needs a password", name);
            return -1;
        default:
            set_error("unsupported encryption in %s (%s)", name, c->auth.detail.c_str());
            return -1;
    }
}

// Everything after reading the file image, in data-flow order.
int load_stages(doc *d, const char *name, const load_options &lo) {
    read_trailer_info(d);
    // Each stage that reads every stream's dictionary may read about four
    // times the file (a sound file needs it once).
    const int64_t dict_work = 4 * static_cast<int64_t>(d->len) + 4194304;
    find_objects(d, dict_work);
    // Object streams are decrypted as a whole before they are expanded, so
    // the key must be known first.
    if (d->encrypted && lo.allow_encrypted && open_encrypted(d, name, lo) != 0) return -1;
    std::vector<char> objstm;
    dict_budget budget{4 * dict_work};
    expand_object_streams(d, budget, objstm, lo.lenient);
    reduce_index(d, objstm);
    if (d->objs.count == 0) {
        set_error("no PDF objects found — not a PDF: %s", name);
        return -1;
    }
    if (d->encrypted && !lo.allow_encrypted) {
        set_error("encrypted PDFs are not supported: %s", name);
        return -1;
    }
    int32_t tree = find_page_tree(d);
    if (tree < 0) return -1;
    return collect_pages(d, tree, lo.lenient);
}

int run_stages(doc *d, const char *name, const load_options &lo) {
    int r;
    try {
        r = load_stages(d, name, lo);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        r = -1;
    } catch (...) {
        // Nothing else is thrown on purpose; whatever it was, the record
        // must still be released.
        set_error("out of memory");
        r = -1;
    }
    if (r != 0) {
        doc_free(d);
        return -1;
    }
    return 0;
}

}  // namespace

int doc_load(const char *path, doc *d, const load_options &lo) {
    *d = doc{};
    d->root = -1;
    d->catalog = -1;
    if (!path) {
        set_error("NULL path argument");
        return -1;
    }
    FILE *f = std::fopen(path, "rb");
    // Some systems open a directory like a file; it cannot be read, which
    // the first read tells (an empty file reads no byte without an error).
    if (f && std::fgetc(f) == EOF && std::ferror(f)) {
        std::fclose(f);
        f = nullptr;
    }
    if (!f) {
        set_error("cannot open %s", path);
        return -1;
    }
    int64_t size = -1;
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
    _fseeki64(f, 0, SEEK_SET);
#else
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(f));
    fseeko(f, 0, SEEK_SET);
#endif
    if (size > INT32_MAX) {
        std::fclose(f);
        set_error("input file too large: %s", path);
        return -1;
    }
    if (size < 1) {
        std::fclose(f);
        set_error("empty input file: %s", path);
        return -1;
    }
    d->len = static_cast<int32_t>(size);
    d->file = new_image(static_cast<size_t>(size));
    d->data = d->file.get();
    if (!d->data || std::fread(d->file.get(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        std::fclose(f);
        d->file.reset();
        d->data = nullptr;
        d->len = 0;
        set_error("read error on %s", path);
        return -1;
    }
    std::fclose(f);
    return run_stages(d, path, lo);
}

namespace {

int load_bytes(const unsigned char *bytes, size_t n, const char *name, doc *d, const load_options &lo,
               bool copy) {
    *d = doc{};
    d->root = -1;
    d->catalog = -1;
    if (n < 1) {
        set_error("empty input file: %s", name);
        return -1;
    }
    if (n > static_cast<size_t>(INT32_MAX)) {
        set_error("input file too large: %s", name);
        return -1;
    }
    if (copy) {
        d->file = new_image(n);
        if (!d->file) {
            set_error("read error on %s", name);
            return -1;
        }
        std::memcpy(d->file.get(), bytes, n);
        d->data = d->file.get();
    } else {
        // Read where they stand: nothing in loading or writing writes into
        // the file image (decryption and decoded object streams go to
        // storage of their own), so a copy would only double the input's
        // memory.
        d->data = bytes;
    }
    d->len = static_cast<int32_t>(n);
    return run_stages(d, name, lo);
}

}  // namespace

int doc_load_mem(const unsigned char *bytes, size_t n, const char *name, doc *d,
                 const load_options &lo) {
    return load_bytes(bytes, n, name, d, lo, true);
}

int doc_load_view(const unsigned char *bytes, size_t n, const char *name, doc *d,
                  const load_options &lo) {
    return load_bytes(bytes, n, name, d, lo, false);
}

}  // namespace sheetlay
