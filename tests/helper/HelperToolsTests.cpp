#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "HelperTestSupport.hpp"
#include "HelperTools.hpp"
#include "SafeFS.hpp"

namespace {

using vesk::EnvironmentLayout;
using vesk::helper::createDirIfNeeded;
using vesk::helper::isAllowedPath;
using vesk::helper::runShell;
using vesk::helper::standardizePath;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(StandardizePath, ListedRules) {
    EXPECT_EQ(standardizePath("~/x", "/root"), "/root/x");
    EXPECT_EQ(standardizePath("~", "/root"), "/root");
    EXPECT_EQ(standardizePath("/a//b/./c/", "/root"), "/a/b/c");
    EXPECT_EQ(standardizePath("/a/b/../../../c", "/root"), "/c");
    EXPECT_EQ(standardizePath("a/../b", "/root"), "a/../b") << "relative paths keep their ..";
    EXPECT_EQ(standardizePath("/", "/root"), "/");
    EXPECT_EQ(standardizePath("/private/etc", "/root"), "/etc") << "/etc exists";
    EXPECT_EQ(standardizePath("/private/no-such-thing-here", "/root"),
              "/private/no-such-thing-here");
}

TEST(IsAllowedPath, TheFourPlacesAndNothingElse) {
    const EnvironmentLayout l = EnvironmentLayout::production();
    EXPECT_TRUE(isAllowedPath(l, "/usr/local/vesk/etc/nginx.conf"));
    EXPECT_TRUE(isAllowedPath(l, "/usr/local/vesk"));
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/vesk/../../etc/passwd"));
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/vesk-evil/x")) << "component-wise, not a text prefix";
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/veskfoo"));
    EXPECT_TRUE(isAllowedPath(l, "/usr/local/bin/vesk"));
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/bin/vesk-other"));
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/bin/vesk/x"));
    EXPECT_TRUE(isAllowedPath(l, "/etc/resolver/test"));
    EXPECT_FALSE(isAllowedPath(l, "/etc/resolver.conf"));
    EXPECT_TRUE(isAllowedPath(l, "/Library/LaunchDaemons/com.vesk.mysql.plist"));
    EXPECT_FALSE(isAllowedPath(l, "/Library/LaunchDaemons/com.other.plist"));
    EXPECT_FALSE(isAllowedPath(l, "/Library/LaunchDaemons/com.vesk."));
    EXPECT_FALSE(isAllowedPath(l, "/Library/LaunchDaemons/com.vesk.x/../../../etc/shadow"));
    EXPECT_FALSE(isAllowedPath(l, "/Library/LaunchDaemons/com.vesk.d/inner"));
    EXPECT_FALSE(isAllowedPath(l, "usr/local/vesk/x"));
    EXPECT_FALSE(isAllowedPath(l, "./usr/local/vesk"));
    EXPECT_FALSE(isAllowedPath(l, ""));
    EXPECT_FALSE(isAllowedPath(l, "/etc/hosts"));
    EXPECT_FALSE(isAllowedPath(l, std::string("/usr/local/vesk/a\0/etc", 22)));
    EXPECT_TRUE(isAllowedPath(l, "/usr/local/vesk/./bin//nginx/"));
}

TEST(IsAllowedPath, FollowsTheLayout) {
    const EnvironmentLayout l = EnvironmentLayout::rootedAt("/tmp/r");
    EXPECT_TRUE(isAllowedPath(l, "/tmp/r/usr/local/vesk/x"));
    EXPECT_FALSE(isAllowedPath(l, "/usr/local/vesk/x"));
}

TEST(RunShell, StatusOutputAndLaunchFailure) {
    vesk::test::LogCapture log;
    EXPECT_EQ(runShell("/bin/sh", {"-c", "exit 3"}), 3);
    EXPECT_EQ(runShell("/bin/sh", {"-c", "head -c 20000000 /dev/zero; echo done >&2"}), 0)
        << "output goes to the null device, never a full pipe";
    EXPECT_EQ(runShell("/bin/sh", {"-c", "kill -TERM $$"}), 15);
    EXPECT_EQ(runShell("/bin/echo", {"$HOME; rm -rf /"}), 0) << "arguments are not expanded";
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(runShell("/no/such/program", {}), -1);
    EXPECT_EQ(runShell("sh", {"-c", "true"}), -1) << "no search path";
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "VeskHelper: Failed to run /no/such/program: No such file or directory");
    EXPECT_EQ(lines[1].rfind("VeskHelper: Failed to run sh: ", 0), 0U);
}

TEST(RunShell, ChildrenGetDefaultSignalDispositions) {
    auto* const old = std::signal(SIGPIPE, SIG_IGN);  // as the helper process runs
    const int rc = runShell("/bin/sh", {"-c",
                                        "ign=$(awk '/^SigIgn/{print $2}' /proc/$$/status); "
                                        "exit $(( (0x$ign & 0x1000) != 0 ))"});
    std::signal(SIGPIPE, old);
    EXPECT_EQ(rc, 0) << "SIGPIPE is not ignored in the child";
}

TEST(CreateDirIfNeeded, ExistingIsLeftAloneMissingLevelsGetTheMode) {
    vesk::test::TempRoot root;
    const std::string existing = root.path() + "/existing";
    ::mkdir(existing.c_str(), 0700);
    const EnvironmentLayout l = EnvironmentLayout::rootedAt(root.path());
    createDirIfNeeded(l, existing, 0755);
    EXPECT_EQ(modeOf(existing), 0700U);

    const mode_t old = ::umask(022);
    const std::string nested = root.path() + "/a/b/c";
    createDirIfNeeded(l, nested, 0775);
    ::umask(old);
    EXPECT_EQ(modeOf(root.path() + "/a"), 0775U);
    EXPECT_EQ(modeOf(root.path() + "/a/b"), 0775U);
    EXPECT_EQ(modeOf(nested), 0775U);

    vesk::test::writeText(root.path() + "/file", "x");
    EXPECT_NO_THROW(createDirIfNeeded(l, root.path() + "/file", 0755))
        << "anything existing counts";
    EXPECT_THROW(createDirIfNeeded(l, root.path() + "/file/below", 0755), vesk::helper::FileError);
}

}  // namespace

TEST(StandardPath, OnceForTheAllowListAndTheWalk) {
    const auto l = vesk::EnvironmentLayout::production();
    const auto p = vesk::helper::standardPath(l, "/usr/local/vesk//etc/./a/../nginx.conf");
    EXPECT_EQ(p.given, "/usr/local/vesk//etc/./a/../nginx.conf");
    EXPECT_EQ(p.text, "/usr/local/vesk/etc/nginx.conf");
    EXPECT_TRUE(p.allowed);
    EXPECT_FALSE(vesk::helper::standardPath(l, "/usr/local/vesk/../vesk2/x").allowed);
    EXPECT_FALSE(vesk::helper::standardPath(l, std::string("/usr/local/vesk/a\0b", 19)).allowed);
    EXPECT_FALSE(vesk::helper::standardPath(l, "").allowed);
}
