// The temporary file and its rename over the output path (see outfile.h).
//
// Only C runtime and operating system calls: open with O_CREAT|O_EXCL makes
// the temporary name ours without a race (another process or thread that
// picked the same name gets EEXIST and the next name is tried). A symbolic
// link at the output path is followed, so the file it names is replaced and
// the link stays. A file that exists but may not be written is refused as
// before ("cannot write"), not replaced behind its owner's back; its
// replacement keeps its permission bits.
#include "nup/outfile.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include "error.h"
#include "nup/pdfout.h"

namespace sheetlay::nup {

namespace {

// The output as today's direct write: for devices and pipes.
bool write_direct(const char *path, const unsigned char *data, size_t n) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        set_error("cannot write %s", path);
        return false;
    }
    size_t w = std::fwrite(data, 1, n, f);
    if (w != n) {
        set_error("short write to %s", path);
        if (std::fclose(f) != 0) set_error("close error on %s", path);
        return false;
    }
    if (std::fclose(f) != 0) {
        set_error("close error on %s", path);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The few calls that differ between POSIX and Windows

#ifdef _WIN32
using file_stat = struct _stat64;
int stat_path(const char *p, file_stat *st) { return _stat64(p, st); }
bool is_regular_file(const file_stat &st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
bool may_write(const char *p) { return _access(p, 2) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(_getpid()); }
int open_new(const char *p) {
    return _open(p, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
long write_some(int fd, const unsigned char *p, size_t n) {
    unsigned chunk = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
    return _write(fd, p, chunk);
}
int close_file(int fd) { return _close(fd); }
// Reads back what was written: the file position moves and is put back at
// the end, where the next write goes.
long read_at(int fd, unsigned char *p, size_t n, uint64_t at) {
    if (_lseeki64(fd, static_cast<__int64>(at), SEEK_SET) < 0) return -1;
    int r = _read(fd, p, n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n));
    if (_lseeki64(fd, 0, SEEK_END) < 0) return -1;
    return r;
}
void keep_mode(int, const file_stat &) {}
bool is_separator(char c) { return c == '/' || c == '\\' || c == ':'; }
// The C runtime's rename does not replace an existing file. MoveFileEx does,
// in one step: at no moment is the output path without a file, and when it
// fails the old file is still there.
bool replace_file(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}
// Names that stand for devices in every folder (NUL, CON, COM1...): _stat
// may not find them, and renaming over them must not be tried.
bool names_device(const char *base) {
    static const char *const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t len = 0;
    while (base[len] && base[len] != '.' && base[len] != ' ' && base[len] != ':') ++len;
    char up[8];
    if (len == 0 || len >= sizeof up) return false;
    for (size_t i = 0; i < len; ++i) {
        char c = base[i];
        up[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    up[len] = '\0';
    for (const char *k : kNames)
        if (std::strcmp(up, k) == 0) return true;
    return len == 4 && (std::memcmp(up, "COM", 3) == 0 || std::memcmp(up, "LPT", 3) == 0) &&
           up[3] >= '1' && up[3] <= '9';
}
#else
using file_stat = struct stat;
int stat_path(const char *p, file_stat *st) { return ::stat(p, st); }
bool is_regular_file(const file_stat &st) { return S_ISREG(st.st_mode); }
bool may_write(const char *p) { return ::access(p, W_OK) == 0; }
unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }
int open_new(const char *p) {
    int flags = O_RDWR | O_CREAT | O_EXCL;  // read back for repeated content
#ifdef O_CLOEXEC
    flags |= O_CLOEXEC;
#endif
    return ::open(p, flags, 0666);
}
long write_some(int fd, const unsigned char *p, size_t n) {
    return static_cast<long>(::write(fd, p, n > (1u << 30) ? (1u << 30) : n));
}
int close_file(int fd) { return ::close(fd); }
long read_at(int fd, unsigned char *p, size_t n, uint64_t at) {
    return static_cast<long>(::pread(fd, p, n > (1u << 30) ? (1u << 30) : n, static_cast<off_t>(at)));
}
// The replacement keeps the permission bits of the file it replaces (the
// owner stays the writer's: only the superuser could give it away).
void keep_mode(int fd, const file_stat &st) { (void)::fchmod(fd, st.st_mode & 07777); }
bool is_separator(char c) { return c == '/'; }
bool replace_file(const char *from, const char *to) { return std::rename(from, to) == 0; }
bool names_device(const char *) { return false; }
#endif

// Where the bytes go in the end: the output path, or the file a symbolic
// link there names.
struct destination {
    std::string path;
    bool direct = false;  // a device or pipe: written in place
    bool exists = false;  // a regular file stands there
    file_stat st{};
};

destination find_destination(const char *path) {
    destination to;
    to.path = path;
#ifndef _WIN32
    struct stat lst;
    if (::lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char *real = ::realpath(path, nullptr);
        if (!real) {
            // A link to nothing (yet): writing through it creates its target.
            to.direct = true;
            return to;
        }
        to.path = real;
        std::free(real);
    }
#endif
    const char *base = to.path.c_str();
    for (const char *c = base; *c; ++c)
        if (is_separator(*c)) base = c + 1;
    if (names_device(base)) {
        to.direct = true;
        return to;
    }
    if (stat_path(to.path.c_str(), &to.st) == 0) {
        to.exists = is_regular_file(to.st);
        to.direct = !to.exists;
    }
    return to;
}

// Opens a new file beside `target` under a name no other file has:
// ".<name>.XXXXXX". The name is in *tmp; -1 when none could be made.
int open_temporary(const std::string &target, std::string *tmp) {
    static std::atomic<uint32_t> counter{0};
    size_t dir = target.size();
    while (dir > 0 && !is_separator(target[dir - 1])) --dir;
    std::string base = target.substr(dir);
    // A name near the file system's limit would not take the prefix and
    // suffix.
    if (base.size() > 200) base = "sheetlay";
    const unsigned long pid = process_id();
    for (int attempt = 0; attempt < 64; ++attempt) {
        // Six letters and digits from the process and a counter, mixed so
        // that neighbouring counts give unlike names.
        uint64_t x = (static_cast<uint64_t>(pid) << 32) ^ counter.fetch_add(1);
        x ^= x >> 31;
        x *= 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        char suffix[7];
        for (int i = 0; i < 6; ++i) {
            suffix[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[x % 36];
            x /= 36;
        }
        suffix[6] = '\0';
        *tmp = target.substr(0, dir) + "." + base + "." + suffix;
        int fd = open_new(tmp->c_str());
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The streamed output

namespace {

constexpr size_t kFileBuffer = size_t{256} << 10;

// The file buffer of the thread's current call, kept between calls so that
// its pages are faulted in once. A call made from inside another (from a
// progress callback) takes a buffer of its own.
struct thread_buffer {
    std::unique_ptr<unsigned char[]> p;
    bool busy = false;
};
thread_local thread_buffer t_buffer;

}  // namespace

output::output(const char *path) : path_(path ? path : "") {
    if (!path) return;
    destination to = find_destination(path);
    direct_ = to.direct;
    if (direct_) return;
    target_ = to.path;
    exists_ = to.exists;
    if (to.exists) mode_ = static_cast<unsigned>(to.st.st_mode);
    if (!t_buffer.busy) {
        if (!t_buffer.p) t_buffer.p.reset(new unsigned char[kFileBuffer]);
        t_buffer.busy = true;
        fbuf_ = t_buffer.p.get();
        thread_buf_ = true;
    } else {
        own_buf_.reset(new unsigned char[kFileBuffer]);
        fbuf_ = own_buf_.get();
    }
}

output::~output() {
    if (thread_buf_) t_buffer.busy = false;
    std::free(mem_);
    if (fd_ >= 0) {
        close_file(fd_);
        std::remove(tmp_.c_str());
    }
}

void output::open() {
    if (exists_ && !may_write(target_.c_str())) {
        set_error("cannot write %s", path_.c_str());
        throw compose_error{};
    }
    fd_ = open_temporary(target_, &tmp_);
    if (fd_ < 0) {
        set_error("cannot write %s", path_.c_str());
        throw compose_error{};
    }
    if (exists_) {
        file_stat st{};
        st.st_mode = static_cast<decltype(st.st_mode)>(mode_);
        keep_mode(fd_, st);
    }
}

void output::drain() {
    if (fill_ == 0) return;
    if (fd_ < 0) open();
    size_t done = 0;
    while (done < fill_) {
        long w = write_some(fd_, fbuf_ + done, fill_ - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            set_error("short write to %s", path_.c_str());
            throw compose_error{};
        }
        done += static_cast<size_t>(w);
    }
    fill_ = 0;
}

void output::put(const unsigned char *p, size_t n) {
    if (!fbuf_) {
        // Memory: one block that doubles as it fills.
        if (n > mem_cap_ - pos_) {
            size_t cap = mem_cap_ ? mem_cap_ : (size_t{1} << 20);
            while (cap - pos_ < n) {
                if (cap > SIZE_MAX / 2) throw std::bad_alloc();
                cap *= 2;
            }
            void *q = std::realloc(mem_, cap);
            if (!q) throw std::bad_alloc();
            mem_ = static_cast<unsigned char *>(q);
            mem_cap_ = cap;
        }
        if (n) std::memcpy(mem_ + pos_, p, n);
        pos_ += n;
        return;
    }
    pos_ += n;
    while (n) {
        if (fill_ == kFileBuffer) drain();
        size_t k = kFileBuffer - fill_ < n ? kFileBuffer - fill_ : n;
        std::memcpy(fbuf_ + fill_, p, k);
        fill_ += k;
        p += k;
        n -= k;
    }
}

void output::read(uint64_t at, unsigned char *dst, size_t n) {
    if (at > pos_ || n > pos_ - at) fail(kGenericFailure);
    if (!fbuf_) {
        std::memcpy(dst, mem_ + at, n);
        return;
    }
    drain();
    while (n) {
        long r = read_at(fd_, dst, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            set_error("cannot read back %s", path_.c_str());
            throw compose_error{};
        }
        dst += r;
        at += static_cast<uint64_t>(r);
        n -= static_cast<size_t>(r);
    }
}

bool output::commit() {
    if (!fbuf_) return !direct_ || write_direct(path_.c_str(), mem_, static_cast<size_t>(pos_));
    try {
        drain();
        if (fd_ < 0) open();  // an empty file
    } catch (const compose_error &) {
        return false;
    }
    int fd = fd_;
    fd_ = -1;
    if (close_file(fd) != 0) {
        set_error("close error on %s", path_.c_str());
        std::remove(tmp_.c_str());
        return false;
    }
    if (!replace_file(tmp_.c_str(), target_.c_str())) {
        set_error("cannot write %s", path_.c_str());
        std::remove(tmp_.c_str());
        return false;
    }
    return true;
}

unsigned char *output::release(size_t *n) {
    *n = static_cast<size_t>(pos_);
    unsigned char *p = mem_;
    mem_ = nullptr;
    pos_ = mem_cap_ = 0;
    if (!p) p = static_cast<unsigned char *>(std::malloc(1));
    if (!p) throw std::bad_alloc();
    return p;
}

bool write_output(const char *path, const unsigned char *data, size_t n) {
    output out(path);
    try {
        out.put(data, n);
    } catch (const compose_error &) {
        return false;
    }
    return out.commit();
}

}  // namespace sheetlay::nup
