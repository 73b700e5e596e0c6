// Who gets in: real client programs, signed in every way that must fail,
// connecting to a real helper.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "CallerCheck.hpp"
#include "CodeSignature.hpp"
#include "HelperTestSupport.hpp"

namespace {

using vesk::test::readText;
using vesk::test::runProgram;
using vesk::test::fs::path;
using Bytes = std::vector<std::uint8_t>;

const std::string kIdentity = VESK_IDENTITY_DIR;
const std::string kClient = VESK_HELPERCTL;

Bytes readBytes(const std::string& p) {
    const std::string s = readText(p);
    return Bytes(s.begin(), s.end());
}

void writeExecutable(const std::string& p, const Bytes& b) {
    vesk::test::writeText(p, std::string(b.begin(), b.end()));
    ::chmod(p.c_str(), 0755);
}

bool openssl(const std::string& args) {
    return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
}

/// Certificates and signed client variants, made once for the whole suite.
class Variants {
  public:
    Variants()
        : dir_((vesk::test::fs::temp_directory_path() /
                ("vesk-variants-" + std::to_string(::getpid())))
                   .string()) {
        vesk::test::fs::create_directories(dir_);
        ::chmod(dir_.c_str(), 0755);
        const Bytes signedClient = readBytes(kClient);
        content_ = Bytes(vesk::codesign::signedContent(signedClient).value().begin(),
                         vesk::codesign::signedContent(signedClient).value().end());
        leaf("other", "/O=Other/OU=OTHERTEAM1/CN=Other", kIdentity + "/root");
        leaf("lower", "/O=Dev/OU=devteam001/CN=Lower", kIdentity + "/root");
        leaf("noteam", "/O=Dev/CN=Ad hoc", kIdentity + "/root");
        leaf("second", "/O=Dev/OU=DEVTEAM001/CN=Second", kIdentity + "/root");
        openssl(
            "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -keyout " +
            dir_ + "/self.key -out " + dir_ + "/self.pem -subj /O=Dev/OU=DEVTEAM001/CN=Self");
        openssl(
            "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -keyout " +
            dir_ + "/foreign-root.key -out " + dir_ + "/foreign-root.pem -subj /CN=Foreign");
        leaf("foreign", "/O=Dev/OU=DEVTEAM001/CN=Foreign leaf", dir_ + "/foreign-root");
    }
    ~Variants() {
        std::error_code ec;
        vesk::test::fs::remove_all(dir_, ec);
    }

    vesk::codesign::Identity identity(const std::string& base) const {
        return {readText(base + ".key"), readText(base + ".pem")};
    }
    vesk::codesign::Identity team() const { return identity(kIdentity + "/team"); }
    vesk::codesign::Identity named(const std::string& n) const { return identity(dir_ + "/" + n); }
    const Bytes& content() const { return content_; }

    std::string make(const std::string& name, const Bytes& bytes) const {
        const std::string p = dir_ + "/" + name;
        writeExecutable(p, bytes);
        return p;
    }

  private:
    void leaf(const std::string& name, const std::string& subject, const std::string& ca) {
        const std::string b = dir_ + "/" + name;
        openssl("req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + b +
                ".key -out " + b + ".csr -subj '" + subject + "'");
        openssl("x509 -req -in " + b + ".csr -CA " + ca + ".pem -CAkey " + ca +
                ".key -CAcreateserial -days 30 -out " + b + ".pem");
    }
    std::string dir_;
    Bytes content_;
};

const Variants& variants() {
    static const Variants v;
    return v;
}

Bytes signWith(const Bytes& content, const std::vector<vesk::codesign::Identity>& ids) {
    return vesk::codesign::sign(content, ids);
}

class CallerCheckTest : public vesk::test::HelperFixture {
  protected:
    /// Runs a client program, expects it refused with exactly one reject line.
    void expectRefused(const std::string& program, uid_t asUser = static_cast<uid_t>(-1)) {
        pid_t pid = 0;
        const int status = runProgram(
            {program, "--socket", layout.socketPath, "GetInstalledVersion"}, &pid, asUser);
        EXPECT_EQ(status, 2) << program << " was not refused";
        const std::string line =
            "VeskHelper: Rejected connection from unauthorized process (pid: " +
            std::to_string(pid) + ")";
        EXPECT_TRUE(log.waitFor(line)) << program;
        EXPECT_EQ(log.count(line), 1U);
        EXPECT_EQ(log.countPrefix("VeskHelper: Accepted"), 0U);
    }
};

TEST_F(CallerCheckTest, SignedClientIsAcceptedAndItsEndLogged) {
    pid_t pid = 0;
    EXPECT_EQ(runProgram({kClient, "--socket", layout.socketPath, "GetInstalledVersion"}, &pid), 0);
    const std::string p = std::to_string(pid);
    EXPECT_TRUE(log.waitFor("VeskHelper: Connection invalidated (pid: " + p + ")"));
    EXPECT_EQ(log.count("VeskHelper: Accepted connection from pid " + p), 1U);
    EXPECT_EQ(log.count("VeskHelper: Connection invalidated (pid: " + p + ")"), 1U);
    EXPECT_EQ(log.countPrefix("VeskHelper: Rejected"), 0U);
}

TEST_F(CallerCheckTest, ResignedWithTheTeamUnderAnotherNameIsAccepted) {
    const auto& v = variants();
    const std::string p = v.make("renamed-client", signWith(v.content(), {v.team()}));
    EXPECT_EQ(runProgram({p, "--socket", layout.socketPath, "GetInstalledVersion"}), 0);
}

TEST_F(CallerCheckTest, UnsignedProgramIsRefused) {
    expectRefused(variants().make("unsigned", variants().content()));
}

TEST_F(CallerCheckTest, AnotherTeamIsRefused) {
    const auto& v = variants();
    expectRefused(v.make("other-team", signWith(v.content(), {v.named("other")})));
}

TEST_F(CallerCheckTest, TeamDifferingInLetterCaseIsRefused) {
    const auto& v = variants();
    expectRefused(v.make("lower-team", signWith(v.content(), {v.named("lower")})));
}

TEST_F(CallerCheckTest, ValidSignatureWithoutTeamIsRefused) {
    const auto& v = variants();
    expectRefused(v.make("no-team", signWith(v.content(), {v.named("noteam")})));
}

TEST_F(CallerCheckTest, SelfSignedCertificateWithTheRightTeamIsRefused) {
    const auto& v = variants();
    expectRefused(v.make("self-signed", signWith(v.content(), {v.named("self")})));
}

TEST_F(CallerCheckTest, RightTeamUnderAForeignRootIsRefused) {
    const auto& v = variants();
    expectRefused(v.make("foreign-root", signWith(v.content(), {v.named("foreign")})));
}

TEST_F(CallerCheckTest, SignatureOverModifiedBytesIsRefused) {
    const auto& v = variants();
    Bytes content = v.content();
    content.push_back('x');  // trailing data the program itself ignores
    Bytes file = signWith(content, {v.team()});
    file[content.size() - 1] = 'y';
    expectRefused(v.make("modified", file));
}

TEST_F(CallerCheckTest, BytesAppendedAfterTheTrailerAreRefused) {
    const auto& v = variants();
    Bytes file = signWith(v.content(), {v.team()});
    file.push_back('\n');
    expectRefused(v.make("appended", file));
}

TEST_F(CallerCheckTest, TwoSignersAreRefused) {
    const auto& v = variants();
    expectRefused(v.make("two-signers", signWith(v.content(), {v.team(), v.named("second")})));
}

TEST_F(CallerCheckTest, TruncatedTrailerIsRefused) {
    const auto& v = variants();
    Bytes file = signWith(v.content(), {v.team()});
    file.pop_back();
    expectRefused(v.make("truncated", file));
}

TEST_F(CallerCheckTest, SignedClientRunByAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a program as another user";
    expectRefused(kClient, 65534);
}

TEST_F(CallerCheckTest, SocketHandedToAnUnsignedChildIsCutOff) {
    auto client = connect();  // this signed test program is accepted
    ASSERT_EQ(client->call("org.varlink.service.GetInfo").find("\"error\""), std::string::npos);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(client->fd(), 3);
        ::execl("/bin/sh", "sh", "-c",
                "printf '{\"method\":\"com.vesk.helper.GetInstalledVersion\"}\\0' >&3", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(client->receive(), std::nullopt) << "no reply may reach the child's request";
    EXPECT_TRUE(log.waitFor(
        "VeskHelper: Connection invalidated (pid: " + std::to_string(::getpid()) + ")"));
}

TEST(CallerVerdicts, OneUserFloodingNeitherEvictsNorDelaysAnother) {
    // The environment's owner floods the verifier with large programs whose
    // identity changes each time (about a thousand checks, every one a miss)
    // while root calls: root's verdicts stay, and root's own checks are
    // served at once, never behind the owner's.
    const std::string dir =
        (vesk::test::fs::temp_directory_path() / ("vesk-verdicts-" + std::to_string(::getpid())))
            .string();
    vesk::test::fs::create_directories(dir);
    const std::string big = dir + "/padded";
    {
        std::ofstream out(big, std::ios::binary);
        const std::string mebibyte(std::size_t{1} << 20, 'x');
        for (int i = 0; i < 16; ++i) out << mebibyte;
    }
    vesk::helper::CallerCheck check(readText(kIdentity + "/root.pem"), "DEVTEAM001",
                                    vesk::EnvironmentLayout::rootedAt(dir));
    const int client = ::open(kClient.c_str(), O_RDONLY | O_CLOEXEC);
    const int unsignedFile = ::open(big.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(client, 0);
    ASSERT_GE(unsignedFile, 0);
    const auto clientIdentity = vesk::helper::identityOf(client).value();
    ASSERT_EQ(check.teamOf(client, clientIdentity, 0), std::optional<std::string>("DEVTEAM001"));

    constexpr uid_t kOwner = 1000;
    std::atomic<bool> flooding{true};
    std::atomic<int> floodChecks{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < 2; ++t) {
        flood.emplace_back([&, t] {
            auto identity = vesk::helper::identityOf(unsignedFile).value();
            for (long long n = 0; flooding.load(); ++n) {
                identity.mtimeSeconds = n * 2 + t;  // a new file as far as the cache can tell
                EXPECT_EQ(check.teamOf(unsignedFile, identity, kOwner), std::nullopt);
                ++floodChecks;
            }
        });
    }
    std::chrono::steady_clock::duration slowest{};
    int fresh = 0;
    while (floodChecks.load() <
           2 * static_cast<int>(vesk::helper::CallerCheck::kVerdictsPerUser) + 20) {
        // A cached verdict of root's, asked through a descriptor whose bytes
        // would fail: only the kept verdict can answer with the team.
        auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(check.teamOf(unsignedFile, clientIdentity, 0),
                  std::optional<std::string>("DEVTEAM001"))
            << "root's verdict was evicted by another user's checks";
        // A program of root's never seen before is verified at once.
        auto another = clientIdentity;
        another.mtimeSeconds += ++fresh;
        EXPECT_EQ(check.teamOf(client, another, 0), std::optional<std::string>("DEVTEAM001"));
        slowest = std::max(slowest, std::chrono::steady_clock::now() - began);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    flooding = false;
    for (auto& t : flood) t.join();
    EXPECT_LT(slowest, std::chrono::seconds(1)) << "root waited behind the flood";
    ::close(client);
    ::close(unsignedFile);
    vesk::test::fs::remove_all(dir);
}

TEST(CodeSignature, TrailerLayoutAndVerification) {
    const auto& v = variants();
    const Bytes content{'a', 'b', 'c'};
    const Bytes file = signWith(content, {v.team()});
    ASSERT_GT(file.size(),
              content.size() + vesk::codesign::kMagic.size() + vesk::codesign::kInfoSize);
    EXPECT_EQ(std::string(file.end() - 26, file.end()), "~Vesk signature appended~\n");
    const auto info = file.end() - 26 - 12;
    const std::uint32_t length = (std::uint32_t{info[8]} << 24) | (std::uint32_t{info[9]} << 16) |
                                 (std::uint32_t{info[10]} << 8) | info[11];
    EXPECT_EQ(content.size() + length + 12 + 26, file.size());
    EXPECT_EQ(info[2], vesk::codesign::kIdTypePKCS7);

    const std::string root = readText(kIdentity + "/root.pem");
    const auto verdict = vesk::codesign::verify(file, root);
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->teamIdentifier, std::string(VESK_TEAM_ID));
    EXPECT_FALSE(vesk::codesign::verify(file, readText(variants().make("x.pem", {}))));
    EXPECT_FALSE(vesk::codesign::verify(content, root));
    Bytes lying = file;
    lying[lying.size() - 27] = static_cast<std::uint8_t>(lying[lying.size() - 27] + 1);  // length
    EXPECT_FALSE(vesk::codesign::verify(lying, root));
    Bytes huge = file;
    huge[huge.size() - 30] = 0x7F;  // length far beyond the file
    EXPECT_FALSE(vesk::codesign::verify(huge, root));
    EXPECT_FALSE(vesk::codesign::verify(Bytes(26, '~'), root));
}

}  // namespace
