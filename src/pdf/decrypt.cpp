// Decryption of an encrypted input (see pdf/decrypt.h).
//
// The /Encrypt dictionary and the trailer's /ID are read as values: they are
// small and their strings are never encrypted. Object texts are rewritten
// token by token rather than parsed whole, so that a damaged body (which the
// output still carries as it stands) keeps every byte that is not a string.
#include "pdf/decrypt.h"

#include <climits>
#include <cstring>

#include "pdf/lexer.h"

namespace sheetlay {

namespace {

const pdf::value *follow(const doc *d, const pdf::value *v, pdf::value *holder) {
    if (!v || !v->is_ref()) return v;
    // The newest object of that number written in the file (updates are
    // appended); the index is not reduced yet when this runs.
    const obj_entry *found = nullptr;
    for (const obj_entry &e : d->obj_store)
        if (!e.in_objstm && e.num == v->i) found = &e;
    if (!found || found->is_stream) return nullptr;
    const unsigned char *body;
    int32_t blen;
    if (!obj_body(d->data, d->len, found, &body, &blen)) return nullptr;
    if (!pdf::parse_value(body, blen, 0, holder)) return nullptr;
    return holder;
}

int64_t int_of(const pdf::value *v, int64_t dflt) {
    if (!v || !v->is_number()) return dflt;
    return v->k == pdf::kind::integer ? v->i : static_cast<int64_t>(v->r);
}

std::string str_of(const pdf::value *v) { return v && v->is_string() ? v->s : std::string(); }

// An entry of the /Encrypt dictionary, followed when it is a reference. The
// objects it reaches are read as written: like the dictionary itself, they
// are part of what tells how to decrypt, so they are never decrypted.
const pdf::value *field(const doc *d, const pdf::value *dict, const char *key, pdf::value *holder) {
    return follow(d, dict->get(key), holder);
}

// The /CF entry called `name` (Identity: none) into *f.
void read_cf_entry(const doc *d, const pdf::value *cf, const std::string &name,
                   security::CryptFilterInfo *f) {
    f->name = name;
    if (f->name == "Identity") return;
    pdf::value eh;
    const pdf::value *ent = cf && cf->is_dict() ? follow(d, cf->get(f->name), &eh) : nullptr;
    if (!ent || !ent->is_dict()) {
        f->cfm.clear();
        return;
    }
    const pdf::value *cfm = ent->get("CFM");
    f->cfm = cfm && cfm->is_name() ? cfm->s : "None";
    f->length = int_of(ent->get("Length"), 0);
}

void read_filter(const doc *d, const pdf::value *dict, const pdf::value *cf, const char *key,
                 security::CryptFilterInfo *f) {
    pdf::value h;
    const pdf::value *n = field(d, dict, key, &h);
    read_cf_entry(d, cf, n && n->is_name() ? n->s : std::string("Identity"), f);
}

// The dictionary of a stream object as a value, or false.
bool stream_dict(const doc *d, const obj_entry *e, pdf::value *out) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(d->data, d->len, e, &t, &tlen, &start, &end)) return false;
    return pdf::parse_value(t, end, skip_ws(t, start, end), out);
}

const char kHex[] = "0123456789ABCDEF";

void append_hex(std::string *out, const unsigned char *p, size_t n) {
    out->push_back('<');
    for (size_t i = 0; i < n; ++i) {
        out->push_back(kHex[p[i] >> 4]);
        out->push_back(kHex[p[i] & 15]);
    }
    out->push_back('>');
}

// The string's bytes decrypted in place.
void decrypt_bytes(const doc_crypt &c, const obj_entry *e, std::string *s) {
    size_t n = security::decrypt(c.auth.strings, c.auth.key, static_cast<uint32_t>(e->num),
                                 static_cast<uint32_t>(e->gen),
                                 reinterpret_cast<const uint8_t *>(s->data()), s->size(),
                                 reinterpret_cast<uint8_t *>(s->data()));
    s->resize(n);
}

}  // namespace

bool read_encrypt_info(const doc *d, security::EncryptInfo *info, int32_t *encrypt_num,
                       std::vector<int32_t> *reached) {
    *encrypt_num = -1;
    if (d->encrypt_trailer < 0 || d->encrypt_trailer >= d->len) return false;
    pdf::value trailer;
    if (!pdf::parse_value(d->data, d->len, d->encrypt_trailer, &trailer) || !trailer.is_dict())
        return false;
    const pdf::value *ev = trailer.get("Encrypt");
    if (ev && ev->is_ref() && ev->i > 0 && ev->i <= INT32_MAX) *encrypt_num = static_cast<int32_t>(ev->i);
    pdf::value holder;
    const pdf::value *enc = follow(d, ev, &holder);
    if (!enc || !enc->is_dict()) return false;
    pdf::value h1, h2, h3;
    const pdf::value *f = field(d, enc, "Filter", &h1);
    info->filter = f && f->is_name() ? f->s : "Standard";
    info->v = int_of(field(d, enc, "V", &h1), 0);
    info->r = int_of(field(d, enc, "R", &h1), 0);
    const pdf::value *length = field(d, enc, "Length", &h1);
    info->length = int_of(length, 40);
    info->length_given = length != nullptr;
    info->p = static_cast<int32_t>(static_cast<uint32_t>(int_of(field(d, enc, "P", &h1), 0)));
    info->o = str_of(field(d, enc, "O", &h1));
    info->u = str_of(field(d, enc, "U", &h1));
    info->oe = str_of(field(d, enc, "OE", &h1));
    info->ue = str_of(field(d, enc, "UE", &h1));
    info->perms = str_of(field(d, enc, "Perms", &h1));
    const pdf::value *em = field(d, enc, "EncryptMetadata", &h1);
    info->encrypt_metadata = !(em && em->k == pdf::kind::boolean && !em->b);
    const pdf::value *cf = field(d, enc, "CF", &h2);
    read_filter(d, enc, cf, "StmF", &info->stmf);
    read_filter(d, enc, cf, "StrF", &info->strf);
    if (cf && cf->is_dict()) {
        // Bounded by the parser's limits on the dictionary's size.
        for (const pdf::dict_entry &de : cf->entries) {
            security::CryptFilterInfo one;
            read_cf_entry(d, cf, de.key, &one);
            if (one.name != "Identity") info->filters.push_back(std::move(one));
        }
    }
    // The /ID strings are never encrypted; a reference to them is followed.
    const pdf::value *idv = trailer.get("ID");
    const pdf::value *id = follow(d, idv, &h3);
    if (id && id->is_array() && id->size() > 0) info->id0 = str_of(id->at(0));
    if (reached) {
        auto note = [reached](const pdf::value *v) {
            if (v && v->is_ref() && v->i > 0 && v->i <= INT32_MAX) reached->push_back(static_cast<int32_t>(v->i));
        };
        note(idv);
        for (const char *k : {"Filter", "V", "R", "Length", "P", "O", "U", "OE", "UE", "Perms",
                              "EncryptMetadata", "CF", "StmF", "StrF", "EFF"})
            note(enc->get(k));
        if (cf && cf->is_dict())
            for (const pdf::dict_entry &de : cf->entries) note(&de.val);
    }
    return true;
}

namespace {

// The /Encrypt dictionary and what it reaches are read as written.
bool part_of_encrypt(const doc_crypt *c, int32_t num) {
    if (num == c->encrypt_num) return true;
    for (int32_t n : c->plain_objects)
        if (n == num) return true;
    return false;
}

}  // namespace

bool strings_encrypted(const doc *d, const obj_entry *e) {
    const doc_crypt *c = d->crypt.get();
    return c && e && !e->in_objstm && c->auth.strings != security::CryptMethod::identity &&
           !part_of_encrypt(c, e->num);
}

security::CryptMethod stream_method(const doc *d, const obj_entry *e) {
    const security::CryptMethod none = security::CryptMethod::identity;
    const doc_crypt *c = d ? d->crypt.get() : nullptr;
    if (!c || !e || !e->is_stream || e->in_objstm || part_of_encrypt(c, e->num)) return none;
    // Without crypt filters of their own, streams of a file whose default
    // is identity are all plain.
    if (c->auth.streams == none && (!c->own_filters || c->named.empty())) return none;
    pdf::value dict;
    if (!stream_dict(d, e, &dict) || !dict.is_dict()) return c->auth.streams;
    const pdf::value *type = dict.get("Type");
    // Cross-reference streams are read before any key is known.
    if (type && type->is_name("XRef")) return none;
    if (type && type->is_name("Metadata") && !c->auth.encrypt_metadata) return none;
    // A stream may name its own crypt filter as the first step of its
    // chain; Identity (also when no name is given) leaves it plain.
    const pdf::value *filter = dict.get("Filter");
    const pdf::value *first = filter && filter->is_array() ? filter->at(0) : filter;
    if (first && first->is_name("Crypt")) {
        const pdf::value *parms = dict.get("DecodeParms");
        if (parms && parms->is_array()) parms = parms->at(0);
        const pdf::value *name = parms && parms->is_dict() ? parms->get("Name") : nullptr;
        if (!name || name->is_name("Identity")) return none;
        if (c->own_filters && name->is_name())
            for (const auto &f : c->named)
                if (f.first == name->s) return f.second;
    }
    return c->auth.streams;
}

bool stream_encrypted(const doc *d, const obj_entry *e) {
    return stream_method(d, e) != security::CryptMethod::identity;
}

bool decrypt_stream(const doc *d, const obj_entry *e, const unsigned char *data, size_t len,
                    std::vector<unsigned char> *out) {
    const security::CryptMethod m = stream_method(d, e);
    if (m == security::CryptMethod::identity) return false;
    const doc_crypt &c = *d->crypt;
    out->resize(len);
    size_t n = security::decrypt(m, c.auth.key, static_cast<uint32_t>(e->num),
                                 static_cast<uint32_t>(e->gen), data, len, out->data());
    out->resize(n);
    return true;
}

bool drops_crypt_step(const doc *d) { return d && d->crypt && d->crypt->own_filters; }

bool without_crypt_step(const unsigned char *t, int32_t len, std::string *out) {
    int32_t open = skip_ws(t, 0, len);
    if (open + 1 >= len || t[open] != '<' || t[open + 1] != '<') return false;
    const int32_t fk = find_name_top(t, len, open, len, "Filter");
    if (fk < 0) return false;
    pdf::value filter;
    int32_t fv = skip_ws(t, fk + 7, len), fend = fv;
    if (!pdf::parse_value(t, len, fv, &filter, &fend) || fend <= fv) return false;
    const pdf::value *first = filter.is_array() ? filter.at(0) : &filter;
    if (!first || !first->is_name("Crypt")) return false;
    struct edit {
        int32_t from, to;
        std::string with;
    };
    std::vector<edit> edits;
    // The rest of the chain, or the entry gone when nothing remains.
    std::string rest;
    for (size_t k = 1; k < filter.size(); ++k) {
        const pdf::value *n = filter.at(k);
        if (!n || !n->is_name()) return false;
        if (!rest.empty()) rest += ' ';
        rest += pdf::to_text(*n);
    }
    if (rest.empty())
        edits.push_back(edit{fk, fend, ""});
    else
        edits.push_back(edit{fv, fend, "[" + rest + "]"});
    const int32_t pk = find_name_top(t, len, open, len, "DecodeParms");
    if (pk >= 0) {
        int32_t pv = skip_ws(t, pk + 12, len), pend = pv;
        pdf::value parms;
        if (!pdf::parse_value(t, len, pv, &parms, &pend) || pend <= pv) return false;
        if (parms.is_dict() || parms.is_null() || rest.empty()) {
            edits.push_back(edit{pk, pend, ""});  // it belonged to the /Crypt step
        } else if (parms.is_array()) {
            // The array's items after the first, as written.
            std::string kept;
            int32_t p = skip_ws(t, pv + 1, pend);
            bool any = false;
            for (size_t k = 0; k < parms.size(); ++k) {
                pdf::value item;
                int32_t iend = p;
                if (!pdf::parse_value(t, pend, p, &item, &iend) || iend <= p) return false;
                if (k > 0) {
                    kept.append(reinterpret_cast<const char *>(t) + p, static_cast<size_t>(iend - p));
                    kept.push_back(' ');
                    any = any || !item.is_null();
                }
                p = skip_ws(t, iend, pend);
            }
            if (any) {
                kept.pop_back();
                edits.push_back(edit{pv, pend, "[" + kept + "]"});
            } else {
                edits.push_back(edit{pk, pend, ""});
            }
        }
    }
    if (edits.size() == 2 && edits[1].from < edits[0].from) std::swap(edits[0], edits[1]);
    if (edits.size() == 2 && edits[1].from < edits[0].to) return false;
    std::string made;
    int32_t at = 0;
    for (const edit &ed : edits) {
        made.append(reinterpret_cast<const char *>(t) + at, static_cast<size_t>(ed.from - at));
        made.append(ed.with);
        at = ed.to;
    }
    made.append(reinterpret_cast<const char *>(t) + at, static_cast<size_t>(len - at));
    // Only a dictionary that still reads replaces the one written (a
    // damaged one goes out as it stands).
    pdf::value check;
    if (!pdf::parse_value(made, &check) || !check.is_dict()) return false;
    const pdf::value *left = check.get("Filter");
    if (left && left->is_array()) left = left->at(0);
    if (check.get("Filter") && !(left && left->is_name())) return false;
    *out = std::move(made);
    return true;
}

void decrypt_strings_text(const doc *d, const obj_entry *e, const unsigned char *t, int32_t len,
                          std::string *out) {
    out->clear();
    out->reserve(static_cast<size_t>(len) + 16);
    const bool active = strings_encrypted(d, e);
    int32_t copied = 0;
    int32_t p = 0;
    auto flush = [&](int32_t to) {
        out->append(reinterpret_cast<const char *>(t) + copied, static_cast<size_t>(to - copied));
        copied = to;
    };
    while (active && p < len) {
        unsigned char c = t[p];
        if (c == '%') {
            while (p < len && t[p] != '\r' && t[p] != '\n') ++p;
        } else if (c == '/') {
            ++p;
            while (p < len && !is_pdf_ws(t[p]) && !std::strchr("/()<>[]{}%", t[p])) ++p;
        } else if (c == '<' && p + 1 < len && t[p + 1] == '<') {
            p += 2;
        } else if (c == '(' || c == '<') {
            pdf::value s;
            int32_t end = p;
            if (!pdf::parse_value(t, len, p, &s, &end) || !s.is_string() || end <= p) break;
            flush(p);
            decrypt_bytes(*d->crypt, e, &s.s);
            append_hex(out, reinterpret_cast<const unsigned char *>(s.s.data()), s.s.size());
            copied = p = end;
        } else {
            ++p;
        }
    }
    flush(len);
}

void decrypt_value_strings(const doc *d, const obj_entry *e, pdf::value *v) {
    if (!strings_encrypted(d, e) || !v) return;
    // The parser caps the nesting depth, so this walk is bounded too.
    if (v->is_string()) {
        decrypt_bytes(*d->crypt, e, &v->s);
    } else if (v->is_array()) {
        for (pdf::value &item : v->items) decrypt_value_strings(d, e, &item);
    } else if (v->is_dict()) {
        for (pdf::dict_entry &de : v->entries) decrypt_value_strings(d, e, &de.val);
    }
}

}  // namespace sheetlay
