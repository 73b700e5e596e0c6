#include "PHPIni.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vesk/foundation/UUID.hpp"
#include "vesk/system/Fd.hpp"

namespace vesk::helper {

namespace {

constexpr int kDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
/// More than any ini file of a package; the rest is not looked at.
constexpr std::size_t kIniLimit = std::size_t{64} * 1024;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool containsXdebug(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), lower);
    return folded.find("xdebug") != std::string::npos;
}

/// Root's directory for the copies, made when missing; refused unless it is
/// a directory of the helper's own that no one else may write.
Fd scanRoot(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot make " + path);
    Fd dir(::open(path.c_str(), kDirectory));
    if (!dir) fail("cannot open " + path);
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) fail("cannot look at " + path);
    if (st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        errno = EPERM;
        fail(path + " is not root's alone");
    }
    return dir;
}

void removeDirectory(int parent, const std::string& name) {
    const int fd = ::openat(parent, name.c_str(), kDirectory);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            ::unlinkat(::dirfd(dir), e->d_name, 0);
        }
    }
    ::closedir(dir);
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

/// Whether Debian's file `name` (a link into mods-available, as Debian makes
/// them) loads Xdebug.
bool isXdebugFile(int conf, const char* name) {
    if (containsXdebug(name)) return true;
    const Fd fd(::openat(conf, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string text(kIniLimit, '\0');
    const ssize_t n = ::read(fd.get(), text.data(), text.size());
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return loadsXdebug(text);
}

}  // namespace

bool loadsXdebug(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        line.remove_prefix(first);
        std::string key(line.substr(0, std::min(line.size(), std::size_t{14})));
        std::transform(key.begin(), key.end(), key.begin(), lower);
        if (key != "zend_extension") continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (line.substr(14, equals - 14).find_first_not_of(" \t") != std::string_view::npos) {
            continue;  // another key that starts the same way
        }
        std::string_view value = line.substr(equals + 1);
        value = value.substr(0, value.find(';'));
        if (containsXdebug(value)) return true;
    }
    return false;
}

std::optional<std::string> makeScanDirectory(const EnvironmentLayout& layout,
                                             const std::string& version) {
    const std::string source = layout.debianPHPDir + "/" + version + "/fpm/conf.d";
    DIR* conf = ::opendir(source.c_str());
    if (conf == nullptr) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(conf)) {
        const std::string_view name(e->d_name);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".ini" && name.front() != '.' &&
            !isXdebugFile(::dirfd(conf), e->d_name)) {
            names.emplace_back(name);
        }
    }
    ::closedir(conf);

    const Fd root = scanRoot(layout.phpScanRoot);
    // Made whole beside its place, then put there in one step: a master
    // starting meanwhile reads the old one or the new one.
    const std::string staged = "." + version + "." + UUID::random().uuidString();
    if (::mkdirat(root.get(), staged.c_str(), 0755) != 0) fail("cannot make " + staged);
    const Fd dir(::openat(root.get(), staged.c_str(), kDirectory));
    for (const auto& name : names) {
        std::string target = source;
        target.append("/").append(name);
        if (!dir || ::symlinkat(target.c_str(), dir.get(), name.c_str()) != 0) {
            removeDirectory(root.get(), staged);
            fail("cannot link " + name);
        }
    }
    if (::renameat2(root.get(), staged.c_str(), root.get(), version.c_str(), RENAME_EXCHANGE) ==
        0) {
        removeDirectory(root.get(), staged);  // the old one
    } else if (errno != ENOENT ||
               ::renameat(root.get(), staged.c_str(), root.get(), version.c_str()) != 0) {
        removeDirectory(root.get(), staged);
        fail("cannot put " + version + "'s ini files in place");
    }
    return layout.phpScanRoot + "/" + version;
}

std::vector<std::string> xdebugOptions(const PHPPool& pool) {
    if (!pool.xdebug) return {};
    // The mode is read once, when the master starts: a pool's own settings
    // come too late for it.
    return {"-d", "zend_extension=xdebug.so", "-d",
            "xdebug.mode=" + std::string(rawValue(*pool.xdebug))};
}

}  // namespace vesk::helper
