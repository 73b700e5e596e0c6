// Property lists of launch daemons into systemd units: the texts are checked
// against units written by hand, and every refusal names its key.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <fstream>
#include <sstream>

#include "LaunchDaemonUnit.hpp"
#include "SystemdUnits.hpp"

namespace {

using vesk::launchctl::quoteExecWord;
using vesk::launchctl::readLaunchDaemon;
using vesk::launchctl::unitText;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string plistFixture(const std::string& label) {
    return readAll(std::string(VESK_PLIST_DIR) + "/" + label + ".plist");
}

std::string xmlPlist(const std::string& body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" + body +
           "</dict></plist>";
}

std::string errorOf(const std::string& body, const std::string& label = "job") {
    const auto r = readLaunchDaemon(xmlPlist(body), label);
    EXPECT_FALSE(r.daemon.has_value()) << body;
    return r.error;
}

constexpr const char* kJob =
    "<key>Label</key><string>job</string>"
    "<key>ProgramArguments</key><array><string>/bin/true</string></array>";

TEST(LaunchDaemonUnit, UnitsMatchTheOnesWrittenByHand) {
    for (const char* label : {"com.vesk.sleeper", "com.vesk.every-key", "com.vesk.keepalive",
                              "com.vesk.arguments", "com.vesk.binary"}) {
        const auto r = readLaunchDaemon(plistFixture(label), label);
        ASSERT_TRUE(r.daemon) << label << ": " << r.error;
        EXPECT_EQ(unitText(*r.daemon),
                  readAll(std::string(VESK_GOLDEN_DIR) + "/launchctl/" + label + ".service"))
            << label;
    }
}

TEST(LaunchDaemonUnit, BinaryAndXmlFormsReadTheSame) {
    const std::string xml = plistFixture("com.vesk.every-key");
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    plist_free(root);
    const std::string binary(bin, length);
    std::free(bin);
    ASSERT_EQ(binary.rfind("bplist00", 0), 0U);
    const auto fromXml = readLaunchDaemon(xml, "com.vesk.every-key");
    const auto fromBinary = readLaunchDaemon(binary, "com.vesk.every-key");
    ASSERT_TRUE(fromXml.daemon && fromBinary.daemon);
    EXPECT_EQ(unitText(*fromXml.daemon), unitText(*fromBinary.daemon));
}

TEST(LaunchDaemonUnit, WhatStartsAtLoad) {
    const auto starts = [](const std::string& extra) {
        const auto r = readLaunchDaemon(xmlPlist(kJob + extra), "job");
        EXPECT_TRUE(r.daemon) << r.error;
        return r.daemon && r.daemon->startsAtLoad();
    };
    EXPECT_FALSE(starts(""));
    EXPECT_TRUE(starts("<key>RunAtLoad</key><true/>"));
    EXPECT_TRUE(starts("<key>KeepAlive</key><true/>"));
    EXPECT_TRUE(starts("<key>KeepAlive</key><dict><key>SuccessfulExit</key><true/></dict>"));
    EXPECT_FALSE(starts("<key>KeepAlive</key><dict/>"));
    EXPECT_FALSE(starts("<key>RunAtLoad</key><true/><key>Disabled</key><true/>"));
    const auto r = readLaunchDaemon(
        xmlPlist(std::string(kJob) + "<key>ExitTimeOut</key><integer>0</integer>"
                                     "<key>KeepAlive</key><dict><key>SuccessfulExit</key>"
                                     "<true/></dict>"),
        "job");
    ASSERT_TRUE(r.daemon);
    const std::string text = unitText(*r.daemon);
    EXPECT_NE(text.find("\nTimeoutStopSec=infinity\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nRestart=on-success\n"), std::string::npos) << text;
}

TEST(LaunchDaemonUnit, EveryRefusalNamesWhatCannotBeTranslated) {
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>StartInterval</key><integer>60</integer>"),
              "cannot translate key StartInterval");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>RunAtLoad</key><string>yes</string>"),
              "cannot translate key RunAtLoad");
    EXPECT_EQ(
        errorOf(std::string(kJob) + "<key>KeepAlive</key><dict><key>Crashed</key><true/></dict>"),
        "cannot translate key KeepAlive.Crashed");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>ThrottleInterval</key><integer>-1</integer>"),
              "cannot translate key ThrottleInterval");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>WorkingDirectory</key><string>tmp</string>"),
              "cannot translate key WorkingDirectory");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>StandardOutPath</key><string>/tmp/a\nb</string>"),
              "cannot translate key StandardOutPath");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>UserName</key><string>%n</string>"),
              "cannot translate key UserName");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>EnvironmentVariables</key><dict><key>A B</key>"
                                          "<string>x</string></dict>"),
              "cannot translate key EnvironmentVariables.A B");
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>EnvironmentVariables</key><dict><key>A</key>"
                                          "<string>bell\x07</string></dict>"),
              "cannot translate key EnvironmentVariables.A");
    EXPECT_EQ(errorOf("<key>Label</key><string>job</string><key>ProgramArguments</key><array/>"),
              "cannot translate key ProgramArguments");
    EXPECT_EQ(errorOf("<key>Label</key><string>job</string><key>Program</key><string>-rm</string>"),
              "cannot translate key Program");
    EXPECT_EQ(errorOf("<key>Label</key><string>job</string>"),
              "the property list has neither Program nor ProgramArguments");
    EXPECT_EQ(errorOf("<key>Program</key><string>/bin/true</string>"),
              "the property list has no Label");
    EXPECT_EQ(errorOf(kJob, "other"), "label job differs from the file's name other");
    for (const char* label : {"../etc/x", "a@b", "a/b", ".hidden", "a..b", "x y", "a\\x2fb"}) {
        EXPECT_EQ(errorOf(std::string("<key>Label</key><string>") + label +
                              "</string><key>Program</key><string>/bin/true</string>",
                          label),
                  std::string("label ") + label + " is not a safe unit name");
    }
    // Found by fuzzing: a key with a line end in its name still makes one line.
    EXPECT_EQ(errorOf(std::string(kJob) + "<key>Env\nHOME\x01</key><true/>"),
              "cannot translate key Env\\x0aHOME\\x01");
    EXPECT_EQ(errorOf("<key>Label</key><string>a\nb</string>", "job"),
              "label a\\x0ab is not a safe unit name");
    EXPECT_EQ(readLaunchDaemon("not a plist", "job").error, "not a property list");
    EXPECT_EQ(readLaunchDaemon("<plist><array/></plist>", "job").error,
              "not a launch daemon's property list");
    EXPECT_EQ(readLaunchDaemon(std::string((1 << 20) + 1, ' '), "job").error,
              "the property list is larger than 1 MiB");
}

TEST(LaunchDaemonUnit, FoundByFuzzingABinaryDictionaryWhoseKeyIsNoKeyIsRefused) {
    // libplist's dictionary walk aborts on such a list; read in XML form it
    // is refused instead.
    const std::string bytes =
        readAll(std::string(VESK_REGRESSIONS_DIR) + "/plist-dict-key-not-a-key.bplist");
    ASSERT_EQ(bytes.rfind("bplist00", 0), 0U);
    const auto r = readLaunchDaemon(bytes, "job");
    EXPECT_FALSE(r.daemon.has_value());
    EXPECT_FALSE(r.error.empty());
}

TEST(LaunchDaemonUnit, APathEndingInABackslashNeverJoinsTheNextUnitLine) {
    // systemd reads a final backslash as a line continuation: the User= line
    // after WorkingDirectory= would be swallowed and the job run as root.
    for (const char* key : {"WorkingDirectory", "StandardOutPath", "StandardErrorPath"}) {
        EXPECT_EQ(errorOf(std::string(kJob) + "<key>UserName</key><string>nobody</string><key>" +
                          key + "</key><string>/tmp/x User=nobody\\</string>"),
                  std::string("cannot translate key ") + key);
    }
    const auto inside = readLaunchDaemon(
        xmlPlist(std::string(kJob) + "<key>WorkingDirectory</key><string>/tmp/a\\b</string>"),
        "job");
    ASSERT_TRUE(inside.daemon) << "a backslash inside a path is only a character";
    EXPECT_NE(unitText(*inside.daemon).find("\nWorkingDirectory=/tmp/a\\b\n"), std::string::npos);
}

// A binary list of `levels` arrays, each referring twice to the next: libplist
// would read 2^levels objects from a few hundred bytes.
std::string binaryBomb(int levels) {
    std::string b = "bplist00";
    std::vector<std::size_t> offsets;
    const int objects = levels + 1;
    for (int i = 0; i < levels; ++i) {
        offsets.push_back(b.size());
        b += static_cast<char>(0xA2);
        b += static_cast<char>(i + 1);
        b += static_cast<char>(i + 1);
    }
    offsets.push_back(b.size());
    b += static_cast<char>(0x09);  // true
    const std::size_t table = b.size();
    for (const std::size_t o : offsets) b += static_cast<char>(o);
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(objects);
    trailer[23] = 0;
    trailer[31] = static_cast<char>(table);
    return b + trailer;
}

TEST(LaunchDaemonUnit, BinaryListsThatExpandBeyondTheirSizeAreRefused) {
    const auto bomb = readLaunchDaemon(binaryBomb(40), "job");
    EXPECT_EQ(bomb.error, "the binary property list refers to a container more than once");
    // One level shares only a leaf (true): it is read.
    const std::string tree = binaryBomb(1);
    EXPECT_EQ(readLaunchDaemon(tree, "job").error, "not a launch daemon's property list")
        << "parsed, then refused for what it is";
    // A list whose own top object is referred to loops.
    std::string loop = binaryBomb(2);
    loop[10] = 0;  // the second array refers back to the first
    EXPECT_EQ(readLaunchDaemon(loop, "job").error,
              "the binary property list refers to a container more than once");
    for (std::size_t cut = 8; cut < 40; cut += 7) {
        EXPECT_FALSE(readLaunchDaemon(binaryBomb(3).substr(0, cut), "job").daemon) << cut;
    }
    // Writers share equal texts and Booleans: such lists still read.
    const auto shared = readLaunchDaemon(plistFixture("com.vesk.binary"), "com.vesk.binary");
    EXPECT_TRUE(shared.daemon) << shared.error;
}

TEST(SystemdUnits, OnlyTheFileLaunchctlWroteIsOurs) {
    const std::string path = "/etc/systemd/system/job.service";
    vesk::launchctl::UnitOrigin none{"not-found", "inactive", "", "", {}, false};
    EXPECT_EQ(vesk::launchctl::notOurs(none, path), "");
    auto ours = none;
    ours.loadState = "loaded";
    ours.fragmentPath = path;
    EXPECT_EQ(vesk::launchctl::notOurs(ours, path), "");
    auto generated = ours;
    generated.fragmentPath = "/run/systemd/generator.late/job.service";
    generated.sourcePath = "/etc/init.d/job";
    EXPECT_EQ(vesk::launchctl::notOurs(generated, path),
              "the unit is generated from /etc/init.d/job");
    auto transient = none;
    transient.transient = true;
    transient.activeState = "active";
    EXPECT_EQ(vesk::launchctl::notOurs(transient, path), "a transient unit of that name exists");
    auto running = none;
    running.activeState = "active";
    EXPECT_EQ(vesk::launchctl::notOurs(running, path), "a job of that name is active");
    auto dropIn = none;
    dropIn.dropInPaths = {"/etc/systemd/system/job.service.d/x.conf"};
    EXPECT_EQ(vesk::launchctl::notOurs(dropIn, path),
              "the unit has drop-ins (/etc/systemd/system/job.service.d/x.conf)");
    auto masked = none;
    masked.loadState = "masked";
    masked.fragmentPath = "/dev/null";
    EXPECT_EQ(vesk::launchctl::notOurs(masked, path), "the unit is /dev/null");
}

TEST(SystemdUnits, WhatSystemdReadsBackMustBeWhatTheListSaid) {
    const auto r = readLaunchDaemon(plistFixture("com.vesk.every-key"), "com.vesk.every-key");
    ASSERT_TRUE(r.daemon) << r.error;
    const auto& d = *r.daemon;
    vesk::launchctl::LoadedService s;
    s.execPath = d.executable;
    for (const auto& word : d.argv) {
        std::string& loaded = s.argv.emplace_back();
        for (const char c : word) loaded += c == '$' ? std::string("$$") : std::string(1, c);
    }
    s.user = d.userName.value_or("");
    s.group = d.groupName.value_or("");
    s.workingDirectory = d.workingDirectory.value_or("");
    for (const auto& [name, value] : d.environment) s.environment.push_back(name + "=" + value);
    s.restart = "on-failure";  // KeepAlive {SuccessfulExit: false}
    s.standardOutput = d.standardOutPath ? "append" : "journal";
    s.standardError = d.standardErrorPath ? "append" : "inherit";
    ASSERT_EQ(vesk::launchctl::readBackMismatch(d, s), "");
    auto swallowed = s;
    swallowed.user.clear();
    EXPECT_EQ(vesk::launchctl::readBackMismatch(d, swallowed), "User reads back as ");
    auto joined = s;
    joined.argv.back() += " more";
    EXPECT_EQ(vesk::launchctl::readBackMismatch(d, joined),
              "ExecStart's arguments read back differently");
    auto restart = s;
    restart.restart = "no";
    EXPECT_NE(vesk::launchctl::readBackMismatch(d, restart), "");
    auto env = s;
    env.environment.pop_back();
    EXPECT_EQ(vesk::launchctl::readBackMismatch(d, env), "Environment reads back differently");
    EXPECT_EQ(vesk::decodeJSON<vesk::launchctl::LaunchDaemon>(vesk::encodeJSON(d)), d)
        << "the parsing child hands the job over whole";
}

TEST(LaunchDaemonUnit, AJobHandedOverIsCheckedAgainByTheSameRules) {
    // launchctl trusts the parsing child no more than the list: whatever it
    // hands over is checked again before a unit is written.
    const auto r = readLaunchDaemon(plistFixture("com.vesk.every-key"), "com.vesk.every-key");
    ASSERT_TRUE(r.daemon) << r.error;
    using vesk::launchctl::checkLaunchDaemon;
    EXPECT_EQ(checkLaunchDaemon(*r.daemon, "com.vesk.every-key"), "");
    const auto refused = [&](auto change) {
        auto d = *r.daemon;
        change(d);
        return checkLaunchDaemon(d, "com.vesk.every-key");
    };
    using D = vesk::launchctl::LaunchDaemon;
    EXPECT_NE(refused([](D& d) { d.label = "../../etc/x"; }), "");
    EXPECT_EQ(refused([](D& d) { d.executable = "-/bin/sh"; }), "cannot translate key Program");
    EXPECT_EQ(refused([](D& d) { d.argv.clear(); }), "cannot translate key ProgramArguments");
    EXPECT_EQ(refused([](D& d) { d.workingDirectory = "/tmp/x\\"; }),
              "cannot translate key WorkingDirectory");
    EXPECT_EQ(refused([](D& d) { d.standardOutPath = "/tmp/a\nUser=root"; }),
              "cannot translate key StandardOutPath");
    EXPECT_EQ(refused([](D& d) { d.userName = "root\nGroup=root"; }),
              "cannot translate key UserName");
    EXPECT_EQ(refused([](D& d) {
                  d.environment.push_back({"A B", "x"});
              }),
              "cannot translate key EnvironmentVariables.A B");
    EXPECT_EQ(refused([](D& d) { d.throttleInterval = 2'000'000; }),
              "cannot translate key ThrottleInterval");
}

TEST(LaunchDaemonUnit, WordsPassThroughSystemdUnchanged) {
    EXPECT_EQ(quoteExecWord("plain"), R"("plain")");
    EXPECT_EQ(quoteExecWord("a b"), R"("a b")");
    EXPECT_EQ(quoteExecWord(R"(say "hi" \ there)"), R"("say \"hi\" \\ there")");
    EXPECT_EQ(quoteExecWord("100% $HOME ${X}"), R"("100%% $$HOME $${X}")");
    EXPECT_EQ(quoteExecWord("/opt/$dir/100%", false), R"("/opt/$dir/100%%")");
    EXPECT_EQ(quoteExecWord("a\nb\tc\x01\x7f"), R"("a\nb\tc\x01\x7f")");
    EXPECT_EQ(quoteExecWord(""), R"("")");
}

TEST(LaunchDaemonUnit, AnExecutablePathWithADollarIsGivenApartFromArgvZero) {
    const auto r = readLaunchDaemon(xmlPlist("<key>Label</key><string>job</string>"
                                             "<key>Program</key><string>/opt/$x/run</string>"),
                                    "job");
    ASSERT_TRUE(r.daemon) << r.error;
    EXPECT_NE(unitText(*r.daemon).find("\nExecStart=\"@/opt/$x/run\" \"/opt/$$x/run\"\n"),
              std::string::npos)
        << unitText(*r.daemon);
}

}  // namespace
