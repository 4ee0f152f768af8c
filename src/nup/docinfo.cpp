// The output's document information: what the input says of itself
// (title, author, subject, keywords, creator, creation date) with this
// library as the producer.
//
// Only strings are carried, each written inline, so that nothing of the
// input's information object is carried by reference. No modification date
// is added: the same input and options give the same bytes. An input
// without information still gets a dictionary naming the producer, which
// is what viewers show of a file's origin.
#include <new>
#include <string>

#include "nup/extras.h"
#include "pdf/object.h"
#include "pdf/resolve.h"
#include "sheetlay.h"

#ifndef SHEETLAY_VERSION_STRING
#define SHEETLAY_VERSION_STRING "0.0.0"
#endif

namespace sheetlay::nup {

namespace {

class info_part : public extras::part {
public:
    explicit info_part(const part_context &c) : c_(c) {}

    void plan(transfer &) override {
        try {
            doc_resolver res(c_.d);
            const pdf::value *info = c_.d->info > 0 ? res.get(c_.d->info) : nullptr;
            if (!info || !info->is_dict()) return;
            for (const char *key : {"Title", "Author", "Subject", "Keywords", "Creator", "CreationDate"}) {
                const pdf::value *v = pdf::get_resolved(info, key, &res);
                if (!v || !v->is_string()) continue;
                std::string e = " ";
                pdf::append_name(&e, key);
                e += ' ';
                pdf::serialize(*v, &e);
                entries_ += e;
            }
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            entries_.clear();
        }
    }

    void build(const transfer &, added_objects &objs, additions &add) override {
        const int64_t num = objs.reserve();
        std::string obj;
        put_int(obj, num);
        obj += " 0 obj\n<<";
        obj += entries_;
        obj += " /Producer ";
        pdf::append_literal_string(&obj, "sheetlay " SHEETLAY_VERSION_STRING);
        obj += " >>\nendobj\n";
        objs.put(num, std::move(obj));
        add.trailer += " /Info ";
        put_int(add.trailer, num);
        add.trailer += " 0 R";
    }

private:
    part_context c_;
    std::string entries_;
};

}  // namespace

std::unique_ptr<extras::part> make_info_part(const part_context &c) {
    if (!(c.keep & SHEETLAY_KEEP_INFO)) return nullptr;
    return std::make_unique<info_part>(c);
}

}  // namespace sheetlay::nup
