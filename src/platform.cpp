// Loading the driver module, and the thread-specific slot of the stack check.
#include "platform.h"

#if defined(_WIN32)
namespace varnel {

// A directory or a device is never a module; nor is an empty path.
ModuleHandle openDriver(const char* path, DriverPaths&) noexcept {
    if (!*path) return nullptr;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return nullptr;
    return LoadLibraryA(path);
}

}  // namespace varnel
#else
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace varnel {

const std::size_t systemPageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

namespace stackslot {
pthread_key_t key;
std::atomic<int> state{kUnmade};
namespace {
pthread_once_t once = PTHREAD_ONCE_INIT;
void create() noexcept { state.store(pthread_key_create(&key, nullptr) == 0 ? kMade : kNone); }

// Every unload would otherwise take one of the process's 1,024 keys for good.
__attribute__((destructor)) void giveBack() noexcept {
    if (state.load() == kMade) pthread_key_delete(key);
}
}  // namespace
void make() noexcept { pthread_once(&once, create); }
}  // namespace stackslot

namespace {

// `folder` "/" `name` into `into`; false where it does not fit.
bool join(char (&into)[PATH_MAX], const char* folder, const char* name) noexcept {
    const std::size_t folderLength = std::strlen(folder);
    const std::size_t nameLength = std::strlen(name);
    if (folderLength + nameLength + 2 > sizeof into) return false;
    std::memcpy(into, folder, folderLength);
    into[folderLength] = '/';
    std::memcpy(into + folderLength + 1, name, nameLength + 1);
    return true;
}

// The length of the loader's token `name` at `text` (just after a '$'),
// braced or not, or 0: the loader's own rule.
std::size_t tokenAt(const char* text, const char* name) noexcept {
    const std::size_t length = std::strlen(name);
    if (*text == '{')
        return std::strncmp(text + 1, name, length) == 0 && text[length + 1] == '}' ? length + 2 : 0;
    const auto next = static_cast<unsigned char>(text[length]);
    return std::strncmp(text, name, length) == 0 && !std::isalnum(next) && next != '_' ? length : 0;
}

bool holdsToken(const char* path) noexcept {
    for (const char* dollar = std::strchr(path, '$'); dollar; dollar = std::strchr(dollar + 1, '$'))
        if (tokenAt(dollar + 1, "ORIGIN") || tokenAt(dollar + 1, "LIB") || tokenAt(dollar + 1, "PLATFORM"))
            return true;
    return false;
}

// The loader's record of this library: its path and its ELF header.
bool ownImage(Dl_info& info) noexcept {
    return dladdr(reinterpret_cast<void*>(&ownImage), &info) && info.dli_fname && info.dli_fbase;
}

// `path` into `into` with $ORIGIN expanded as the loader expands it in a path
// handed to dlopen from here: this library's folder. False where it does not
// fit, and where the path holds $LIB or $PLATFORM, whose values only the
// loader knows, or $ORIGIN in a process the loader treats as privileged.
bool expandPath(char (&into)[PATH_MAX], const char* path) noexcept {
    Dl_info info;
    std::size_t used = 0;
    for (const char* at = path; *at; ++at) {
        const char* piece = at;
        std::size_t length = 1;
        if (*at == '$') {
            if (tokenAt(at + 1, "LIB") || tokenAt(at + 1, "PLATFORM")) return false;
            if (const std::size_t token = tokenAt(at + 1, "ORIGIN")) {
                if (getauxval(AT_SECURE) || !ownImage(info)) return false;
                const char* slash = std::strrchr(info.dli_fname, '/');
                if (!slash) return false;
                piece = info.dli_fname;
                length = static_cast<std::size_t>(slash - info.dli_fname);
                at += token;
            }
        }
        if (used + length >= sizeof into) return false;
        std::memcpy(into + used, piece, length);
        used += length;
    }
    into[used] = '\0';
    return true;
}

bool isRegularFile(const char* path) noexcept {
    struct stat file;
    return stat(path, &file) == 0 && S_ISREG(file.st_mode);
}

// Whether the file at `path` is ELF of this library's class and machine: the
// loader passes over any other file its search finds.
bool isOwnKindOfElf(const char* path) noexcept {
    Dl_info info;
    if (!ownImage(info)) return false;
    const auto* own = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    const int file = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file < 0) return false;
    ElfW(Ehdr) header;
    const ssize_t got = read(file, &header, sizeof header);
    close(file);
    return got == static_cast<ssize_t>(sizeof header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == own->e_ident[EI_CLASS] && header.e_machine == own->e_machine;
}

// The canonical path of the regular file `path` names, into `real`: the path
// the kernel gives the file opened (without opening the file itself, which
// would block on a FIFO), or, without /proc, realpath's.
bool canonicalRegularFile(const char* path, char (&real)[PATH_MAX]) noexcept {
    const int file = open(path, O_PATH | O_CLOEXEC);
    if (file < 0) return false;
    struct stat status;
    const bool regular = fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    char link[32] = "/proc/self/fd/";
    char digits[12];
    char* const end = digits + sizeof digits - 1;
    *end = '\0';
    char* first = end;
    for (unsigned int n = static_cast<unsigned int>(file); first == end || n; n /= 10)
        *--first = static_cast<char>('0' + n % 10);
    std::strcat(link, first);
    const ssize_t length = regular ? readlink(link, real, sizeof real) : -1;
    close(file);
    if (!regular) return false;
    if (length > 0 && length < static_cast<ssize_t>(sizeof real) && real[0] == '/') {
        real[length] = '\0';
        return true;
    }
    return realpath(path, real) && isRegularFile(real);
}

// Loads a regular file by its canonical path: the loader then follows no
// link that could be swapped after the check, and the driver's $ORIGIN is the
// folder it really lies in.
ModuleHandle loadRegularFile(const char* path, char (&real)[PATH_MAX]) noexcept {
    if (!canonicalRegularFile(path, real) || holdsToken(real)) return nullptr;
    return dlopen(real, RTLD_NOW);
}

// The folders the loader would search for a dlopen of a bare name from this
// library (LD_LIBRARY_PATH, run paths, the system folders), in their order,
// into `room`; null where they do not fit.
const Dl_serinfo* searchPath(DriverPaths& room) noexcept {
    Dl_info info;
    if (!ownImage(info)) return nullptr;
    void* self = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!self) return nullptr;
    auto* search = reinterpret_cast<Dl_serinfo*>(room.search);
    Dl_serinfo size;
    const bool read = dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size <= sizeof room.search &&
                      dlinfo(self, RTLD_DI_SERINFOSIZE, search) == 0 &&
                      dlinfo(self, RTLD_DI_SERINFO, search) == 0;
    dlclose(self);
    return read ? search : nullptr;
}

// A bare name: looked for where the loader would look, in its order.
// Something other than a regular file there refuses the name, since the
// loader would open it; the first ELF file of this library's kind is loaded by
// its path. Found nowhere, the name goes to the loader, whose cache
// (ld.so.cache) lists only files root installed.
ModuleHandle searchAndLoad(const char* name, DriverPaths& room) noexcept {
    const Dl_serinfo* search = searchPath(room);
    if (!search) return nullptr;
    for (unsigned int i = 0; i < search->dls_cnt; ++i) {
        const char* folder = *search->dls_serpath[i].dls_name ? search->dls_serpath[i].dls_name : ".";
        if (!join(room.candidate, folder, name)) return nullptr;
        struct stat file;
        if (stat(room.candidate, &file) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) continue;
            return nullptr;
        }
        if (!S_ISREG(file.st_mode)) return nullptr;
        if (isOwnKindOfElf(room.candidate)) return loadRegularFile(room.candidate, room.real);
    }
    return dlopen(name, RTLD_NOW);
}

}  // namespace

ModuleHandle openDriver(const char* path, DriverPaths& room) noexcept {
    if (!*path) return nullptr;  // dlopen("") would hand back the main program
    if (!std::strchr(path, '/')) return searchAndLoad(path, room);
    return expandPath(room.candidate, path) ? loadRegularFile(room.candidate, room.real) : nullptr;
}

}  // namespace varnel
#endif
