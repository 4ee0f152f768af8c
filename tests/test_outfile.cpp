// Putting the output at its path (nup/outfile): a new file, a replaced one,
// failures that must leave an existing file as it was and no temporary file
// behind, and the paths written in place (devices, pipes, links).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "nup/outfile.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own for each case, so that its listing shows every file a
// call left behind.
std::string fresh_dir(const std::string &stem) {
    std::string d = testtools::tmp_path(stem, "");
    fs::create_directories(d);
    return d;
}

std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Byte equality that reports sizes and the first difference, not the bytes.
::testing::AssertionResult same_bytes(const std::string &got, const std::string &want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << got.size() << " bytes where " << want.size()
                                         << " were expected, first difference at " << i;
}

bool write_output(const std::string &path, const std::string &bytes) {
    return sheetlay::nup::write_output(path.c_str(), reinterpret_cast<const unsigned char *>(bytes.data()),
                                       bytes.size());
}

// Bytes larger than one write of the C runtime's buffer and unlike any old file.
std::string sample(size_t n, char seed) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
    return s;
}

TEST(OutFile, NewOrReplacedFileHoldsExactlyTheBytes) {
    struct Case {
        const char *name;
        bool old_file;
        std::string old_bytes;
    } cases[] = {
        {"no file yet", false, ""},
        {"empty file", true, ""},
        {"shorter file", true, "old"},
        {"longer file", true, std::string(300000, 'z')},
    };
    const std::string bytes = sample(200000, 'A');
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = fresh_dir("of-new");
        std::string path = dir + "/out.pdf";
        if (c.old_file) ASSERT_TRUE(testtools::write_file(path, c.old_bytes));
        ASSERT_TRUE(write_output(path, bytes)) << sheetlay::g_err;
        EXPECT_TRUE(same_bytes(testtools::read_file(path).value_or(""), bytes));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});
        fs::remove_all(dir);
    }
}

TEST(OutFile, NameWithoutFolderIsWrittenInTheWorkingFolder) {
    std::string dir = fresh_dir("of-cwd");
    fs::path was = fs::current_path();
    fs::current_path(dir);
    bool ok = write_output("out.pdf", "%PDF-1.4\n");
    fs::current_path(was);
    EXPECT_TRUE(ok) << sheetlay::g_err;
    EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});
    fs::remove_all(dir);
}

#ifndef _WIN32

// Runs `work` in a child process (so that a resource limit set for it stays
// there) and returns the error text it ended with, "" on success.
std::string run_in_child(rlim_t size_limit, const std::function<bool()> &work) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (size_limit > 0) {
            // Writing past the limit fails with EFBIG instead of a signal.
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {size_limit, size_limit};
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        bool ok = work();
        const char *msg = ok ? "" : sheetlay::g_err;
        ssize_t w = ::write(fds[1], msg, std::strlen(msg));
        (void)w;
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    std::string msg;
    char b[256];
    for (ssize_t n; (n = ::read(fds[0], b, sizeof b)) > 0;) msg.append(b, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "child did not exit";
    if (WEXITSTATUS(status) == 0 && !msg.empty()) return "success with a message: " + msg;
    if (WEXITSTATUS(status) != 0 && msg.empty()) return "failure without a message";
    return msg;
}

std::string write_in_child(const std::string &path, const std::string &bytes, rlim_t size_limit) {
    return run_in_child(size_limit, [&] { return write_output(path, bytes); });
}

TEST(OutFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
    const bool root = ::geteuid() == 0;
    enum class Setup { none, size_limit, folder_read_only, file_read_only, missing_folder };
    struct Case {
        const char *name;
        Setup setup;
        bool needs_permissions;  // the superuser writes anyway
        const char *message;     // followed by the path
    } cases[] = {
        // The temporary file is made, then a write fails half way.
        {"file size limit", Setup::size_limit, false, "short write to "},
        {"folder not writable", Setup::folder_read_only, true, "cannot write "},
        {"file not writable", Setup::file_read_only, true, "cannot write "},
        {"folder missing", Setup::missing_folder, false, "cannot write "},
    };
    const std::string old_bytes = sample(50000, 'a');
    const std::string bytes = sample(1 << 20, 'A');
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_permissions && root) {
            std::printf("[ skipped  ] %s: running as the superuser\n", c.name);
            continue;
        }
        std::string dir = fresh_dir("of-fail");
        std::string old_path = dir + "/out.pdf";
        ASSERT_TRUE(testtools::write_file(old_path, old_bytes));
        std::string path = c.setup == Setup::missing_folder ? dir + "/missing/out.pdf" : old_path;
        if (c.setup == Setup::folder_read_only) ::chmod(dir.c_str(), 0555);
        if (c.setup == Setup::file_read_only) ::chmod(old_path.c_str(), 0444);
        rlim_t limit = c.setup == Setup::size_limit ? 4096 : 0;

        EXPECT_EQ(write_in_child(path, bytes, limit), c.message + path);

        ::chmod(dir.c_str(), 0755);
        EXPECT_TRUE(same_bytes(testtools::read_file(old_path).value_or("<gone>"), old_bytes));
        EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});
        ::chmod(old_path.c_str(), 0644);
        fs::remove_all(dir);
    }
}

TEST(OutFile, FailedCallThroughTheInterfaceKeepsTheOldFile) {
    // Loads, then fails while composing: the second page has no area.
    std::vector<pdfgen::PageSpec> pages(2);
    pages[1].crop_box = "[300 300 300 300]";
    std::string in = testtools::write_temp(pdfgen::make_simple_doc(pages), "of-in");
    std::string dir = fresh_dir("of-api");
    std::string path = dir + "/out.pdf";
    ASSERT_TRUE(testtools::write_file(path, "precious"));
    EXPECT_EQ(sheetlay_create_sized(in.c_str(), path.c_str(), 2, 0, 1), 0);
    EXPECT_STREQ(sheetlay_last_error(), "failed to build output (damaged page tree or content)");
    EXPECT_EQ(testtools::read_file(path).value_or(""), "precious");
    EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});

    // A good input replaces it with what a fresh path receives.
    std::string good = testtools::write_temp(pdfgen::make_pages(3), "of-in");
    std::string fresh = dir + "/fresh.pdf";
    ASSERT_EQ(sheetlay_create(good.c_str(), fresh.c_str(), 4, 0), 1) << sheetlay_last_error();
    ASSERT_EQ(sheetlay_create(good.c_str(), path.c_str(), 4, 0), 1) << sheetlay_last_error();
    EXPECT_TRUE(same_bytes(testtools::read_file(path).value_or(""), testtools::read_file(fresh).value_or("-")));
    EXPECT_EQ(listing(dir), (std::vector<std::string>{"fresh.pdf", "out.pdf"}));
    testtools::remove_file(in);
    testtools::remove_file(good);
    fs::remove_all(dir);
}

// The output streams to its temporary file while it is composed: a disk that
// fills up half way through (a file size limit past the first buffer, far
// below the output) stops
// the call, in either mode, with the old file intact and nothing left over.
TEST(OutFile, DiskFullWhileStreamingKeepsTheOldFile) {
    pdfgen::DocSpec plan;
    uint32_t x = 12345;
    for (int i = 0; i < 400; ++i) {
        pdfgen::PageSpec p;
        for (int k = 0; k < 300; ++k) {
            x = x * 1103515245u + 12345u;
            p.content += std::to_string(x % 600) + " " + std::to_string((x >> 10) % 800) + " 3 3 re f\n";
        }
        p.flate = i % 2 == 0;
        plan.pages.push_back(p);
    }
    std::string in = testtools::write_temp(pdfgen::make_doc(plan), "of-big");
    for (int32_t mode : {SHEETLAY_COMPRESS_COMPACT, SHEETLAY_COMPRESS_NONE}) {
        SCOPED_TRACE(mode);
        std::string dir = fresh_dir("of-full");
        std::string path = dir + "/out.pdf";
        ASSERT_TRUE(testtools::write_file(path, "precious"));
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.compress = mode;
        o.columns = o.rows = 1;  // one page a sheet: the output outgrows the file buffer
        auto call = [&] { return sheetlay_nup(in.c_str(), path.c_str(), &o, nullptr, 0) == 1; };
        // Unlimited, the output is several times the limit below.
        EXPECT_EQ(run_in_child(0, call), "");
        ASSERT_GT(fs::file_size(path), 600000u);
        ASSERT_TRUE(testtools::write_file(path, "precious"));
        EXPECT_EQ(run_in_child(300000, call), "short write to " + path);
        EXPECT_EQ(testtools::read_file(path).value_or("<gone>"), "precious");
        EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});
        fs::remove_all(dir);
    }
    testtools::remove_file(in);
}

TEST(OutFile, DevicesAreWrittenInPlace) {
    struct Case {
        const char *path;
        bool ok;
    } cases[] = {{"/dev/null", true}, {"/dev/full", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        struct stat st;
        if (::stat(c.path, &st) != 0) continue;
        bool ok = write_output(c.path, sample(100000, 'x'));
        EXPECT_EQ(ok, c.ok);
        if (!ok) {
            std::string err = sheetlay::g_err;
            EXPECT_TRUE(err == std::string("short write to ") + c.path ||
                        err == std::string("close error on ") + c.path)
                << err;
        }
        ASSERT_EQ(::stat(c.path, &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "no longer a device";
    }
}

TEST(OutFile, PipeReceivesTheBytesAndStaysAPipe) {
    std::string dir = fresh_dir("of-fifo");
    std::string fifo = dir + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);
        if (fd < 0) return;
        char b[65536];
        for (ssize_t n; (n = ::read(fd, b, sizeof b)) > 0;) got.append(b, static_cast<size_t>(n));
        ::close(fd);
    });
    const std::string bytes = sample(500000, 'P');
    bool ok = write_output(fifo, bytes);
    reader.join();
    EXPECT_TRUE(ok) << sheetlay::g_err;
    EXPECT_TRUE(same_bytes(got, bytes));
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"pipe"});
    fs::remove_all(dir);
}

TEST(OutFile, LinkStaysALinkAndItsTargetGetsTheBytes) {
    struct Case {
        const char *name;
        bool target_exists;
    } cases[] = {{"link to a file", true}, {"link to nothing yet", false}};
    const std::string bytes = sample(70000, 'L');
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = fresh_dir("of-link");
        if (c.target_exists) ASSERT_TRUE(testtools::write_file(dir + "/target.pdf", "old"));
        ASSERT_EQ(::symlink("target.pdf", (dir + "/link.pdf").c_str()), 0);
        ASSERT_TRUE(write_output(dir + "/link.pdf", bytes)) << sheetlay::g_err;
        struct stat st;
        ASSERT_EQ(::lstat((dir + "/link.pdf").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_TRUE(same_bytes(testtools::read_file(dir + "/target.pdf").value_or(""), bytes));
        EXPECT_EQ(listing(dir), (std::vector<std::string>{"link.pdf", "target.pdf"}));
        fs::remove_all(dir);
    }
}

TEST(OutFile, ReplacementKeepsThePermissionBits) {
    std::string dir = fresh_dir("of-mode");
    std::string path = dir + "/out.pdf";
    ASSERT_TRUE(testtools::write_file(path, "old"));
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    ASSERT_TRUE(write_output(path, "new bytes"));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    fs::remove_all(dir);
}

#endif  // !_WIN32

TEST(OutFile, ConcurrentWritersToOnePathLeaveOneWholeFile) {
    // Each replacement is whole: the file ends as one writer's bytes, never
    // a mixture, and every temporary name was a distinct file.
    std::string dir = fresh_dir("of-race");
    std::string path = dir + "/out.pdf";
    const int kThreads = 4, kRounds = 15;
    std::vector<std::string> versions;
    for (int t = 0; t < kThreads; ++t) versions.push_back(sample(100000 + 1000 * t, static_cast<char>('a' + t)));
    std::atomic<int> failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < kThreads; ++t)
        pool.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                if (!write_output(path, versions[static_cast<size_t>(t)])) failures.fetch_add(1);
        });
    for (auto &th : pool) th.join();
    EXPECT_EQ(failures.load(), 0);
    std::string got = testtools::read_file(path).value_or("");
    EXPECT_NE(std::find(versions.begin(), versions.end(), got), versions.end()) << got.size() << " bytes";
    EXPECT_EQ(listing(dir), std::vector<std::string>{"out.pdf"});
    fs::remove_all(dir);
}

}  // namespace
