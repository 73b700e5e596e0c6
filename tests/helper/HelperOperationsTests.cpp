// Every operation of the helper over the real socket, against a temporary
// layout, with stand-in programs that record how they were run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "HelperTestSupport.hpp"

namespace {

namespace fs = vesk::test::fs;
using vesk::HelperStatus;
using vesk::test::readText;
using vesk::test::writeText;

HelperStatus ok() {
    return {true, std::nullopt};
}
HelperStatus failure(const std::string& m) {
    return {false, m};
}

mode_t modeOf(const std::string& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

class OperationsTest : public vesk::test::HelperFixture {
  protected:
    // Stand-ins for the system's programs live in the temporary tree.
    void prepare(vesk::EnvironmentLayout& l) override {
        l.chown = root.path() + "/bin/chown";
        l.launchctl = root.path() + "/bin/launchctl";
        l.launchctlLimit = std::chrono::milliseconds(1500);
        l.systemctl = root.path() + "/bin/systemctl";
        l.dnsmasqCandidates = {l.veskBase + "/bin/dnsmasq", root.path() + "/sbin/dnsmasq"};
    }

    void SetUp() override {
        HelperFixture::SetUp();
        client = connect();
        outside = root.path() + "/outside";
        fs::create_directories(outside);
        writeText(outside + "/precious", "keep me");
    }

    /// A stand-in program that appends its arguments, one per line, to `<path>.args`.
    std::string program(const std::string& path, int exitCode = 0) {
        fs::create_directories(fs::path(path).parent_path());
        writeText(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + path + ".args'\nexit " +
                            std::to_string(exitCode) + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    HelperStatus call(vesk::HelperOperation op, const std::vector<std::string>& args = {}) {
        return client->status(op, args);
    }

    HelperStatus writeFile(const std::string& path, const std::string& content,
                           std::uint16_t mode) {
        HelperStatus s;
        client->writeFile(path, std::vector<std::uint8_t>(content.begin(), content.end()), mode,
                          [&](bool success, std::optional<std::string> m) {
                              s = {success, m};
                          });
        return s;
    }

    HelperStatus createDirectory(const std::string& path, std::uint16_t mode) {
        HelperStatus s;
        client->createDirectory(path, mode, [&](bool success, std::optional<std::string> m) {
            s = {success, m};
        });
        return s;
    }

    /// A long-running process of the given executable (a copy of sleep).
    pid_t spawnCopyOfSleep(const std::string& as) {
        fs::create_directories(fs::path(as).parent_path());
        fs::copy_file("/bin/sleep", as, fs::copy_options::overwrite_existing);
        ::chmod(as.c_str(), 0755);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(as.c_str(), as.c_str(), "100", nullptr);
            ::_exit(127);
        }
        // Wait until the child runs the copy, not the forked test program.
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        for (int i = 0; i < 500; ++i) {
            std::error_code ec;
            if (fs::read_symlink(exe, ec) == fs::path(as)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pid;
    }

    static bool alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

    /// Waits up to two seconds for a child to end; true when SIGTERM ended it.
    static bool endedBySigterm(pid_t pid) {
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        reap(pid);
        return false;
    }
    static void reap(pid_t pid) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    std::unique_ptr<vesk::HelperClient> client;
    std::string outside;
};

using Op = vesk::HelperOperation;

// --- DNS ------------------------------------------------------------------

TEST_F(OperationsTest, ResolverFileExactlyAndReplaced) {
    EXPECT_EQ(call(Op::writeResolver, {"test", "127.0.0.1"}), ok());
    const std::string file = layout.resolverDir + "/test";
    EXPECT_EQ(readText(file), "nameserver 127.0.0.1\nport 53\n");
    EXPECT_EQ(fs::file_size(file), 29U);
    EXPECT_EQ(call(Op::writeResolver, {"test", "::1"}), ok());
    EXPECT_EQ(readText(file), "nameserver ::1\nport 53\n");
    EXPECT_EQ(call(Op::removeResolver, {"test"}), ok());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(call(Op::removeResolver, {"test"}), ok()) << "removing a missing file is success";
}

TEST_F(OperationsTest, WhereResolvedRunsItsRoutingIsToldOfEveryChange) {
    program(layout.systemctl);
    EXPECT_EQ(call(Op::writeResolver, {"test", "127.0.0.1"}), ok());
    EXPECT_FALSE(fs::exists(layout.systemctl + ".args")) << "resolved does not run";
    fs::create_directories(layout.resolvedRuntimeDir);
    EXPECT_EQ(call(Op::writeResolver, {"test", "127.0.0.1"}), ok());
    EXPECT_EQ(call(Op::removeResolver, {"test"}), ok());
    EXPECT_EQ(call(Op::writeResolver, {"../x", "127.0.0.1"}),
              failure("Invalid top-level domain: ../x"));
    const std::string restart = "try-restart\nvesk-dns-route.service\n";
    EXPECT_EQ(readText(layout.systemctl + ".args"), restart + restart)
        << "once for each change, never for a refused call";
    // The installation's own resolver file is routed too.
    const std::string resources = root.path() + "/resources";
    fs::create_directories(resources + "/bin");
    EXPECT_EQ(call(Op::installEnvironment, {resources}), ok());
    EXPECT_EQ(readText(layout.systemctl + ".args"), restart + restart + restart);
    program(layout.systemctl, 1);
    EXPECT_EQ(call(Op::writeResolver, {"test", "127.0.0.1"}), ok())
        << "the routing never fails the operation";
}

TEST_F(OperationsTest, ResolverRefusesNamesAndAddressesThatEscape) {
    EXPECT_EQ(call(Op::writeResolver, {"../sudoers.d/x", "127.0.0.1"}),
              failure("Invalid top-level domain: ../sudoers.d/x"));
    EXPECT_FALSE(fs::exists(root.path() + "/etc/sudoers.d"));
    for (const char* tld : {"", ".", "..", "a/b"}) {
        EXPECT_EQ(call(Op::writeResolver, {tld, "127.0.0.1"}),
                  failure(std::string("Invalid top-level domain: ") + tld));
        EXPECT_EQ(call(Op::removeResolver, {tld}),
                  failure(std::string("Invalid top-level domain: ") + tld));
    }
    EXPECT_EQ(call(Op::writeResolver, {"test", "127.0.0.1\nnameserver 6.6.6.6"}),
              failure("Invalid address: 127.0.0.1\nnameserver 6.6.6.6"));
    EXPECT_EQ(call(Op::writeResolver, {"test", "localhost"}),
              failure("Invalid address: localhost"));
    EXPECT_FALSE(fs::exists(layout.resolverDir + "/test"));
}

TEST_F(OperationsTest, DnsmasqNotFoundTouchesNothing) {
    EXPECT_EQ(call(Op::startDnsmasq, {"/x.conf"}), failure("dnsmasq binary not found"));
    EXPECT_FALSE(fs::exists(layout.runDir()));
}

TEST_F(OperationsTest, DnsmasqStartsWithItsArgumentsAndReportsItsStatus) {
    const std::string dnsmasq = program(layout.veskBase + "/bin/dnsmasq");
    EXPECT_EQ(call(Op::startDnsmasq, {"/cfg/dnsmasq.conf"}), ok());
    EXPECT_EQ(readText(dnsmasq + ".args"), "--conf-file=/cfg/dnsmasq.conf\n--pid-file=" +
                                               layout.veskBase + "/run/dnsmasq.pid\n");
    EXPECT_TRUE(fs::is_directory(layout.runDir()));
    program(dnsmasq, 3);
    EXPECT_EQ(call(Op::startDnsmasq, {"/c"}), failure("dnsmasq start failed (exit 3)"));
}

TEST_F(OperationsTest, PidFilesNeverMakeRootSignalAStranger) {
    program(layout.veskBase + "/bin/dnsmasq");
    fs::create_directories(layout.runDir());
    const pid_t stranger = spawnCopyOfSleep(root.path() + "/bin/stranger");
    // A number is the pid file's word: it is removed and the stop succeeds,
    // but only a process running the environment's dnsmasq is signalled.
    for (const std::string& text :
         {std::to_string(stranger) + "\n", std::string("1"), std::string("0"), std::string("-1"),
          std::to_string(::getpid())}) {
        writeText(layout.dnsmasqPidFile(), text);
        EXPECT_EQ(call(Op::startDnsmasq, {"/c"}), ok()) << text;
        writeText(layout.dnsmasqPidFile(), text);
        EXPECT_EQ(call(Op::stopDnsmasq), ok()) << text;
        EXPECT_FALSE(fs::exists(layout.dnsmasqPidFile())) << text;
    }
    // No number: only the environment's own dnsmasq would be looked for.
    for (const std::string& text : {std::string("abc"), std::string(""), std::string("1x")}) {
        writeText(layout.dnsmasqPidFile(), text);
        EXPECT_EQ(call(Op::stopDnsmasq), (HelperStatus{true, "No dnsmasq process found"})) << text;
    }
    EXPECT_TRUE(alive(stranger));
    reap(stranger);
}

TEST_F(OperationsTest, APidIsSignalledOnlyForItsOwnProgramAtItsOwnPath) {
    fs::create_directories(layout.runDir());
    fs::create_directories(layout.binDir());
    // The program path is a link to a stranger's program: its process is
    // running "the program at that path" only through the link.
    const pid_t stranger = spawnCopyOfSleep(root.path() + "/bin/stranger");
    fs::create_symlink(root.path() + "/bin/stranger", layout.veskBase + "/bin/dnsmasq");
    writeText(layout.dnsmasqPidFile(), std::to_string(stranger));
    EXPECT_EQ(call(Op::stopDnsmasq), ok());
    EXPECT_TRUE(alive(stranger));
    reap(stranger);
    fs::remove(layout.veskBase + "/bin/dnsmasq");

    // Replaced since it started (a second installation): still stopped.
    const pid_t old = spawnCopyOfSleep(layout.veskBase + "/bin/dnsmasq");
    fs::remove(layout.veskBase + "/bin/dnsmasq");
    fs::copy_file("/bin/sleep", layout.veskBase + "/bin/dnsmasq");
    writeText(layout.dnsmasqPidFile(), "0000000000000" + std::to_string(old) + "\n");
    EXPECT_EQ(call(Op::stopDnsmasq), ok());
    EXPECT_TRUE(endedBySigterm(old)) << "leading zeros still make a number";

    writeText(layout.dnsmasqPidFile(), "00000000000000000000004294967296");
    EXPECT_EQ(call(Op::stopDnsmasq), (HelperStatus{true, "No dnsmasq process found"}))
        << "a value past 32 bits is no number";
}

TEST_F(OperationsTest, DnsmasqOfTheEnvironmentIsStoppedThroughItsPidFile) {
    const pid_t pid = spawnCopyOfSleep(layout.veskBase + "/bin/dnsmasq");
    fs::create_directories(layout.runDir());
    writeText(layout.dnsmasqPidFile(), "  " + std::to_string(pid) + "\r\n");
    EXPECT_EQ(call(Op::stopDnsmasq), ok());
    EXPECT_TRUE(endedBySigterm(pid));
    EXPECT_FALSE(fs::exists(layout.dnsmasqPidFile())) << "the pid file is removed";
}

TEST_F(OperationsTest, AnotherProgramsDnsmasqOutlivesStopDnsmasq) {
    // The system's dnsmasq (NetworkManager's, libvirt's) is a copy under
    // another path; the environment's runs from its own bin directory.
    const pid_t foreign = spawnCopyOfSleep(root.path() + "/usr/sbin/dnsmasq");
    const pid_t ours = spawnCopyOfSleep(layout.veskBase + "/bin/dnsmasq");
    fs::create_directories(layout.runDir());
    writeText(layout.dnsmasqPidFile(), std::to_string(foreign));
    EXPECT_EQ(call(Op::stopDnsmasq), ok()) << "the pid file's word, as ever";
    EXPECT_TRUE(alive(foreign)) << "named by the pid file, but not the environment's program";
    EXPECT_TRUE(alive(ours));
    EXPECT_EQ(call(Op::stopDnsmasq), ok()) << "no pid file: the environment's own are found";
    EXPECT_TRUE(endedBySigterm(ours));
    EXPECT_TRUE(alive(foreign));
    EXPECT_EQ(call(Op::stopDnsmasq), (HelperStatus{true, "No dnsmasq process found"}));
    EXPECT_TRUE(alive(foreign));
    reap(foreign);
}

TEST_F(OperationsTest, StartDnsmasqReplacesAPlantedPidFileLink) {
    program(layout.veskBase + "/bin/dnsmasq");
    fs::create_directories(layout.runDir());
    fs::create_symlink(outside + "/precious", layout.dnsmasqPidFile());
    EXPECT_EQ(call(Op::startDnsmasq, {"/c"}), ok());
    EXPECT_FALSE(fs::is_symlink(layout.dnsmasqPidFile()));
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
}

// --- nginx and PHP-FPM --------------------------------------------------------

TEST_F(OperationsTest, NginxMissingIsAStatusOfMinusOne) {
    EXPECT_EQ(call(Op::startNginx, {"/c"}), failure("nginx start failed (exit -1)"));
    EXPECT_EQ(log.countPrefix("VeskHelper: Failed to run " + layout.nginx() + ": "), 1U);
    EXPECT_EQ(call(Op::stopNginx), failure("nginx stop failed (exit -1)"));
}

TEST_F(OperationsTest, NginxCommands) {
    const std::string nginx = program(layout.nginx());
    EXPECT_EQ(call(Op::startNginx, {"/etc/n.conf"}), ok());
    EXPECT_EQ(call(Op::stopNginx), ok());
    EXPECT_EQ(call(Op::reloadNginx), ok());
    EXPECT_EQ(readText(nginx + ".args"), "-c\n/etc/n.conf\n-s\nstop\n-s\nreload\n");
    program(nginx, 1);
    EXPECT_EQ(call(Op::reloadNginx), failure("nginx reload failed (exit 1)"));
}

TEST_F(OperationsTest, PhpFpmStartAndItsRefusals) {
    EXPECT_EQ(call(Op::startPHPFPM, {"8.3", "/c"}),
              failure("PHP 8.3 not found at " + layout.veskBase + "/php/8.3/sbin/php-fpm"));
    EXPECT_EQ(call(Op::startPHPFPM, {"../../bin", "/c"}),
              failure("Invalid PHP version: ../../bin"));
    EXPECT_EQ(call(Op::stopPHPFPM, {".."}), failure("Invalid PHP version: .."));
    const std::string fpm = program(layout.veskBase + "/php/8.3/sbin/php-fpm");
    EXPECT_EQ(call(Op::startPHPFPM, {"8.3", "/pool.conf"}), ok());
    EXPECT_EQ(readText(fpm + ".args"), "-y\n/pool.conf\n-D\n");
    program(fpm, 78);
    EXPECT_EQ(call(Op::startPHPFPM, {"8.3", "/c"}), failure("php-fpm 8.3 start failed (exit 78)"));
}

TEST_F(OperationsTest, PoolsReadDebiansIniFilesButXdebugsAndOnlyXdebugsPoolLoadsIt) {
    const std::string conf = layout.debianPHPDir + "/8.3/fpm/conf.d";
    const std::string mods = layout.debianPHPDir + "/8.3/mods-available";
    fs::create_directories(conf);
    fs::create_directories(mods);
    writeText(mods + "/redis.ini", "extension=redis.so\n");
    writeText(mods + "/xdebug.ini", "zend_extension=xdebug.so\nxdebug.mode=develop\n");
    // Under another name, and with the path a developer would write.
    writeText(mods + "/debugger.ini",
              "; mine\n  ZEND_EXTENSION = /usr/lib/php/20220829/xdebug.so\n");
    writeText(mods + "/opcache.ini", "zend_extension=opcache.so\n; xdebug would slow this\n");
    for (const char* name : {"redis", "xdebug", "debugger", "opcache"}) {
        fs::create_symlink(mods + "/" + name + ".ini", conf + "/20-" + name + ".ini");
    }
    const std::string fpm = layout.veskBase + "/php/8.3/sbin/php-fpm";
    fs::create_directories(fs::path(fpm).parent_path());
    writeText(fpm, "#!/bin/sh\nprintf '%s\\n' \"$PHP_INI_SCAN_DIR\" \"$@\" >> '" + fpm +
                       ".args'\nls \"$PHP_INI_SCAN_DIR\" >> '" + fpm + ".args'\n");
    ::chmod(fpm.c_str(), 0755);

    const std::string scan = layout.phpScanRoot + "/8.3";
    EXPECT_EQ(call(Op::startPHPFPM, {"8.3", "/pool.conf"}), ok());
    EXPECT_EQ(readText(fpm + ".args"),
              scan + "\n-y\n/pool.conf\n-D\n20-opcache.ini\n20-redis.ini\n");
    EXPECT_EQ(fs::read_symlink(scan + "/20-redis.ini"), conf + "/20-redis.ini");

    // Made anew for every start: what Debian dropped is gone, nothing is left staged.
    fs::remove(conf + "/20-opcache.ini");
    fs::remove(fpm + ".args");
    EXPECT_EQ(call(Op::startPHPFPM, {"8.3-profile", "/x.conf"}), ok());
    EXPECT_EQ(readText(fpm + ".args"), scan +
                                           "\n-y\n/x.conf\n-D\n-d\nzend_extension=xdebug.so\n-d\n"
                                           "xdebug.mode=profile\n20-redis.ini\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(layout.phpScanRoot), fs::directory_iterator{}),
              1);

    for (const char* name : {"8.3-develop", "8.3-debug,profile", "8.3-", "x.3", "8.3.1", "8"}) {
        EXPECT_EQ(call(Op::startPHPFPM, {name, "/c"}),
                  failure("Invalid PHP version: " + std::string(name)))
            << name;
        EXPECT_EQ(call(Op::stopPHPFPM, {name}),
                  failure("Invalid PHP version: " + std::string(name)));
    }

    // A directory others may write is not root's to read ini files from.
    ::chmod(layout.phpScanRoot.c_str(), 0777);
    const auto refused = call(Op::startPHPFPM, {"8.3", "/pool.conf"});
    EXPECT_FALSE(refused.success);
    EXPECT_NE(refused.message.value_or("").find("is not root's alone"), std::string::npos);
    ::chmod(layout.phpScanRoot.c_str(), 0755);
    fs::remove_all(layout.phpScanRoot);
    fs::create_directory_symlink(root.path(), layout.phpScanRoot);
    EXPECT_FALSE(call(Op::startPHPFPM, {"8.3", "/pool.conf"}).success);
}

TEST_F(OperationsTest, PhpFpmStopThroughAVerifiedPidFile) {
    fs::create_directories(layout.runDir());
    const std::string pidFile = layout.runDir() + "/php-fpm-8.3.pid";
    EXPECT_EQ(call(Op::stopPHPFPM, {"8.3"}), failure("No PID file for php-fpm 8.3"));
    writeText(pidFile, "");
    EXPECT_EQ(call(Op::stopPHPFPM, {"8.3"}), failure("No PID file for php-fpm 8.3"));
    const pid_t stranger = spawnCopyOfSleep(root.path() + "/bin/stranger");
    writeText(pidFile, std::to_string(stranger));
    EXPECT_EQ(call(Op::stopPHPFPM, {"8.3"}), ok()) << "the pid file's word, never signalled";
    EXPECT_TRUE(alive(stranger));
    reap(stranger);
    writeText(pidFile, std::to_string(stranger));
    EXPECT_EQ(call(Op::stopPHPFPM, {"8.3"}), ok()) << "an ended process";

    const pid_t fpm = spawnCopyOfSleep(layout.veskBase + "/php/8.3/sbin/php-fpm");
    writeText(pidFile, std::to_string(fpm) + "\n");
    EXPECT_EQ(call(Op::stopPHPFPM, {"8.3"}), ok());
    EXPECT_TRUE(endedBySigterm(fpm));
    EXPECT_TRUE(fs::exists(pidFile)) << "the pid file stays";
}

// --- Launch daemons -----------------------------------------------------------

TEST_F(OperationsTest, DaemonsInstallAndRemove) {
    fs::create_directories(layout.daemonDir);
    EXPECT_EQ(call(Op::installDaemon, {"com.vesk.redis", "<plist/>"}),
              failure("launchctl bootstrap failed (exit -1)"))
        << "no service manager here";
    const std::string plist = layout.daemonDir + "/com.vesk.redis.plist";
    EXPECT_EQ(readText(plist), "<plist/>");
    EXPECT_EQ(modeOf(plist), 0644U);
    EXPECT_EQ(call(Op::installDaemon, {"../../etc/x", "<plist/>"}),
              failure("Invalid label: ../../etc/x"));
    EXPECT_EQ(call(Op::removeDaemon, {"/etc/x"}), failure("Invalid label: /etc/x"));
    EXPECT_EQ(call(Op::removeDaemon, {"com.vesk.redis"}), ok());
    EXPECT_FALSE(fs::exists(plist));
    EXPECT_EQ(call(Op::removeDaemon, {"com.vesk.never"}), ok());
}

TEST_F(OperationsTest, DaemonsGoThroughLaunchctlWithItsExactArguments) {
    fs::create_directories(layout.daemonDir);
    program(layout.launchctl, 3);
    const std::string plist = layout.daemonDir + "/com.vesk.redis.plist";
    EXPECT_EQ(call(Op::installDaemon, {"com.vesk.redis", "<plist/>"}),
              failure("launchctl bootstrap failed (exit 3)"));
    program(layout.launchctl, 0);
    EXPECT_EQ(call(Op::installDaemon, {"com.vesk.redis", "<plist/>"}), ok());
    EXPECT_EQ(call(Op::removeDaemon, {"com.vesk.redis"}), ok());
    EXPECT_EQ(readText(layout.launchctl + ".args"), "bootstrap\nsystem\n" + plist +
                                                        "\nbootstrap\nsystem\n" + plist +
                                                        "\nbootout\nsystem/com.vesk.redis\n");
}

TEST_F(OperationsTest, AStuckLaunchctlIsKilledWithEverythingItStarted) {
    // A translator that never ends, with a child of its own: the reply comes
    // at the limit, in the failure's usual shape, and nothing is left running.
    fs::create_directories(layout.daemonDir);
    fs::create_directories(fs::path(layout.launchctl).parent_path());
    const std::string marker = root.path() + "/grandchild.pid";
    writeText(layout.launchctl,
              "#!/bin/sh\nsleep 1000 &\necho $! > '" + marker + "'\nexec sleep 1000\n");
    ::chmod(layout.launchctl.c_str(), 0755);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(call(Op::installDaemon, {"com.vesk.stuck", "<plist/>"}),
              failure("launchctl bootstrap failed (exit 9)"));
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::seconds(10));
    const pid_t grandchild = std::stoi(readText(marker));
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::ifstream stat("/proc/" + std::to_string(grandchild) + "/stat");
        std::string pid;
        std::string name;
        std::string state;
        gone = !(stat >> pid >> name >> state) || state == "Z";
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the translator's own child was killed with it";
    EXPECT_EQ(call(Op::removeDaemon, {"com.vesk.stuck"}), ok()) << "bootout is bounded too";
}

// --- File operations --------------------------------------------------------

TEST_F(OperationsTest, WriteFileCreatesParentsAndSetsTheMode) {
    const std::string file = layout.veskBase + "/etc/nginx/sites/a.conf";
    EXPECT_EQ(writeFile(file, "server {}", 0600), ok());
    EXPECT_EQ(readText(file), "server {}");
    EXPECT_EQ(modeOf(file), 0600U);
    EXPECT_EQ(modeOf(layout.veskBase + "/etc/nginx"), 0755U);
    EXPECT_EQ(writeFile(file, "x", 0644), ok());
    EXPECT_EQ(readText(file), "x") << "overwritten, not appended";
    EXPECT_EQ(writeFile("/etc/hosts", "evil", 0644), failure("Path not allowed: /etc/hosts"));
    EXPECT_EQ(writeFile(layout.veskBase + "/../../../../outside/precious", "evil", 0644),
              failure("Path not allowed: " + layout.veskBase + "/../../../../outside/precious"));
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
}

TEST_F(OperationsTest, PlantedLinksNeverLeadRootOutside) {
    fs::create_directories(layout.veskBase);
    fs::create_symlink(outside + "/precious", layout.veskBase + "/leaf");
    fs::create_symlink(outside, layout.veskBase + "/dir");
    // leaf links
    EXPECT_FALSE(writeFile(layout.veskBase + "/leaf", "evil", 0777).success);
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
    EXPECT_EQ(modeOf(outside + "/precious"), 0644U);
    // intermediate links
    EXPECT_FALSE(writeFile(layout.veskBase + "/dir/new", "evil", 0644).success);
    EXPECT_FALSE(writeFile(layout.veskBase + "/dir/precious", "evil", 0644).success);
    EXPECT_FALSE(createDirectory(layout.veskBase + "/dir/made", 0755).success);
    EXPECT_FALSE(call(Op::removeFile, {layout.veskBase + "/dir/precious"}).success);
    EXPECT_FALSE(fs::exists(outside + "/new"));
    EXPECT_FALSE(fs::exists(outside + "/made"));
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
    // a directory at a leaf link is not made through it
    fs::create_symlink(outside + "/newdir", layout.veskBase + "/to-missing");
    EXPECT_EQ(createDirectory(layout.veskBase + "/to-missing", 0777), ok()) << "something is there";
    EXPECT_FALSE(fs::exists(outside + "/newdir"));
    EXPECT_EQ(createDirectory(layout.veskBase + "/leaf", 0777), ok());
    EXPECT_EQ(modeOf(outside + "/precious"), 0644U);
    // removing the links themselves removes only the links
    EXPECT_EQ(call(Op::removeFile, {layout.veskBase + "/leaf"}), ok());
    EXPECT_EQ(call(Op::removeFile, {layout.veskBase + "/dir"}), ok());
    EXPECT_FALSE(fs::is_symlink(layout.veskBase + "/leaf"));
    EXPECT_FALSE(fs::is_symlink(layout.veskBase + "/dir"));
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
}

TEST_F(OperationsTest, VersionFileLinkCannotReadOutside) {
    fs::create_directories(layout.veskBase + "/etc");
    fs::create_symlink(outside + "/precious", layout.versionFile);
    EXPECT_EQ(client->installedVersion(), std::nullopt)
        << "root reads nothing outside for the caller";
    fs::remove(layout.versionFile);
    writeText(layout.veskBase + "/etc/version", "2.0.0\n");
    fs::create_symlink("etc/version", layout.versionFile);
    EXPECT_EQ(client->installedVersion(), "2.0.0") << "a link that stays inside still works";
}

TEST_F(OperationsTest, RemovingADirectoryRemovesLinksInsideNotTheirTargets) {
    const std::string tree = layout.veskBase + "/data/cache";
    fs::create_directories(tree + "/deeper");
    writeText(tree + "/deeper/file", "x");
    fs::create_symlink(outside, tree + "/to-outside");
    fs::create_symlink("/etc", tree + "/deeper/to-etc");
    EXPECT_EQ(call(Op::removeFile, {layout.veskBase + "/data"}), ok());
    EXPECT_FALSE(fs::exists(layout.veskBase + "/data"));
    EXPECT_EQ(readText(outside + "/precious"), "keep me");
    EXPECT_TRUE(fs::exists("/etc/hostname") || fs::exists("/etc/passwd"));
}

TEST_F(OperationsTest, LinkLoopsEndInAnError) {
    fs::create_directories(layout.veskBase);
    fs::create_symlink("b", layout.veskBase + "/a");
    fs::create_symlink("a", layout.veskBase + "/b");
    EXPECT_FALSE(writeFile(layout.veskBase + "/a", "x", 0644).success);
    EXPECT_FALSE(writeFile(layout.veskBase + "/a/x", "x", 0644).success);
    EXPECT_FALSE(createDirectory(layout.veskBase + "/b/c", 0755).success);
    EXPECT_EQ(client->installedVersion(), std::nullopt);
}

TEST_F(OperationsTest, LinksThatStayInsideKeepWorking) {
    fs::create_directories(layout.binDir());
    fs::create_directories(layout.usrLocalBin);
    writeText(layout.binDir() + "/vesk", "old");
    fs::create_symlink(layout.binDir() + "/vesk", layout.cliLink);
    EXPECT_EQ(writeFile(layout.cliLink, "new", 0755), ok());
    EXPECT_EQ(readText(layout.binDir() + "/vesk"), "new");
    EXPECT_TRUE(fs::is_symlink(layout.cliLink));
    fs::create_symlink("bin", layout.veskBase + "/alias");
    EXPECT_EQ(writeFile(layout.veskBase + "/alias/tool", "t", 0700), ok());
    EXPECT_EQ(readText(layout.binDir() + "/tool"), "t");
}

TEST_F(OperationsTest, RemoveAndCreateEdgeCases) {
    EXPECT_EQ(call(Op::removeFile, {layout.veskBase + "/missing"}), ok());
    EXPECT_EQ(call(Op::removeFile, {"/etc/passwd"}), failure("Path not allowed: /etc/passwd"));
    fs::create_directories(layout.veskBase + "/keep");
    ::chmod((layout.veskBase + "/keep").c_str(), 0700);
    EXPECT_EQ(createDirectory(layout.veskBase + "/keep", 0755), ok());
    EXPECT_EQ(modeOf(layout.veskBase + "/keep"), 0700U);
    EXPECT_EQ(createDirectory(layout.veskBase + "/a/b", 0750), ok());
    EXPECT_EQ(modeOf(layout.veskBase + "/a"), 0750U);
    EXPECT_EQ(modeOf(layout.veskBase + "/a/b"), 0750U);
    EXPECT_EQ(createDirectory("/tmp/elsewhere", 0755), failure("Path not allowed: /tmp/elsewhere"));
    fs::create_symlink(layout.veskBase + "/nowhere", layout.veskBase + "/dangling");
    EXPECT_EQ(call(Op::removeFile, {layout.veskBase + "/dangling"}), ok());
    EXPECT_TRUE(fs::is_symlink(layout.veskBase + "/dangling"))
        << "a dangling link counts as missing";
}

// --- Installation -----------------------------------------------------------

class InstallTest : public OperationsTest {
  protected:
    void SetUp() override {
        OperationsTest::SetUp();
        chown = program(layout.chown);
        resources = root.path() + "/Resources";
        fs::create_directories(resources + "/bin");
    }
    void bundle(const std::string& name, const std::string& content) {
        writeText(resources + "/bin/" + name, content);
        ::chmod((resources + "/bin/" + name).c_str(), 0700);
    }
    std::string tree() {
        std::string out;
        for (const auto& e : fs::recursive_directory_iterator(root.path() + "/usr/local")) {
            out += e.path().string() + " " + std::to_string(modeOf(e.path().string()));
            if (e.is_symlink()) {
                out += " -> " + fs::read_symlink(e.path()).string();
            } else if (e.is_regular_file()) {
                out += " " + readText(e.path().string());
            }
            out += "\n";
        }
        return out;
    }
    std::string chown;
    std::string resources;
};

TEST_F(InstallTest, EmptyResourcesStillInstallTheEnvironment) {
    EXPECT_EQ(call(Op::installEnvironment, {resources}), ok());
    for (const char* d : {"/bin", "/etc", "/log", "/run", "/tmp"}) {
        EXPECT_EQ(modeOf(layout.veskBase + d), 0755U) << d;
    }
    EXPECT_EQ(readText(layout.resolverDir + "/test"), "nameserver 127.0.0.1\nport 53\n");
    EXPECT_EQ(readText(layout.versionFile), "1.0.0");
    EXPECT_FALSE(fs::exists(layout.cliLink) || fs::is_symlink(layout.cliLink));
    EXPECT_EQ(readText(chown + ".args"), "-R\nroot:\n" + layout.veskBase + "\n");
    EXPECT_EQ(client->installedVersion(), "1.0.0");
}

TEST_F(InstallTest, ProgramsLinkAndIdempotence) {
    bundle("nginx", "NGINX");
    bundle("dnsmasq", "DNSMASQ");
    bundle("vesk", "VESK");
    EXPECT_EQ(call(Op::installEnvironment, {resources}), ok());
    EXPECT_EQ(readText(layout.binDir() + "/nginx"), "NGINX");
    EXPECT_EQ(modeOf(layout.binDir() + "/dnsmasq"), 0755U);
    EXPECT_EQ(fs::read_symlink(layout.cliLink), layout.binDir() + "/vesk");
    EXPECT_EQ(log.count("VeskHelper: CLI installed at " + layout.cliLink), 1U);
    const std::string once = tree();
    EXPECT_EQ(call(Op::installEnvironment, {resources}), ok());
    EXPECT_EQ(tree(), once);
}

TEST_F(InstallTest, CLILinkReplacesDanglingLinksAndFiles) {
    EXPECT_EQ(call(Op::installCLI, {resources}),
              failure("CLI binary not found at " + resources + "/bin/vesk"));
    bundle("vesk", "VESK");
    fs::create_directories(layout.usrLocalBin);
    fs::create_symlink("/nowhere/at/all", layout.cliLink);
    EXPECT_EQ(call(Op::installCLI, {resources}), ok());
    EXPECT_EQ(fs::read_symlink(layout.cliLink), layout.binDir() + "/vesk");
    EXPECT_EQ(log.count("VeskHelper: CLI installed at " + layout.cliLink + " -> " +
                        layout.binDir() + "/vesk"),
              1U);
    fs::remove(layout.cliLink);
    writeText(layout.cliLink, "a regular file");
    EXPECT_EQ(call(Op::installCLI, {resources}), ok());
    EXPECT_TRUE(fs::is_symlink(layout.cliLink));
    EXPECT_EQ(call(Op::removeCLI), ok());
    EXPECT_FALSE(fs::is_symlink(layout.cliLink));
    EXPECT_FALSE(fs::exists(layout.binDir() + "/vesk"));
    EXPECT_EQ(call(Op::removeCLI), ok());
    EXPECT_EQ(log.count("VeskHelper: CLI removed"), 2U);
}

TEST_F(InstallTest, CopiesOnlyWhatTheCallerCouldRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    // The environment was handed to user 65534, who may therefore call.
    fs::create_directories(layout.veskBase);
    ASSERT_EQ(::chown(layout.veskBase.c_str(), 65534, 65534), 0);
    ::chmod(resources.c_str(), 0755);
    ::chmod((resources + "/bin").c_str(), 0755);
    fs::create_symlink("/etc/shadow", resources + "/bin/nginx");
    const std::string replyFile = root.path() + "/reply";
    writeText(replyFile, "");
    ::chmod(replyFile.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
        const int out = ::open(replyFile.c_str(), O_WRONLY | O_CREAT, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::execl(VESK_HELPERCTL, VESK_HELPERCTL, "--socket", layout.socketPath.c_str(),
                "InstallEnvironment", ("bundleResourcesPath=" + resources).c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << readText(replyFile);
    EXPECT_NE(readText(replyFile).find("Installation failed: " + resources +
                                       "/bin/nginx: Permission denied"),
              std::string::npos)
        << readText(replyFile);
    EXPECT_FALSE(fs::exists(layout.binDir() + "/nginx"));
}

TEST_F(InstallTest, UninstallRepliesThenExitsWithZero) {
    EXPECT_EQ(call(Op::uninstallHelper), ok());
    {
        const std::lock_guard lock(exitMutex);
        EXPECT_TRUE(exitStatuses.empty()) << "the reply comes first";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const std::lock_guard lock(exitMutex);
    EXPECT_EQ(exitStatuses, std::vector<int>{0});
}

}  // namespace
