// A resolver over a map of object texts, each parsed on first use: the
// object, annotation and appearance tests give the code under test
// indirect objects without building a whole file. MapSource adds stream
// data by object number for the content interpreter's tests.
#ifndef SHEETLAY_TESTS_MAP_RESOLVER_H
#define SHEETLAY_TESTS_MAP_RESOLVER_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "content/bbox.h"
#include "pdf/object.h"

namespace testtools {

struct MapResolver : sheetlay::pdf::resolver {
    std::map<int32_t, std::string> text;
    std::map<int32_t, sheetlay::pdf::value> cache;
    const sheetlay::pdf::value *get(int32_t num) override {
        auto c = cache.find(num);
        if (c != cache.end()) return &c->second;
        auto t = text.find(num);
        if (t == text.end()) return nullptr;
        sheetlay::pdf::value v;
        if (!sheetlay::pdf::parse_value(t->second, &v)) return nullptr;
        return &(cache[num] = std::move(v));
    }
};

// Objects by text, stream data by number.
struct MapSource : sheetlay::content::source {
    MapResolver objs;
    std::map<int32_t, std::string> data;
    sheetlay::pdf::resolver *objects() override { return &objs; }
    bool stream_data(int32_t num, std::string *out) override {
        auto it = data.find(num);
        if (it == data.end()) return false;
        *out = it->second;
        return true;
    }
};

}  // namespace testtools

#endif
