#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "vesk/app/Notifications.hpp"
#include "vesk/foundation/Version.hpp"
#include "vesk/foundation/VeskPaths.hpp"

namespace {

namespace P = vesk::VeskPaths;

class HomeGuard {
  public:
    HomeGuard() {
        if (const char* h = std::getenv("HOME")) saved_ = h;
    }
    ~HomeGuard() {
        if (saved_) {
            setenv("HOME", saved_->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }

  private:
    std::optional<std::string> saved_;
};

TEST(VeskPaths, FollowHomeOnEveryAccess) {
    HomeGuard guard;
    setenv("HOME", "/home/a", 1);
    EXPECT_EQ(P::baseDir(), "/home/a/Library/Application Support/Vesk");
    setenv("HOME", "/home/b/", 1);
    EXPECT_EQ(P::baseDir(), "/home/b/Library/Application Support/Vesk");
    EXPECT_EQ(P::settingsPath(), "/home/b/Library/Application Support/Vesk/config/settings.json");
    EXPECT_EQ(P::nginxVhostDir(), "/home/b/Library/Application Support/Vesk/nginx/vhosts");
    EXPECT_EQ(P::caDir(), "/home/b/Library/Application Support/Vesk/ssl/ca");
    EXPECT_EQ(P::servicesDataDir(), "/home/b/Library/Application Support/Vesk/data");
    EXPECT_EQ(P::goVersionsDir(), "/home/b/Library/Application Support/Vesk/go-versions");
}

TEST(VeskPaths, RelativeOrMissingHomeFallsBackToThePasswordEntry) {
    HomeGuard guard;
    setenv("HOME", "relative", 1);
    const std::string fromPasswd = P::baseDir();
    EXPECT_EQ(fromPasswd.front(), '/');
    EXPECT_EQ(fromPasswd.find("relative"), std::string::npos);
    unsetenv("HOME");
    EXPECT_EQ(P::baseDir(), fromPasswd);
}

TEST(VeskPaths, ArgumentsAreInsertedUnchanged) {
    HomeGuard guard;
    setenv("HOME", "/h", 1);
    EXPECT_EQ(P::phpVersionDir("8.3"), "/h/Library/Application Support/Vesk/php-versions/8.3");
    EXPECT_EQ(P::phpVersionDir(""), "/h/Library/Application Support/Vesk/php-versions/");
    EXPECT_EQ(P::serviceDataDir("redis"), "/h/Library/Application Support/Vesk/data/redis");
    EXPECT_EQ(P::phpFpmPidPath("8.4"), "/tmp/vesk/php-fpm-8.4.pid");
    EXPECT_EQ(P::debugSocketPath, "/tmp/vesk/vesk-debug.sock");
    EXPECT_EQ(P::tmpDir, "/tmp/vesk");
}

TEST(VersionAndNotifications, Constants) {
    EXPECT_EQ(vesk::VeskVersion::current, "1.0.0");
    const auto& name = vesk::VeskNotification::sitesDidChange();
    EXPECT_EQ(name.rawValue, "com.vesk.sitesDidChange");
    EXPECT_EQ(&name, &vesk::VeskNotification::sitesDidChange()) << "created once and shared";
}

}  // namespace
