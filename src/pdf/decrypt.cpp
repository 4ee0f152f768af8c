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

void read_filter(const pdf::value *dict, const char *key, security::CryptFilterInfo *f) {
    const pdf::value *n = dict->get(key);
    f->name = n && n->is_name() ? n->s : "Identity";
    if (f->name == "Identity") return;
    const pdf::value *cf = dict->get("CF");
    const pdf::value *ent = cf && cf->is_dict() ? cf->get(f->name) : nullptr;
    if (!ent || !ent->is_dict()) {
        f->cfm.clear();
        return;
    }
    const pdf::value *cfm = ent->get("CFM");
    f->cfm = cfm && cfm->is_name() ? cfm->s : "None";
    f->length = int_of(ent->get("Length"), 0);
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

bool read_encrypt_info(const doc *d, security::EncryptInfo *info, int32_t *encrypt_num) {
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
    const pdf::value *f = enc->get("Filter");
    info->filter = f && f->is_name() ? f->s : "Standard";
    info->v = int_of(enc->get("V"), 0);
    info->r = int_of(enc->get("R"), 0);
    info->length = int_of(enc->get("Length"), 40);
    info->length_given = enc->get("Length") != nullptr;
    info->p = static_cast<int32_t>(static_cast<uint32_t>(int_of(enc->get("P"), 0)));
    info->o = str_of(enc->get("O"));
    info->u = str_of(enc->get("U"));
    info->oe = str_of(enc->get("OE"));
    info->ue = str_of(enc->get("UE"));
    info->perms = str_of(enc->get("Perms"));
    const pdf::value *em = enc->get("EncryptMetadata");
    info->encrypt_metadata = !(em && em->k == pdf::kind::boolean && !em->b);
    read_filter(enc, "StmF", &info->stmf);
    read_filter(enc, "StrF", &info->strf);
    const pdf::value *id = trailer.get("ID");
    if (id && id->is_array() && id->size() > 0) info->id0 = str_of(id->at(0));
    return true;
}

bool strings_encrypted(const doc *d, const obj_entry *e) {
    const doc_crypt *c = d->crypt.get();
    return c && e && !e->in_objstm && e->num != c->encrypt_num &&
           c->auth.strings != security::CryptMethod::identity;
}

bool stream_encrypted(const doc *d, const obj_entry *e) {
    const doc_crypt *c = d->crypt.get();
    if (!c || !e || !e->is_stream || e->in_objstm || e->num == c->encrypt_num ||
        c->auth.streams == security::CryptMethod::identity)
        return false;
    pdf::value dict;
    if (!stream_dict(d, e, &dict) || !dict.is_dict()) return true;
    const pdf::value *type = dict.get("Type");
    // Cross-reference streams are read before any key is known.
    if (type && type->is_name("XRef")) return false;
    if (type && type->is_name("Metadata") && !c->auth.encrypt_metadata) return false;
    // A stream may name its own crypt filter; /Identity (the only one the
    // standard handler defines besides /StdCF) leaves it plain.
    const pdf::value *filter = dict.get("Filter");
    const pdf::value *first = filter && filter->is_array() ? filter->at(0) : filter;
    if (first && first->is_name("Crypt")) {
        const pdf::value *parms = dict.get("DecodeParms");
        if (parms && parms->is_array()) parms = parms->at(0);
        const pdf::value *name = parms && parms->is_dict() ? parms->get("Name") : nullptr;
        if (!name || name->is_name("Identity")) return false;
    }
    return true;
}

bool decrypt_stream(const doc *d, const obj_entry *e, const unsigned char *data, size_t len,
                    std::vector<unsigned char> *out) {
    if (!stream_encrypted(d, e)) return false;
    const doc_crypt &c = *d->crypt;
    out->resize(len);
    size_t n = security::decrypt(c.auth.streams, c.auth.key, static_cast<uint32_t>(e->num),
                                 static_cast<uint32_t>(e->gen), data, len, out->data());
    out->resize(n);
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
