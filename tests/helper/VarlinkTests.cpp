// The message handler alone, fed hostile input: it must never throw, and
// every answer must be one JSON object.
#include <gtest/gtest.h>

#include <random>

#include "StubService.hpp"
#include "Varlink.hpp"
#include "vesk/foundation/Json.hpp"

namespace {

using vesk::test::StubService;

namespace varlink = vesk::helper::varlink;

std::optional<std::string> handle(const std::string& m) {
    StubService s;
    return varlink::handle(m, s);
}

TEST(Varlink, RepliesOfTheOperations) {
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.GetInstalledVersion"})"),
              R"({"parameters":{"version":"1.0.0"}})");
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.StopDnsmasq","parameters":null})"),
              R"({"parameters":{"message":"No dnsmasq process found","success":true}})");
    EXPECT_EQ(
        handle(
            R"({"method":"com.vesk.helper.WriteFile","parameters":{"path":"/p","content":"aGk=","permissions":420}})"),
        R"({"parameters":{"message":"hi:420","success":true}})");
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.RemoveResolver","parameters":{"tld":"t"}})"),
              R"({"parameters":{"message":"boom","success":false}})")
        << "an exception becomes a failure reply";
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.StartNginx","parameters":{"configPath":"/c"}})"),
              R"({"parameters":{"message":"no reply","success":false}})")
        << "an operation that forgets to reply still gets exactly one";
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.StopNginx"})"),
              R"({"parameters":{"message":"first","success":false}})");
    EXPECT_EQ(
        handle(
            R"({"method":"com.vesk.helper.CreateDirectory","parameters":{"path":"/p","permissions":65535}})"),
        R"({"parameters":{"success":true}})");
}

TEST(Varlink, HostileBytesNeverThrow) {
    const std::vector<std::string> seeds{
        R"({"method":"com.vesk.helper.WriteFile","parameters":{"path":"/p","content":"aGk=","permissions":420}})",
        R"({"method":"org.varlink.service.GetInterfaceDescription","parameters":{"interface":"com.vesk.helper"}})",
        R"({"method":"com.vesk.helper.StartPHPFPM","parameters":{"version":"8.2","configPath":"/c"}})",
    };
    std::mt19937 rng(12345);
    const std::string alphabet = "{}[]\":,\\0123456789.eE+-tfnul \x01\xff\xc3\xa9";
    int replies = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string m = seeds[static_cast<std::size_t>(round) % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !m.empty(); ++e) {
            const std::size_t at = rng() % m.size();
            switch (rng() % 3) {
                case 0:
                    m[at] = alphabet[rng() % alphabet.size()];
                    break;
                case 1:
                    m.erase(at, 1 + rng() % 4);
                    break;
                default:
                    m.insert(at, 1, alphabet[rng() % alphabet.size()]);
            }
        }
        std::optional<std::string> reply;
        ASSERT_NO_THROW(reply = handle(m)) << m;
        if (reply && !reply->empty()) {
            ++replies;
            const auto doc = vesk::JsonDocument::parse(*reply);
            ASSERT_TRUE(doc.root().isObject()) << *reply;
            ASSERT_TRUE(doc.root().find("parameters").has_value()) << *reply;
        }
    }
    EXPECT_GT(replies, 100) << "the mutations still reach the operations";
}

TEST(Varlink, DeepNestingIsRefusedBeforeParsing) {
    EXPECT_EQ(handle(std::string(1'000'000, '[')), std::nullopt);
    const std::string nested = R"({"method":"com.vesk.helper.StopNginx","parameters":{"x":)" +
                               std::string(70, '[') + std::string(70, ']') + "}}";
    EXPECT_EQ(handle(nested), std::nullopt);
    const std::string inString =
        R"({"method":"com.vesk.helper.GetInstalledVersion","x":")" + std::string(100, '[') + "\"}";
    EXPECT_EQ(handle(inString), R"({"parameters":{"version":"1.0.0"}})")
        << "brackets inside strings do not count";
}

}  // namespace

namespace {

TEST(Varlink, AOnewayCallGetsNoReplyAtAll) {
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.StopNginx","oneway":true})"), std::string());
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.Nope","oneway":true})"), std::string())
        << "errors included";
    EXPECT_EQ(handle(R"({"method":"com.vesk.helper.GetInstalledVersion","oneway":false})"),
              R"({"parameters":{"version":"1.0.0"}})");
}

TEST(Varlink, UnknownInterfacesUpgradesAndMethodsAreTheirOwnErrors) {
    EXPECT_EQ(
        handle(R"({"method":"org.example.nope.Ping"})"),
        R"({"error":"org.varlink.service.InterfaceNotFound","parameters":{"interface":"org.example.nope"}})");
    EXPECT_EQ(
        handle(R"({"method":"com.vesk.helperx.X"})"),
        R"({"error":"org.varlink.service.InterfaceNotFound","parameters":{"interface":"com.vesk.helperx"}})");
    EXPECT_EQ(
        handle(R"({"method":"com.vesk.helper.Nope"})"),
        R"({"error":"org.varlink.service.MethodNotFound","parameters":{"method":"com.vesk.helper.Nope"}})");
    EXPECT_EQ(
        handle(R"({"method":"org.varlink.service.Nope"})"),
        R"({"error":"org.varlink.service.MethodNotFound","parameters":{"method":"org.varlink.service.Nope"}})");
    EXPECT_EQ(
        handle(R"({"method":"com.vesk.helper.GetInstalledVersion","upgrade":true})"),
        R"({"error":"org.varlink.service.InvalidParameter","parameters":{"parameter":"upgrade"}})");
}

TEST(Varlink, EveryMethodIsDescribedInOneCommentLine) {
    const std::string& idl = vesk::HelperInterface::description();
    for (const auto op : vesk::allCases<vesk::HelperOperation>()) {
        const std::string method = "\nmethod " + std::string(vesk::rawValue(op)) + "(";
        const auto at = idl.find(method);
        ASSERT_NE(at, std::string::npos) << method;
        const auto lineStart = idl.rfind('\n', at - 1);
        ASSERT_NE(lineStart, std::string::npos);
        const std::string comment = idl.substr(lineStart + 1, at - lineStart - 1);
        EXPECT_EQ(comment.rfind("# ", 0), 0U) << comment;
        EXPECT_NE(comment.find("eplies"), std::string::npos) << "what it replies: " << comment;
    }
}

}  // namespace
