/* Linked into the WebAssembly module only: tells the JavaScript wrapper where
 * each field of sheetlay_options lies in this build (pointers and size_t are
 * 4 bytes in wasm32, so the offsets differ from a 64-bit host's), so that the
 * wrapper never carries a copy of the structure's layout that could drift
 * from the header it was built against. */
#include <stddef.h>
#include <sheetlay.h>

#define F(name, type) #name ":" type ":"
#define AT(name) (int)offsetof(sheetlay_options, name)

static char text[1024];

static char *put(char *p, const char *s) {
    while (*s) *p++ = *s++;
    return p;
}

static char *put_int(char *p, int v) {
    char rev[12];
    int n = 0;
    do {
        rev[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *p++ = rev[--n];
    return p;
}

/* "name:type:offset,..." for the options (and, with 0.3, "input.name:type:offset"
 * and "input:SIZE" for sheetlay_input), and "size:N" last; type is i32, u32, f64
 * or ptr. */
const char *sheetlay_web_fields(void) {
    struct field {
        const char *head;
        int at;
    } fields[] = {
        {F(columns, "i32"), AT(columns)},     {F(rows, "i32"), AT(rows)},
        {F(flow, "u32"), AT(flow)},           {F(sheet_width, "f64"), AT(sheet_width)},
        {F(sheet_height, "f64"), AT(sheet_height)}, {F(orientation, "i32"), AT(orientation)},
        {F(fit, "i32"), AT(fit)},             {F(margin, "f64"), AT(margin)},
        {F(gap, "f64"), AT(gap)},             {F(border, "f64"), AT(border)},
        {F(pages, "ptr"), AT(pages)},         {F(booklet, "i32"), AT(booklet)},
        {F(keep, "u32"), AT(keep)},           {F(compress, "i32"), AT(compress)},
        {F(password, "ptr"), AT(password)},
#ifdef SHEETLAY_TRIM_EACH
        {F(signature, "i32"), AT(signature)}, {F(duplex, "i32"), AT(duplex)},
        {F(turn, "i32"), AT(turn)},           {F(marks, "u32"), AT(marks)},
        {F(trim, "i32"), AT(trim)},           {F(trim_margin, "f64"), AT(trim_margin)},
#endif
    };
    char *p = text;
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
        p = put(p, fields[i].head);
        p = put_int(p, fields[i].at);
        *p++ = ',';
    }
#ifdef SHEETLAY_TRIM_EACH
    {
        struct field in[] = {
            {"input.data:ptr:", (int)offsetof(sheetlay_input, data)},
            {"input.data_len:u32:", (int)offsetof(sheetlay_input, data_len)},
            {"input.pages:ptr:", (int)offsetof(sheetlay_input, pages)},
            {"input.password:ptr:", (int)offsetof(sheetlay_input, password)},
            {"input:", (int)sizeof(sheetlay_input)},
        };
        for (size_t i = 0; i < sizeof in / sizeof in[0]; ++i) {
            p = put(p, in[i].head);
            p = put_int(p, in[i].at);
            *p++ = ',';
        }
    }
#endif
    p = put(p, "size:");
    p = put_int(p, (int)sizeof(sheetlay_options));
    *p = '\0';
    return text;
}
