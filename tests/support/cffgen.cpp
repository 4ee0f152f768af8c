// Compact font programs built byte by byte (see cffgen.h).
#include "support/cffgen.h"

#include <map>
#include <sstream>

namespace cffgen {

namespace {

std::string be(uint32_t v, int n) {
    std::string s;
    for (int k = n - 1; k >= 0; --k) s += static_cast<char>((v >> (8 * k)) & 0xff);
    return s;
}

// An INDEX with four-byte offsets.
std::string cff_index(const std::vector<std::string> &items) {
    if (items.empty()) return std::string(2, '\0');
    std::string s = be(static_cast<uint32_t>(items.size()), 2) + "\x04";
    uint32_t off = 1;
    s += be(off, 4);
    for (const auto &i : items) s += be(off += static_cast<uint32_t>(i.size()), 4);
    for (const auto &i : items) s += i;
    return s;
}

// A DICT integer, always five bytes so that offsets can be laid out first.
std::string dint(int32_t v) { return "\x1d" + be(static_cast<uint32_t>(v), 4); }

}  // namespace

// A charstring from text: numbers, operator names, #xx for a raw byte.
std::string charstring(const std::string &text) {
    static const std::map<std::string, std::string> ops = {
        {"hstem", "\x01"}, {"vstem", "\x03"}, {"vmoveto", "\x04"}, {"rlineto", "\x05"},
        {"hlineto", "\x06"}, {"vlineto", "\x07"}, {"rrcurveto", "\x08"}, {"callsubr", "\x0a"},
        {"return", "\x0b"}, {"endchar", "\x0e"}, {"hstemhm", "\x12"}, {"hintmask", "\x13"},
        {"cntrmask", "\x14"}, {"rmoveto", "\x15"}, {"hmoveto", "\x16"}, {"vstemhm", "\x17"},
        {"rcurveline", "\x18"}, {"rlinecurve", "\x19"}, {"vvcurveto", "\x1a"}, {"hhcurveto", "\x1b"},
        {"callgsubr", "\x1d"}, {"vhcurveto", "\x1e"}, {"hvcurveto", "\x1f"}, {"hflex", "\x0c\x22"},
        {"flex", "\x0c\x23"}, {"hflex1", "\x0c\x24"}, {"flex1", "\x0c\x25"}};
    std::istringstream in(text);
    std::string t, out;
    while (in >> t) {
        if (auto it = ops.find(t); it != ops.end()) {
            out += it->second;
        } else if (t[0] == '#') {
            out += static_cast<char>(std::stoi(t.substr(1), nullptr, 16));
        } else if (t.find('.') != std::string::npos) {
            out += "\xff" + be(static_cast<uint32_t>(static_cast<int32_t>(std::stod(t) * 65536)), 4);
        } else {
            const int v = std::stoi(t);
            if (v >= -107 && v <= 107) out += static_cast<char>(v + 139);
            else out += "\x1c" + be(static_cast<uint16_t>(v), 2);
        }
    }
    return out;
}

std::string build(const TestFont &f) {
    auto compile = [](const std::vector<std::string> &v) {
        std::vector<std::string> out;
        for (const auto &s : v) out.push_back(charstring(s));
        return out;
    };
    const std::string header("\x01\x00\x04\x04", 4);
    const std::string names = cff_index({"Test"});
    const std::string strings = cff_index(f.strings);
    const std::string gsubrs = cff_index(compile(f.gsubrs));
    std::string charset("\x00", 1);
    for (int sid : f.sids) charset += be(static_cast<uint32_t>(sid), 2);
    std::string encoding;
    if (!f.codes.empty()) {
        encoding = std::string("\x00", 1) + static_cast<char>(f.codes.size());
        for (int c : f.codes) encoding += static_cast<char>(c);
    }
    const std::string charstrings = cff_index(compile(f.glyphs));
    const std::string priv_size_probe = dint(0) + "\x14" + dint(0) + "\x15" + dint(0) + "\x13";
    const bool cid = !f.fd_of.empty();
    const std::string cid_probe = cid ? "\x8b\x8b\x8b\x0c\x1e" + dint(0) + "\x0c\x24" + dint(0) + "\x0c\x25" : "";
    const std::string top_probe = dint(0) + "\x0f" + dint(0) + "\x10" + dint(0) + "\x11" + dint(0) + dint(0) +
                                  "\x12" + f.matrix + cid_probe;
    const size_t top_len = cff_index({top_probe}).size();
    const size_t at_charset = header.size() + names.size() + top_len + strings.size() + gsubrs.size();
    const size_t at_encoding = at_charset + charset.size();
    const size_t at_charstrings = at_encoding + encoding.size();
    const size_t at_private = at_charstrings + charstrings.size();
    const std::string priv = dint(f.dflt) + "\x14" + dint(f.nominal) + "\x15" +
                             dint(static_cast<int32_t>(priv_size_probe.size())) + "\x13";
    const std::string local = priv + cff_index(compile(f.subrs));
    // CID-keyed: one Private DICT (and local subroutines) per FD after the
    // first, then the FDArray and a format 3 FDSelect.
    std::string tail, cid_part;
    if (cid) {
        std::vector<std::string> fds;
        size_t at = at_private;
        for (size_t k = 0; k < f.fd_subrs.size() + 1; ++k) {
            const std::string part = k == 0 ? local : priv + cff_index(compile(f.fd_subrs[k - 1]));
            fds.push_back(dint(static_cast<int32_t>(priv.size())) + dint(static_cast<int32_t>(at)) + "\x12");
            if (k > 0) tail += part;
            at += part.size();
        }
        const std::string fdarray = cff_index(fds);
        std::string fdselect = "\x03" + be(static_cast<uint32_t>(f.fd_of.size()), 2);
        for (size_t g = 0; g < f.fd_of.size(); ++g)
            fdselect += be(static_cast<uint32_t>(g), 2) + static_cast<char>(f.fd_of[g]);
        fdselect += be(static_cast<uint32_t>(f.fd_of.size()), 2);
        cid_part = "\x8b\x8b\x8b\x0c\x1e" + dint(static_cast<int32_t>(at)) + "\x0c\x24" +
                   dint(static_cast<int32_t>(at + fdarray.size())) + "\x0c\x25";
        tail += fdarray + fdselect;
    }
    const std::string top = dint(static_cast<int32_t>(at_charset)) + "\x0f" +
                            dint(encoding.empty() ? 0 : static_cast<int32_t>(at_encoding)) + "\x10" +
                            dint(static_cast<int32_t>(at_charstrings)) + "\x11" +
                            dint(static_cast<int32_t>(priv.size())) + dint(static_cast<int32_t>(at_private)) +
                            "\x12" + f.matrix + cid_part;
    return header + names + cff_index({top}) + strings + gsubrs + charset + encoding + charstrings + local + tail;
}

}  // namespace cffgen
