// Memory input read where it stands: the memory variants no longer copy the
// caller's PDF, so nothing may write into it. Each input is placed in pages
// mapped read-only, where any write would stop the process, and run through
// the memory calls of a single input and of several; the output must match
// what the same input gives from its file. Encrypted inputs (strings and
// streams decrypted, object streams decrypted before they are expanded) are
// the paths most likely to have decrypted in place.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "sheetlay.h"
#include "support/tools.h"

namespace {

#if !defined(_WIN32)
// A copy of `bytes` in pages that can only be read.
class read_only_copy {
public:
    explicit read_only_copy(const std::string &bytes) : len_(bytes.size()) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (len_ + page - 1) / page * page;
        void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        std::memcpy(p, bytes.data(), len_);
        if (mprotect(p, size_, PROT_READ) != 0) {
            munmap(p, size_);
            return;
        }
        p_ = p;
    }
    ~read_only_copy() {
        if (p_) munmap(p_, size_);
    }
    read_only_copy(const read_only_copy &) = delete;
    read_only_copy &operator=(const read_only_copy &) = delete;
    const void *data() const { return p_; }
    size_t size() const { return len_; }

private:
    void *p_ = nullptr;
    size_t len_, size_ = 0;
};

struct run {
    int rc = 0;
    std::string pdf, err;
};

run from_file(const std::string &path, const sheetlay_options &o) {
    run r;
    std::string out = testtools::tmp_path("meminfile");
    char err[512] = "";
    r.rc = sheetlay_nup(path.c_str(), out.c_str(), &o, err, sizeof err);
    r.err = err;
    if (auto b = testtools::read_file(out)) r.pdf = *b;
    testtools::remove_file(out);
    return r;
}

run from_memory(const read_only_copy &in, const sheetlay_options &o) {
    run r;
    void *mem = nullptr;
    size_t len = 0;
    char err[512] = "";
    r.rc = sheetlay_nup_mem(in.data(), in.size(), &mem, &len, &o, err, sizeof err);
    r.err = err;
    if (mem) r.pdf.assign(static_cast<const char *>(mem), len);
    sheetlay_free(mem);
    return r;
}

// The same bytes given twice as two inputs of one job.
run twice_from_memory(const read_only_copy &in, const sheetlay_options &o) {
    run r;
    sheetlay_input inputs[2] = {};
    for (auto &i : inputs) {
        i.data = in.data();
        i.data_len = in.size();
        i.password = o.password;
    }
    sheetlay_options jo = o;
    jo.password = nullptr;
    void *mem = nullptr;
    size_t len = 0;
    char err[512] = "";
    r.rc = sheetlay_nup_inputs_mem(inputs, 2, &mem, &len, &jo, err, sizeof err);
    r.err = err;
    if (mem) r.pdf.assign(static_cast<const char *>(mem), len);
    sheetlay_free(mem);
    return r;
}

struct input_case {
    const char *name;
    const char *file;                 // in the corpus
    std::vector<std::string> qpdf;    // encryption arguments, or none for the file as it is
    const char *password;
};

TEST(MemoryInput, ReadInPlaceGivesTheFileOutput) {
    REQUIRE_CORPUS();
    const std::vector<input_case> cases = {
        {"plain", "pdflatex-outline.pdf", {}, nullptr},
        {"object streams", "GeoTopo-komprimiert.pdf", {}, nullptr},
        {"annotations", "annotated_pdf.pdf", {}, nullptr},
        {"RC4-128 object streams", "pdflatex-outline.pdf",
         {"--object-streams=generate", "--encrypt", "user", "owner", "128", "--"}, "user"},
        {"AES-128", "annotated_pdf.pdf", {"--encrypt", "user", "owner", "128", "--use-aes=y", "--"}, "owner"},
        {"AES-256 object streams", "pdflatex-4-pages.pdf",
         {"--object-streams=generate", "--encrypt", "user", "owner", "256", "--"}, "user"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = testtools::corpus_dir() + "/" + c.file;
        std::string made;
        if (!c.qpdf.empty()) {
            if (!testtools::have_qpdf()) continue;
            made = testtools::tmp_path("meminenc");
            std::vector<std::string> argv{testtools::qpdf_path(), "--allow-weak-crypto"};
            argv.insert(argv.end(), c.qpdf.begin(), c.qpdf.end());
            argv.push_back(path);
            argv.push_back(made);
            auto q = testtools::run_cmd(argv);
            ASSERT_TRUE(q.status == 0 || q.status == 3) << q.out;
            path = made;
        }
        auto bytes = testtools::read_file(path);
        ASSERT_TRUE(bytes);
        read_only_copy in(*bytes);
        ASSERT_TRUE(in.data());
        for (int32_t mode : {SHEETLAY_COMPRESS_NONE, SHEETLAY_COMPRESS_COMPACT}) {
            SCOPED_TRACE(mode);
            sheetlay_options o;
            sheetlay_options_init(&o);
            o.compress = mode;
            o.password = c.password;
            run f = from_file(path, o);
            ASSERT_EQ(f.rc, 1) << f.err;
            run m = from_memory(in, o);
            ASSERT_EQ(m.rc, 1) << m.err;
            EXPECT_TRUE(m.pdf == f.pdf);
            run two = twice_from_memory(in, o);
            ASSERT_EQ(two.rc, 1) << two.err;
            EXPECT_GT(two.pdf.size(), f.pdf.size() / 2);
        }
        // The input is what it was (it could not have been written, but a
        // failure to map would have skipped the point of the test).
        EXPECT_EQ(std::memcmp(in.data(), bytes->data(), bytes->size()), 0);
        if (!made.empty()) testtools::remove_file(made);
    }
}
#else
TEST(MemoryInput, ReadInPlaceGivesTheFileOutput) { GTEST_SKIP() << "read-only mappings are POSIX here"; }
#endif

}  // namespace
