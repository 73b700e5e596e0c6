#include "vesk/services/NodeApp.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
namespace nodeapps = vesk::nodeapps;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "vesk-node-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(NodeApp, TheStartScriptOfPackageJson) {
    EXPECT_EQ(nodeapps::startScript(
                  R"({"name":"api","scripts":{"dev":"vite","start":"node server.js"}})"),
              "node server.js");
    EXPECT_FALSE(nodeapps::startScript(R"({"scripts":{"dev":"vite"}})"));
    EXPECT_FALSE(nodeapps::startScript(R"({"scripts":{"start":"   "}})"));
    EXPECT_FALSE(nodeapps::startScript(R"({"scripts":{"start":["node"]}})"));
    EXPECT_FALSE(nodeapps::startScript(R"({"scripts":"start"})"));
    EXPECT_FALSE(nodeapps::startScript("[1,2]"));
    EXPECT_FALSE(nodeapps::startScript("{not json"));
    EXPECT_FALSE(nodeapps::startScript(""));
}

TEST(NodeApp, TheCommandRunsTheScriptWithItsPortThroughAnInstalledManager) {
    TempDir dir;
    const std::string bin = dir.path() + "/bin";
    fs::create_directories(bin);
    for (const char* program : {"npm", "pnpm"}) {
        std::ofstream(bin + "/" + program) << "#!/bin/sh\n";
        ::chmod((bin + "/" + program).c_str(), 0755);
    }
    const vesk::NodeApp app{"api.test", 3107, true};
    const auto npm = nodeapps::commandLine(app, vesk::PackageManager::npm, bin);
    EXPECT_EQ(npm.program, bin + "/npm");
    EXPECT_EQ(npm.arguments, (std::vector<std::string>{"run", "start"}));
    EXPECT_EQ(npm.environment,
              (std::vector<std::string>{"PORT=3107", "HOST=127.0.0.1", "NODE_ENV=development"}));
    EXPECT_EQ(nodeapps::commandLine(app, vesk::PackageManager::pnpm, bin).program, bin + "/pnpm");
    // yarn's lock file, and no yarn here: npm runs it.
    EXPECT_EQ(nodeapps::commandLine(app, vesk::PackageManager::yarn, bin).program, bin + "/npm");

    const std::string project = dir.path() + "/project";
    fs::create_directories(project);
    EXPECT_EQ(nodeapps::managerOf(project), vesk::PackageManager::npm);
    std::ofstream(project + "/pnpm-lock.yaml") << "";
    EXPECT_EQ(nodeapps::managerOf(project), vesk::PackageManager::pnpm);
}

TEST(NodeApp, TheVersionAProjectAsksFor) {
    TempDir dir;
    EXPECT_FALSE(nodeapps::requestedVersion(dir.path()));
    std::ofstream(dir.path() + "/package.json") << R"({"engines":{"node":">=18"}})";
    EXPECT_EQ(nodeapps::requestedVersion(dir.path()), ">=18");
    std::ofstream(dir.path() + "/.nvmrc") << "# the team's\n\n  v16.20.2  \n";
    EXPECT_EQ(nodeapps::requestedVersion(dir.path()), "v16.20.2");

    EXPECT_TRUE(nodeapps::satisfies("20", 20));
    EXPECT_TRUE(nodeapps::satisfies("v20.1.0", 20));
    EXPECT_TRUE(nodeapps::satisfies("20.x", 20));
    EXPECT_TRUE(nodeapps::satisfies("^20.3", 20));
    EXPECT_TRUE(nodeapps::satisfies(">=18", 20));
    EXPECT_TRUE(nodeapps::satisfies("16 || 18 || 20", 20));
    EXPECT_TRUE(nodeapps::satisfies("lts/*", 20));
    EXPECT_TRUE(nodeapps::satisfies("*", 20));
    EXPECT_FALSE(nodeapps::satisfies("v16.20.2", 20));
    EXPECT_FALSE(nodeapps::satisfies(">=22", 20));
    EXPECT_FALSE(nodeapps::satisfies("<20", 20));
    EXPECT_FALSE(nodeapps::satisfies("~18.1", 20));
    EXPECT_FALSE(nodeapps::satisfies("14 || 16", 20));
}

}  // namespace

namespace {

TEST(Vite, TheDevServerRunsTheProjectsOwnViteOnItsPortAlone) {
    TempDir dir;
    const std::string bin = dir.path() + "/bin";
    fs::create_directories(bin);
    for (const char* program : {"npx", "pnpm"}) {
        std::ofstream(bin + "/" + program) << "#!/bin/sh\n";
        ::chmod((bin + "/" + program).c_str(), 0755);
    }
    vesk::ViteConfig config{"app.test", dir.path(),  5175, false, vesk::PackageManager::npm,
                            true,       std::nullopt};
    const auto npm = vesk::vite::commandLine(config, bin);
    EXPECT_EQ(npm.program, bin + "/npx");
    // After "--": npx would take --port and --host as its own.
    EXPECT_EQ(npm.arguments, (std::vector<std::string>{"--no", "--", "vite", "--port", "5175",
                                                       "--strictPort", "--host", "127.0.0.1"}));
    config.packageManager = vesk::PackageManager::pnpm;
    EXPECT_EQ(vesk::vite::commandLine(config, bin).arguments.front(), "exec");
    config.packageManager = vesk::PackageManager::bun;  // no bunx here
    EXPECT_EQ(vesk::vite::commandLine(config, bin).program, bin + "/npx");

    EXPECT_FALSE(vesk::vite::usesVite(dir.path()));
    std::ofstream(dir.path() + "/package.json") << R"({"devDependencies":{"vite":"^7"}})";
    EXPECT_TRUE(vesk::vite::usesVite(dir.path()));
    std::ofstream(dir.path() + "/package.json") << R"({"dependencies":{"vitest":"1"}})";
    EXPECT_FALSE(vesk::vite::usesVite(dir.path()));
}

}  // namespace
