// vesk db list|create|drop and the snapshots: snapshot, snapshots, restore,
// forget. A snapshot is the dump tool's SQL compressed with zstd, written
// under a temporary name and renamed only when the dump tool succeeded and
// every byte was written, so a failed dump never leaves a snapshot that
// restores half a database; the index (SnapshotIndex) changes under its lock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "Command.hpp"
#include "vesk/foundation/Clock.hpp"
#include "vesk/foundation/VeskError.hpp"
#include "vesk/foundation/VeskPaths.hpp"
#include "vesk/services/DatabaseSnapshot.hpp"
#include "vesk/system/Fd.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::cli {

namespace fs = std::filesystem;

std::string sizeText(std::int64_t bytes) {
    constexpr std::int64_t kKiB = 1024;
    if (bytes < 10 * kKiB) return std::to_string(bytes) + " B";
    if (bytes < 10 * kKiB * kKiB) return std::to_string(bytes / kKiB) + " KB";
    return std::to_string(bytes / (kKiB * kKiB)) + " MB";
}

namespace {

std::string snapshotsDir() {
    return VeskPaths::servicesDataDir() + "/snapshots";
}

RecordFile<SnapshotIndex> snapshotIndex() {
    return RecordFile<SnapshotIndex>(snapshotsDir() + "/index.json");
}

/// The SQL service a command acts on: --service, else the first of
/// mariadb, mysql and postgresql the developer keeps running; it must run.
std::pair<ServiceType, ServiceRecipe> sqlService(const Arguments& args) {
    std::optional<ServiceType> type;
    if (const auto given = args.value("--service")) {
        type = fromRawValue<ServiceType>(*given);
        const auto recipe = type ? recipes::recipeFor(*type) : std::nullopt;
        if (!recipe || !recipe->isSQL()) {
            throw Failure{"--service takes mariadb, mysql or postgresql, not " + *given};
        }
    } else {
        const auto kept = currentSettings().autoStartServices;
        for (const ServiceType t :
             {ServiceType::mariadb, ServiceType::mysql, ServiceType::postgresql}) {
            if (std::find(kept.begin(), kept.end(), t) != kept.end()) {
                type = t;
                break;
            }
        }
        if (!type) {
            throw Failure{
                "no database service is kept running: vesk service start mariadb (or "
                "postgresql), or name one with --service"};
        }
    }
    const auto report = supervisorReport().read({});
    const auto* s = supervisorPid() ? report.find(std::string(rawValue(*type))) : nullptr;
    if (s == nullptr || s->status != ServiceStatus::running) {
        throw Failure{VeskError::serviceNotRunning(*type).errorDescription() +
                      ": vesk service start " + std::string(rawValue(*type))};
    }
    return {*type, *recipes::recipeFor(*type)};
}

std::string databaseName(const std::string& name) {
    if (!recipes::isDatabaseName(name)) {
        throw Failure{"\"" + name +
                      "\" is no database name Vesk takes: ASCII letters, digits and '_', not "
                      "starting with a digit, at most 63 of them"};
    }
    return name;
}

/// The environment of a client: the caller's with the recipe's additions.
std::vector<std::string> clientEnvironment(const CommandLine& c) {
    std::vector<std::string> environment = c.environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    return environment;
}

/// A client started beside this command, with the recipe's environment.
spawn::Start clientStart(const CommandLine& c) {
    spawn::Start request;
    request.program = c.program;
    request.arguments = c.arguments;
    request.environment = clientEnvironment(c);
    return request;
}

/// Runs one statement; its rows, or a Failure with the client's words.
std::string sql(const ServiceRecipe& recipe, const std::string& statement,
                const std::optional<std::string>& database = {}) {
    const CommandLine c = recipe.sqlCommand(defaultPort(recipe.type), statement, database);
    spawn::Request request;
    request.program = c.program;
    request.arguments = c.arguments;
    request.environment = clientEnvironment(c);
    request.output = spawn::Output::capture;
    request.limit = std::chrono::seconds(60);
    const auto result = spawn::run(request);
    if (result.exitStatus != 0) {
        std::string words = result.output;
        while (!words.empty() && words.back() == '\n') words.pop_back();
        throw Failure{
            VeskError::serviceFailed(recipe.type, words.empty() ? "its client failed" : words)
                .errorDescription()};
    }
    return result.output;
}

std::vector<std::string> databases(const ServiceRecipe& recipe) {
    std::vector<std::string> names;
    const std::string rows = sql(recipe, recipe.listStatement());
    std::size_t start = 0;
    while (start < rows.size()) {
        const auto end = std::min(rows.find('\n', start), rows.size());
        const std::string name = rows.substr(start, end - start);
        if (!name.empty() && !recipe.isSystemDatabase(name)) names.push_back(name);
        start = end + 1;
    }
    return names;
}

bool exists(const ServiceRecipe& recipe, const std::string& name) {
    const auto names = databases(recipe);
    return std::find(names.begin(), names.end(), name) != names.end();
}

/// The first line of what a tool wrote to `errors` (an unnamed file).
std::string toolSaid(int errors) {
    char buffer[600];
    const ssize_t n = ::pread(errors, buffer, sizeof buffer - 1, 0);
    std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    const auto nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

int waitChild(long pid) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Writes the whole of `bytes` to `fd`; false on a failure (errno set).
bool writeAll(int fd, const void* bytes, std::size_t size) {
    const auto* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

/// A client tool's plumbing: a pipe to or from it, and an unnamed file for
/// what it says; none when they cannot be made.
struct Plumbing {
    Fd errors;
    Fd readEnd;
    Fd writeEnd;
};

std::optional<Plumbing> plumbing() {
    Plumbing p;
    p.errors = Fd(::open(snapshotsDir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    int fds[2];
    if (!p.errors || ::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    p.readEnd = Fd(fds[0]);
    p.writeEnd = Fd(fds[1]);
    return p;
}

/// Dumps `database` into a new snapshot file; its path and size, or a
/// Failure with nothing left behind.
std::pair<std::string, std::int64_t> dump(const ServiceRecipe& recipe, const std::string& database,
                                          const UUID& id) {
    std::error_code ec;
    fs::create_directories(snapshotsDir(), ec);
    const std::string final = snapshotsDir() + "/" + id.uuidString() + ".sql.zst";
    const std::string partial = snapshotsDir() + "/." + id.uuidString() + ".partial";
    const Fd out(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    auto pipes = out ? plumbing() : std::nullopt;
    if (!pipes) {
        ::unlink(partial.c_str());
        throw Failure{"cannot write in " + snapshotsDir() + ": " + std::strerror(errno)};
    }
    const Fd& errors = pipes->errors;
    const Fd& readEnd = pipes->readEnd;
    Fd& writeEnd = pipes->writeEnd;
    const CommandLine c = recipe.dumpCommand(defaultPort(recipe.type), database);
    spawn::Start request = clientStart(c);
    request.output = writeEnd.get();
    request.error = errors.get();
    const auto child = spawn::start(request);
    writeEnd = Fd();
    if (child.pid == 0) {
        ::unlink(partial.c_str());
        throw Failure{"cannot run " + c.program + ": " + std::strerror(child.error)};
    }
    // A file too large for the limits or the disk fails a write, not the
    // process: the snapshot is then not taken.
    ::signal(SIGXFSZ, SIG_IGN);
    ZSTD_CCtx* zstd = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(zstd, ZSTD_c_compressionLevel, 3);
    std::vector<char> in(ZSTD_CStreamInSize());
    std::vector<char> compressed(ZSTD_CStreamOutSize());
    bool written = true;
    int writeError = 0;
    const auto push = [&](ZSTD_inBuffer& input, ZSTD_EndDirective mode) {
        for (;;) {
            ZSTD_outBuffer output{compressed.data(), compressed.size(), 0};
            const std::size_t left = ZSTD_compressStream2(zstd, &output, &input, mode);
            if (ZSTD_isError(left)) {
                written = false;
                return;
            }
            if (written && !writeAll(out.get(), compressed.data(), output.pos)) {
                written = false;
                writeError = errno;
            }
            if (mode == ZSTD_e_end ? left == 0 : input.pos == input.size) return;
        }
    };
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), in.data(), in.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        ZSTD_inBuffer input{in.data(), static_cast<std::size_t>(n), 0};
        push(input, ZSTD_e_continue);
        // Nothing more is written once a write failed; the dump is read to its end.
    }
    ZSTD_inBuffer none{nullptr, 0, 0};
    push(none, ZSTD_e_end);
    ZSTD_freeCCtx(zstd);
    const int status = waitChild(child.pid);
    if (written && ::fsync(out.get()) != 0) {
        written = false;
        writeError = errno;
    }
    if (status != 0 || !written) {
        ::unlink(partial.c_str());
        const std::string why =
            status != 0
                ? c.program.substr(c.program.rfind('/') + 1) + " failed: " + toolSaid(errors.get())
                : std::string("writing it failed: ") + std::strerror(writeError);
        throw Failure{"the snapshot was not taken (" + why + "); the snapshots stay as they were"};
    }
    struct stat st {};
    ::fstat(out.get(), &st);
    if (::rename(partial.c_str(), final.c_str()) != 0) {
        ::unlink(partial.c_str());
        throw Failure{"the snapshot was not taken: cannot name " + final};
    }
    return {final, st.st_size};
}

/// Loads the snapshot file at `path` into `database`.
void load(const ServiceRecipe& recipe, const std::string& path, const std::string& database) {
    const Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) throw Failure{"cannot read " + path + ": " + std::strerror(errno)};
    auto pipes = plumbing();
    if (!pipes) throw Failure{"cannot make a pipe"};
    const Fd& errors = pipes->errors;
    Fd& readEnd = pipes->readEnd;
    Fd& writeEnd = pipes->writeEnd;
    const CommandLine c = recipe.loadCommand(defaultPort(recipe.type), database);
    spawn::Start request = clientStart(c);
    request.input = readEnd.get();
    request.output = errors.get();
    request.error = errors.get();
    const auto child = spawn::start(request);
    readEnd = Fd();
    if (child.pid == 0) throw Failure{"cannot run " + c.program};
    ::signal(SIGPIPE, SIG_IGN);
    ZSTD_DCtx* zstd = ZSTD_createDCtx();
    std::vector<char> compressed(ZSTD_DStreamInSize());
    std::vector<char> plain(ZSTD_DStreamOutSize());
    bool broken = false;
    for (;;) {
        const ssize_t n = ::read(in.get(), compressed.data(), compressed.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        ZSTD_inBuffer input{compressed.data(), static_cast<std::size_t>(n), 0};
        while (input.pos < input.size && !broken) {
            ZSTD_outBuffer output{plain.data(), plain.size(), 0};
            if (ZSTD_isError(ZSTD_decompressStream(zstd, &output, &input)) ||
                !writeAll(writeEnd.get(), plain.data(), output.pos)) {
                broken = true;
            }
        }
        if (broken) break;
    }
    ZSTD_freeDCtx(zstd);
    writeEnd = Fd();
    const int status = waitChild(child.pid);
    if (status != 0 || broken) {
        throw Failure{"the restore failed: " + (status != 0
                                                    ? toolSaid(errors.get())
                                                    : std::string("the snapshot is damaged"))};
    }
}

DatabaseSnapshot take(const ServiceType type, const ServiceRecipe& recipe,
                      const std::string& database, const std::string& name,
                      const std::optional<std::string>& notes) {
    DatabaseSnapshot snapshot;
    snapshot.id = UUID::random();
    snapshot.name = name;
    snapshot.databaseType = std::string(rawValue(type));
    snapshot.databaseName = database;
    snapshot.createdAt = Clock::now();
    snapshot.notes = notes;
    const auto [path, size] = dump(recipe, database, snapshot.id);
    snapshot.filePath = path;
    snapshot.fileSize = size;
    try {
        snapshotIndex().update({}, [&](SnapshotIndex& index) { index.add(snapshot); });
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    return snapshot;
}

/// The snapshot named or with that id; the first of a name, as the index finds it.
DatabaseSnapshot findSnapshot(const std::string& key) {
    const auto index = snapshotIndex().read({});
    if (const auto found = index.find(key)) return *found;
    for (const auto& s : index.snapshots) {
        if (s.id.uuidString() == key || s.id.uuidString().rfind(key, 0) == 0) return s;
    }
    throw Failure{"no snapshot is called " + key + ": vesk db snapshots lists them"};
}

int listDatabases(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto [type, recipe] = sqlService(args);
    const auto names = databases(recipe);
    if (args.has("--json")) {
        std::cout << scriptJSON(names, true) << "\n";
        return 0;
    }
    if (names.empty())
        std::cout << "No database on " << displayName(type) << " yet: vesk db create NAME\n";
    for (const auto& n : names) std::cout << n << "\n";
    return 0;
}

int create(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string name = databaseName(args.words[0]);
    const auto [type, recipe] = sqlService(args);
    if (exists(recipe, name))
        throw Failure{name + " already exists on " + std::string(displayName(type))};
    sql(recipe, recipe.createStatement(name));
    std::cout << "Created " << name << " on " << displayName(type)
              << " (127.0.0.1:" << defaultPort(type) << ")\n";
    return 0;
}

int drop(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string name = databaseName(args.words[0]);
    const auto [type, recipe] = sqlService(args);
    if (!exists(recipe, name))
        throw Failure{"there is no database " + name + " on " + std::string(displayName(type))};
    if (!args.has("--force")) {
        if (::isatty(STDIN_FILENO) == 0) {
            throw Failure{"vesk db drop " + name + " --force drops it without asking"};
        }
        std::cout << "Drop " << name << " on " << displayName(type)
                  << "? Its tables and rows are gone for good (vesk db snapshot " << name
                  << " keeps them first). [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            std::cout << "Nothing dropped\n";
            return 1;
        }
    }
    sql(recipe, recipe.dropStatement(name));
    std::cout << "Dropped " << name << "\n";
    return 0;
}

int snapshot(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const std::string database = databaseName(args.words[0]);
    const auto [type, recipe] = sqlService(args);
    if (!exists(recipe, database)) {
        throw Failure{"there is no database " + database + " on " + std::string(displayName(type))};
    }
    const std::string name =
        args.value("--label").value_or(database + "-" + Clock::now().iso8601());
    const auto s = take(type, recipe, database, name, args.value("--notes"));
    if (args.has("--json")) {
        std::cout << scriptJSON(s, true) << "\n";
        return 0;
    }
    std::cout << "Snapshot " << s.name << " of " << database << " (" << sizeText(s.fileSize) << ", "
              << s.id.uuidString().substr(0, 8) << ")\n";
    return 0;
}

int snapshots(const Arguments& args) {
    if (!args.words.empty()) throw UsageError{};
    const auto index = snapshotIndex().read({});
    if (args.has("--json")) {
        std::cout << scriptJSON(index, true) << "\n";
        return 0;
    }
    if (index.snapshots.empty()) std::cout << "No snapshot yet: vesk db snapshot DATABASE\n";
    for (const auto& s : index.snapshots) {
        std::cout << s.id.uuidString().substr(0, 8) << "  " << s.createdAt.iso8601() << "  "
                  << s.name << "  " << s.databaseType << "/" << s.databaseName << "  "
                  << sizeText(s.fileSize) << (s.notes ? "  " + *s.notes : "") << "\n";
    }
    return 0;
}

int restore(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const DatabaseSnapshot s = findSnapshot(args.words[0]);
    const std::string target = databaseName(args.value("--into").value_or(s.databaseName));
    const auto type = fromRawValue<ServiceType>(s.databaseType);
    if (!type) throw Failure{"the snapshot is of " + s.databaseType + ", which Vesk does not run"};
    Arguments service = args;
    service.flags.insert("--service=" + s.databaseType);
    const auto [kind, recipe] = sqlService(service);
    if (exists(recipe, target)) {
        // What is there now is kept first: a restore that fails loses nothing.
        const auto kept = take(kind, recipe, target, target + "-before-restore", std::nullopt);
        std::cout << "Kept " << target << " as it was in snapshot " << kept.name << "\n";
        sql(recipe, recipe.dropStatement(target));
    }
    sql(recipe, recipe.createStatement(target));
    load(recipe, s.filePath, target);
    std::cout << "Restored " << target << " from " << s.name << " (" << s.createdAt.iso8601()
              << ")\n";
    return 0;
}

int forget(const Arguments& args) {
    if (args.words.size() != 1) throw UsageError{};
    const DatabaseSnapshot s = findSnapshot(args.words[0]);
    std::vector<DatabaseSnapshot> gone;
    snapshotIndex().update({}, [&](SnapshotIndex& index) {
        const bool byName = index.find(args.words[0]).has_value();
        for (const auto& x : index.snapshots) {
            if (byName ? x.name == s.name : x.id == s.id) gone.push_back(x);
        }
        if (byName) {
            index.remove(s.name);
        } else {
            index.snapshots.erase(std::remove_if(index.snapshots.begin(), index.snapshots.end(),
                                                 [&](const auto& x) { return x.id == s.id; }),
                                  index.snapshots.end());
        }
    });
    for (const auto& x : gone) {
        // Only files of the snapshots' own directory are removed.
        if (fs::path(x.filePath).parent_path() == fs::path(snapshotsDir()))
            ::unlink(x.filePath.c_str());
        std::cout << "Forgot " << x.name << " (" << x.id.uuidString().substr(0, 8) << ")\n";
    }
    return 0;
}

}  // namespace

int db(const Arguments& args) {
    const auto verb = args.word(0);
    if (!verb) throw UsageError{};
    Arguments rest = args;
    rest.words.erase(rest.words.begin());
    if (*verb == "list") return listDatabases(rest);
    if (*verb == "create") return create(rest);
    if (*verb == "drop") return drop(rest);
    if (*verb == "snapshot") return snapshot(rest);
    if (*verb == "snapshots") return snapshots(rest);
    if (*verb == "restore") return restore(rest);
    if (*verb == "forget") return forget(rest);
    throw UsageError{};
}

}  // namespace vesk::cli
