// The shared library must export the six C functions and nothing else: any
// other global symbol (a helper, a weak C++ template instantiation, a data
// object) becomes part of the binary interface, can clash with the host's own
// symbols and be interposed by them.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/tools.h"

#ifndef SHEETLAY_SHARED_LIB
#define SHEETLAY_SHARED_LIB ""
#endif

namespace {

struct Symbol {
    char type;
    std::string name;
};

// Parses `nm -D --defined-only` lines: "<address> <type> <name>".
std::vector<Symbol> parse_nm(const std::string &text) {
    std::vector<Symbol> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // Undefined symbols have a blank address column.
        std::istringstream ls(line);
        std::vector<std::string> f;
        for (std::string w; ls >> w;) f.push_back(w);
        if (f.size() == 2) f.insert(f.begin(), "");
        if (f.size() != 3 || f[1].size() != 1) continue;
        out.push_back({f[1][0], f[2]});
    }
    return out;
}

// Symbols the linker itself defines in every shared object.
bool linker_symbol(const std::string &name) {
    static const std::set<std::string> known = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    return known.count(name) != 0;
}

TEST(Exports, ParseNm) {
    const auto s = parse_nm(
        "0000000000001100 T sheetlay_init\n"
        "0000000000002000 W _ZNSt6vectorIiSaIiEE17_M_realloc_insertIJRKiEEEvN9__gnu_cxx17__normal_iteratorIPiS1_EEDpOT_\n"
        "                 w __gmon_start__\n"
        "garbage\n");
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].type, 'T');
    EXPECT_EQ(s[1].type, 'W');
    EXPECT_EQ(s[2].name, "__gmon_start__");
}

TEST(Exports, ExactlyTheSixFunctions) {
    REQUIRE_NM();
    const std::string lib = SHEETLAY_SHARED_LIB;
    ASSERT_TRUE(testtools::file_exists(lib)) << lib;
    testtools::CmdResult r = testtools::run_cmd({testtools::nm_path(), "-D", "--defined-only", lib});
    ASSERT_EQ(r.status, 0) << r.out;

    std::set<std::string> functions, others;
    for (const Symbol &s : parse_nm(r.out)) {
        if (linker_symbol(s.name)) continue;
        switch (s.type) {
        case 'T':  // code
        case 'i':  // indirect function
            functions.insert(s.name);
            break;
        case 'W':  // weak definitions (inline and template code) and
        case 'V':  // weak objects are exported as much as strong ones
        case 'u':  // unique global
        case 'D':
        case 'B':
        case 'R':
        case 'G':
        case 'S':
            others.insert(std::string(1, s.type) + " " + s.name);
            break;
        default:  // lower case: local; 'A' absolute; 'w'/'v' undefined weak
            break;
        }
    }
    const std::set<std::string> expected = {"sheetlay_init",   "sheetlay_cleanup",
                                            "sheetlay_last_error", "sheetlay_create",
                                            "sheetlay_create_sized", "sheetlay_create_bordered",
                                            "sheetlay_options_init", "sheetlay_options_init_sized", "sheetlay_nup",
                                            "sheetlay_nup_mem", "sheetlay_nup_inputs",
                                            "sheetlay_nup_inputs_mem", "sheetlay_free",
                                            "sheetlay_version"};
    EXPECT_EQ(functions, expected);
    std::string extra;
    for (const auto &o : others) extra += "  " + o + "\n";
    EXPECT_TRUE(others.empty()) << "other global symbols are exported:\n" << extra;
}

}  // namespace
