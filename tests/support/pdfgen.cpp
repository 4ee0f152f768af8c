#include "support/pdfgen.h"

#include <algorithm>
#include <cstdio>

#ifdef SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

namespace pdfgen {

namespace {

uint32_t adler32_of(std::string_view data) {
    uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521u;
        b = (b + a) % 65521u;
    }
    return (b << 16) | a;
}

std::string num_text(int64_t v) { return std::to_string(v); }

// A classic table line: exactly 20 bytes.
std::string xref_line(int64_t field, int gen, char kind) {
    char line[32];
    std::snprintf(line, sizeof line, "%010lld %05d %c \n", static_cast<long long>(field), gen, kind);
    return line;
}

void put_be(std::string &out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

bool have_zlib() {
#ifdef SHEETLAY_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

std::string zstored(std::string_view data) {
    std::string out;
    out.push_back(static_cast<char>(0x78));
    out.push_back(static_cast<char>(0x01));  // 0x7801 is a multiple of 31
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(65535, data.size() - pos);
        bool last = pos + n == data.size();
        out.push_back(static_cast<char>(last ? 1 : 0));  // BFINAL, BTYPE 00
        out.push_back(static_cast<char>(n & 0xFF));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(~n & 0xFF));
        out.push_back(static_cast<char>((~n >> 8) & 0xFF));
        out.append(data.substr(pos, n));
        pos += n;
    } while (pos < data.size());
    put_be(out, adler32_of(data), 4);
    return out;
}

std::string zcompress(std::string_view data, int level) {
#ifdef SHEETLAY_HAVE_ZLIB
    if (level > 0) {
        uLongf cap = compressBound(static_cast<uLong>(data.size()));
        std::string out(cap, '\0');
        int r = compress2(reinterpret_cast<Bytef *>(out.data()), &cap,
                          reinterpret_cast<const Bytef *>(data.data()),
                          static_cast<uLong>(data.size()), std::min(level, 9));
        if (r == Z_OK) {
            out.resize(cap);
            return out;
        }
    }
#else
    (void)level;
#endif
    return zstored(data);
}

std::optional<std::string> zuncompress(std::string_view data) {
#ifdef SHEETLAY_HAVE_ZLIB
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return std::nullopt;
    std::string out;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    int r = Z_OK;
    char chunk[16384];
    while (r == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        r = inflate(&zs, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - zs.avail_out);
        if (r == Z_BUF_ERROR && zs.avail_in == 0) break;  // input ended early
    }
    inflateEnd(&zs);
    if (r != Z_STREAM_END) return std::nullopt;
    return out;
#else
    (void)data;
    return std::nullopt;
#endif
}

// ---------------------------------------------------------------------------

PdfBuilder::PdfBuilder(std::string_view header) : out_(header) {}

void PdfBuilder::record(int num, const Loc &loc) {
    latest_[num] = loc;
    pending_[num] = loc;
    if (loc.type == 1) all_offsets_[num].push_back(loc.off);
}

PdfBuilder &PdfBuilder::add(int num, std::string_view body, int gen) {
    record(num, Loc{1, size(), gen});
    out_ += num_text(num) + " " + num_text(gen) + " obj\n";
    out_ += body;
    out_ += "\nendobj\n";
    return *this;
}

PdfBuilder &PdfBuilder::add_stream(int num, std::string_view dict_extra, std::string_view data,
                                   const StreamOpts &opts) {
    std::string payload = opts.flate ? zcompress(data, opts.level) : std::string(data);
    std::string dict = "<<";
    if (!opts.omit_length) {
        if (!opts.length_text.empty())
            dict += " /Length " + opts.length_text;
        else if (opts.length_obj > 0)
            dict += " /Length " + num_text(opts.length_obj) + " 0 R";
        else
            dict += " /Length " + num_text(static_cast<int64_t>(payload.size()));
    }
    if (opts.flate) dict += " /Filter /FlateDecode";
    if (!dict_extra.empty()) {
        dict += ' ';
        dict += dict_extra;
    }
    dict += " >>";

    record(num, Loc{1, size(), 0});
    out_ += num_text(num) + " 0 obj\n" + dict + "\nstream" + opts.eol;
    out_ += payload;
    out_ += opts.before_end + "endstream\nendobj\n";
    if (opts.length_obj > 0) add(opts.length_obj, num_text(static_cast<int64_t>(payload.size())));
    return *this;
}

PdfBuilder &PdfBuilder::add_objstm(int num,
                                   const std::vector<std::pair<int, std::string>> &members,
                                   bool flate, std::string_view dict_extra) {
    std::string header, body;
    for (const auto &[mnum, text] : members) {
        if (!header.empty()) header += ' ';
        header += num_text(mnum) + " " + num_text(static_cast<int64_t>(body.size()));
        body += text;
        body += '\n';
    }
    header += '\n';
    std::string dict = "/Type /ObjStm /N " + num_text(static_cast<int64_t>(members.size())) +
                       " /First " + num_text(static_cast<int64_t>(header.size()));
    if (!dict_extra.empty()) {
        dict += ' ';
        dict += dict_extra;
    }
    StreamOpts o;
    o.flate = flate;
    add_stream(num, dict, header + body, o);
    int index = 0;
    for (const auto &m : members) record(m.first, Loc{2, num, index++});
    return *this;
}

PdfBuilder &PdfBuilder::raw(std::string_view text) {
    out_ += text;
    return *this;
}

std::map<int, PdfBuilder::Loc> PdfBuilder::section_entries(int extra_num, int64_t extra_off) const {
    std::map<int, Loc> e = sections_.empty() ? latest_ : pending_;
    if (extra_num > 0) e[extra_num] = Loc{1, extra_off, 0};
    return e;
}

int PdfBuilder::max_num() const { return latest_.empty() ? 0 : latest_.rbegin()->first; }

PdfBuilder &PdfBuilder::xref() {
    const bool first = sections_.empty();
    std::map<int, Loc> entries = section_entries(0, 0);
    const int64_t at = size();
    out_ += "xref\n";
    if (first) {
        // One subsection 0..max; numbers not in use are free, chained from 0.
        int top = max_num();
        std::vector<int> free_nums;
        for (int i = 1; i <= top; ++i) {
            auto it = entries.find(i);
            if (it == entries.end() || it->second.type != 1) free_nums.push_back(i);
        }
        out_ += "0 " + num_text(top + 1) + "\n";
        size_t next_free = 0;
        out_ += xref_line(free_nums.empty() ? 0 : free_nums[0], 65535, 'f');
        for (int i = 1; i <= top; ++i) {
            auto it = entries.find(i);
            if (it != entries.end() && it->second.type == 1) {
                out_ += xref_line(it->second.off, it->second.gen_or_index, 'n');
            } else {
                ++next_free;
                out_ += xref_line(next_free < free_nums.size() ? free_nums[next_free] : 0, 1, 'f');
            }
        }
    } else {
        // Runs of consecutive numbers, each its own subsection.
        std::vector<std::pair<int, Loc>> list;
        for (const auto &e : entries)
            if (e.second.type == 1) list.push_back(e);
        if (list.empty()) out_ += "0 0\n";
        for (size_t i = 0; i < list.size();) {
            size_t j = i + 1;
            while (j < list.size() && list[j].first == list[j - 1].first + 1) ++j;
            out_ += num_text(list[i].first) + " " + num_text(static_cast<int64_t>(j - i)) + "\n";
            for (size_t k = i; k < j; ++k)
                out_ += xref_line(list[k].second.off, list[k].second.gen_or_index, 'n');
            i = j;
        }
    }
    sections_.push_back(at);
    pending_.clear();
    return *this;
}

PdfBuilder &PdfBuilder::trailer(std::string_view entries, bool auto_entries) {
    out_ += "trailer\n<<";
    if (auto_entries) {
        out_ += " /Size " + num_text(max_num() + 1);
        if (sections_.size() >= 2) out_ += " /Prev " + num_text(sections_[sections_.size() - 2]);
    }
    if (!entries.empty()) {
        out_ += ' ';
        out_ += entries;
    }
    out_ += " >>\n";
    return *this;
}

PdfBuilder &PdfBuilder::xref_stream(int num, std::string_view dict_extra,
                                    const XrefStreamOpts &opts) {
    const bool first = sections_.empty();
    const int64_t at = size();
    std::map<int, Loc> entries = section_entries(num, at);
    const int top = std::max(max_num(), num);

    // /W [1 4 2]: type, offset (or object stream number), generation (or index).
    std::string data, index;
    auto put = [&data](int type, int64_t f2, int f3) {
        put_be(data, static_cast<uint64_t>(type), 1);
        put_be(data, static_cast<uint64_t>(f2), 4);
        put_be(data, static_cast<uint64_t>(f3), 2);
    };
    if (first) {
        index = "0 " + num_text(top + 1);
        std::vector<int> free_nums;
        for (int i = 1; i <= top; ++i)
            if (!entries.count(i)) free_nums.push_back(i);
        size_t next_free = 0;
        put(0, free_nums.empty() ? 0 : free_nums[0], 65535);
        for (int i = 1; i <= top; ++i) {
            auto it = entries.find(i);
            if (it != entries.end()) {
                put(it->second.type, it->second.off, it->second.gen_or_index);
            } else {
                ++next_free;
                put(0, next_free < free_nums.size() ? free_nums[next_free] : 0, 1);
            }
        }
    } else {
        std::vector<std::pair<int, Loc>> list(entries.begin(), entries.end());
        for (size_t i = 0; i < list.size();) {
            size_t j = i + 1;
            while (j < list.size() && list[j].first == list[j - 1].first + 1) ++j;
            if (!index.empty()) index += ' ';
            index += num_text(list[i].first) + " " + num_text(static_cast<int64_t>(j - i));
            for (size_t k = i; k < j; ++k)
                put(list[k].second.type, list[k].second.off, list[k].second.gen_or_index);
            i = j;
        }
    }

    std::string dict = "/Type /XRef";
    if (opts.size) dict += " /Size " + num_text(top + 1);
    dict += " /W [1 4 2] /Index [" + index + "]";
    if (opts.prev && !sections_.empty()) dict += " /Prev " + num_text(sections_.back());
    if (!dict_extra.empty()) {
        dict += ' ';
        dict += dict_extra;
    }
    StreamOpts so;
    so.flate = opts.flate;
    add_stream(num, dict, data, so);
    sections_.push_back(at);
    pending_.clear();
    return *this;
}

PdfBuilder &PdfBuilder::startxref(int64_t offset) {
    if (offset < 0) offset = last_section() < 0 ? 0 : last_section();
    out_ += "startxref\n" + num_text(offset) + "\n%%EOF\n";
    return *this;
}

PdfBuilder &PdfBuilder::finish_classic(std::string_view trailer_entries) {
    return xref().trailer(trailer_entries).startxref();
}

PdfBuilder &PdfBuilder::finish_xref_stream(int num, std::string_view dict_extra) {
    return xref_stream(num, dict_extra).startxref();
}

std::string PdfBuilder::finish(std::string_view trailer_entries) {
    finish_classic(trailer_entries);
    return out_;
}

int64_t PdfBuilder::offset(int num) const {
    auto it = all_offsets_.find(num);
    return it == all_offsets_.end() ? -1 : it->second.back();
}

std::vector<int64_t> PdfBuilder::offsets(int num) const {
    auto it = all_offsets_.find(num);
    return it == all_offsets_.end() ? std::vector<int64_t>{} : it->second;
}

// ---------------------------------------------------------------------------
// Generated documents

namespace {

struct Node {
    int num = 0;
    int parent = kPagesNum;
    int count = 0;          // pages below
    std::vector<int> kids;  // object numbers
};

// The page tree of a document plan: the root node first, then the inner nodes.
// parent_of[i] is the parent of page i.
struct Tree {
    std::vector<Node> nodes;
    std::vector<int> parent_of;
};

Tree plan_tree(const DocSpec &plan) {
    const int n = static_cast<int>(plan.pages.size());
    Tree t;
    t.parent_of.assign(static_cast<size_t>(n), kPagesNum);
    struct Item {
        int num, count, page;  // page index, or -1 for a node
    };
    std::vector<Item> level;
    for (int i = 0; i < n; ++i) level.push_back({page_num(i), 1, i});
    int next = page_num(n);
    std::vector<Node> inner;
    const int k = plan.fanout;
    while (k >= 2 && static_cast<int>(level.size()) > k) {
        std::vector<Item> up;
        for (size_t i = 0; i < level.size(); i += static_cast<size_t>(k)) {
            Node node;
            node.num = next++;
            for (size_t j = i; j < std::min(level.size(), i + static_cast<size_t>(k)); ++j) {
                node.kids.push_back(level[j].num);
                node.count += level[j].count;
                if (level[j].page >= 0)
                    t.parent_of[static_cast<size_t>(level[j].page)] = node.num;
                else
                    inner[static_cast<size_t>(level[j].num - page_num(n))].parent = node.num;
            }
            up.push_back({node.num, node.count, -1});
            inner.push_back(node);
        }
        level = up;
    }
    Node root;
    root.num = kPagesNum;
    for (const auto &it : level) {
        root.kids.push_back(it.num);
        root.count += it.count;
    }
    t.nodes.push_back(root);
    t.nodes.insert(t.nodes.end(), inner.begin(), inner.end());
    return t;
}

std::string kids_text(const std::vector<int> &kids) {
    std::string s = "[";
    for (size_t i = 0; i < kids.size(); ++i) {
        if (i) s += ' ';
        s += num_text(kids[i]) + " 0 R";
    }
    return s + "]";
}

void entry(std::string &dict, const char *name, const std::string &value) {
    if (value.empty()) return;
    dict += ' ';
    if (*name) {
        dict += name;
        dict += ' ';
    }
    dict += value;
}

// Number of the object stream (objstm) and, one above, the cross-reference stream.
int objstm_num(const DocSpec &plan) { return page_num(static_cast<int>(plan.pages.size())) +
                                             static_cast<int>(plan_tree(plan).nodes.size()) - 1; }

}  // namespace

int first_free_num(const DocSpec &plan) { return objstm_num(plan) + 2; }

PdfBuilder doc_builder(const DocSpec &plan) {
    PdfBuilder b(plan.header ? "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n" : "");
    const Tree tree = plan_tree(plan);
    std::vector<std::pair<int, std::string>> dicts;  // catalog, nodes, pages

    std::string cat = "<< /Type /Catalog /Pages 2 0 R";
    entry(cat, "", plan.catalog_extra);
    dicts.push_back({kCatalogNum, cat + " >>"});
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
        const Node &nd = tree.nodes[i];
        std::string d = "<< /Type /Pages";
        if (i > 0) d += " /Parent " + num_text(nd.parent) + " 0 R";
        d += " /Kids " + kids_text(nd.kids) + " /Count " + num_text(nd.count);
        entry(d, "", i == 0 ? plan.root_extra : plan.inner_extra);
        dicts.push_back({nd.num, d + " >>"});
    }
    for (size_t i = 0; i < plan.pages.size(); ++i) {
        const PageSpec &p = plan.pages[i];
        const int idx = static_cast<int>(i);
        std::string d = "<< /Type /Page /Parent " + num_text(tree.parent_of[i]) + " 0 R";
        entry(d, "/MediaBox", p.media_box);
        entry(d, "/CropBox", p.crop_box);
        entry(d, "/Rotate", p.rotate);
        entry(d, "/Resources", p.resources);
        d += " /Contents " + num_text(content_num(idx)) + " 0 R";
        entry(d, "", p.extra);
        dicts.push_back({page_num(idx), d + " >>"});
    }

    if (plan.objstm) {
        b.add_objstm(objstm_num(plan), dicts, true);
    } else {
        for (const auto &[num, text] : dicts) b.add(num, text);
    }
    for (size_t i = 0; i < plan.pages.size(); ++i) {
        StreamOpts o;
        o.flate = plan.pages[i].flate;
        b.add_stream(content_num(static_cast<int>(i)), "", plan.pages[i].content, o);
    }
    for (const auto &[num, text] : plan.objects) b.add(num, text);
    return b;
}

std::string make_doc(const DocSpec &plan) {
    PdfBuilder b = doc_builder(plan);
    std::string entries = "/Root 1 0 R";
    if (!plan.trailer_extra.empty()) entries += " " + plan.trailer_extra;
    if (plan.xref_stream || plan.objstm)
        b.finish_xref_stream(objstm_num(plan) + 1, entries);
    else
        b.finish_classic(entries);
    return b.bytes();
}

std::string make_simple_doc(const std::vector<PageSpec> &pages) {
    DocSpec plan;
    plan.pages = pages;
    return make_doc(plan);
}

std::string make_pages(int n, double w, double h) {
    std::vector<PageSpec> pages;
    char box[96];
    std::snprintf(box, sizeof box, "[0 0 %g %g]", w, h);
    for (int i = 0; i < n; ++i) {
        PageSpec p;
        p.media_box = box;
        // A black square, moved along the diagonal from page to page.
        double s = std::min(w, h) / 4;
        double step = (std::min(w, h) - s) / 10;
        char c[128];
        std::snprintf(c, sizeof c, "0 g %g %g %g %g re f", (i % 10) * step, (i % 10) * step, s, s);
        p.content = c;
        pages.push_back(p);
    }
    return make_simple_doc(pages);
}

}  // namespace pdfgen
