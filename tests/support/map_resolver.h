// A resolver over a map of object texts, each parsed on first use: the
// object, annotation and appearance tests give the code under test
// indirect objects without building a whole file.
#ifndef SHEETLAY_TESTS_MAP_RESOLVER_H
#define SHEETLAY_TESTS_MAP_RESOLVER_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>

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

}  // namespace testtools

#endif
