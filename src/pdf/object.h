// PDF values as a small tree: parsing one value from a byte range, looking
// things up in it, following indirect references through a resolver, and
// writing a value back as PDF text.
//
// The rest of the library scans bytes directly; this model exists for the
// parts that must read whole dictionaries (annotations, form fields, fonts)
// and write new ones. Parsing is bounded by the range's length, nests at
// most kMaxDepth arrays/dictionaries deep and runs in time linear in the
// bytes it reads. Writing is deterministic: the same value always gives the
// same bytes.
#ifndef SHEETLAY_PDF_OBJECT_H
#define SHEETLAY_PDF_OBJECT_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sheetlay::pdf {

enum class kind : uint8_t { null, boolean, integer, real, string, name, array, dict, ref };

struct dict_entry;

struct value {
    kind k = kind::null;
    bool b = false;          // boolean
    int64_t i = 0;           // integer; object number of a reference
    int32_t gen = 0;         // generation of a reference
    double r = 0;            // real; also the integer's value as a double
    std::string s;           // string bytes (escapes decoded) or name bytes (#xx decoded, no '/')
    std::vector<value> items;         // array
    std::vector<dict_entry> entries;  // dictionary, in the file's key order; a repeated key keeps its first value

    bool is_null() const { return k == kind::null; }
    bool is_number() const { return k == kind::integer || k == kind::real; }
    bool is_dict() const { return k == kind::dict; }
    bool is_array() const { return k == kind::array; }
    bool is_string() const { return k == kind::string; }
    bool is_ref() const { return k == kind::ref; }
    bool is_name() const { return k == kind::name; }
    bool is_name(std::string_view n) const { return k == kind::name && s == n; }

    // The number, or `def` when this is not a number.
    double num_or(double def) const { return is_number() ? r : def; }
    // Dictionary entry by key (without '/'), nullptr when absent or not a dictionary.
    const value *get(std::string_view key) const;
    // Array item, nullptr when out of range or not an array.
    const value *at(size_t idx) const { return k == kind::array && idx < items.size() ? &items[idx] : nullptr; }
    // Items of an array, entries of a dictionary, else 0.
    size_t size() const;

    // Builders for values made in code.
    static value make_null();
    static value make_bool(bool v);
    static value make_int(int64_t v);
    static value make_real(double v);
    static value make_name(std::string_view n);
    static value make_string(std::string_view bytes);
    static value make_ref(int32_t num, int32_t gen = 0);
    static value make_array();
    static value make_dict();
    // Appends to an array, or sets a dictionary key (replacing an existing one); returns the stored value.
    value &push(value v);
    value &set(std::string_view key, value v);
};

struct dict_entry {
    std::string key;
    value val;
};

inline size_t value::size() const {
    return k == kind::array ? items.size() : k == kind::dict ? entries.size() : 0;
}

// Deepest nesting of arrays and dictionaries the parser accepts.
constexpr int kMaxDepth = 256;

// Parses one value starting at t[pos] (white space and comments before it are
// skipped), never reading t[len] or beyond. On success returns true, fills
// *out and sets *end (when given) to the position just after the value.
// Fails (false, *out null) on a cut or damaged value, on an unknown keyword
// and on nesting deeper than kMaxDepth. "N G R" is read as a reference.
bool parse_value(const unsigned char *t, int32_t len, int32_t pos, value *out, int32_t *end = nullptr);
// The same for text held in a string_view (its length must fit int32_t).
bool parse_value(std::string_view text, value *out);

// Indirect objects. The integrator implements get() over the document
// (parsing and caching objects); tests use a map. For a stream object, get()
// gives its dictionary. nullptr when the object does not exist.
struct resolver {
    virtual ~resolver() = default;
    virtual const value *get(int32_t num) = 0;
    // Whether object num is a stream. The default guesses from the
    // dictionary: every stream has /Length.
    virtual bool is_stream(int32_t num) {
        const value *v = get(num);
        return v && v->get("Length") != nullptr;
    }
};

// Longest chain of references followed before giving up (a loop ends there).
constexpr int kMaxRefChain = 32;

// Follows references from v (nullptr stays nullptr; a reference with no
// resolver, a missing target or a chain longer than kMaxRefChain gives
// nullptr). A direct value is returned as is.
const value *resolve(const value *v, resolver *res);
// dict[key] with references followed on both the dictionary and the entry.
const value *get_resolved(const value *dict, std::string_view key, resolver *res);

// Maps an input reference to the output's object number; a result <= 0
// writes "null" in its place.
using ref_map = std::function<int32_t(int32_t num, int32_t gen)>;

// Appends the PDF text of v. Numbers follow append_number (integers as
// written); strings are literal with escapes when every byte is printable
// ASCII (or \n \r \t \b \f), else hexadecimal; names get #xx for bytes
// outside '!'..'~' and for delimiters and '#'. Without a map references are
// written unchanged.
void serialize(const value &v, std::string *out, const ref_map &map = nullptr);
std::string to_text(const value &v, const ref_map &map = nullptr);

// The number rule of everything the library writes: up to 4 decimals,
// without trailing zeros and without exponent; -0 and values that round to 0
// are "0"; NaN is "0" and infinities are clamped to +-1e15.
void append_number(std::string *out, double v);
// Appends a literal string "(...)" with ( ) \ escaped and bytes outside
// printable ASCII as \ddd.
void append_literal_string(std::string *out, std::string_view bytes);
// Appends "/name" with #xx where needed.
void append_name(std::string *out, std::string_view name);

}  // namespace sheetlay::pdf

#endif
