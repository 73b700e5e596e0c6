#include "vesk/sites/SiteProxy.hpp"

#include "vesk/sites/DockerProxy.hpp"

#include <gtest/gtest.h>

namespace {

using vesk::ProxyTarget;

TEST(ProxyTarget, PortsHostsAndURLs) {
    EXPECT_EQ(ProxyTarget::parse("3000"), (ProxyTarget{"127.0.0.1", 3000, ""}));
    EXPECT_EQ(ProxyTarget::parse("localhost:5173"), (ProxyTarget{"localhost", 5173, ""}));
    EXPECT_EQ(ProxyTarget::parse("http://127.0.0.1:8000/api/v1"),
              (ProxyTarget{"127.0.0.1", 8000, "/api/v1"}));
    EXPECT_EQ(ProxyTarget::parse("http://[::1]:8080"), (ProxyTarget{"::1", 8080, ""}));
    EXPECT_EQ(ProxyTarget::parse("http://example.com"), (ProxyTarget{"example.com", 80, ""}));
    EXPECT_EQ(ProxyTarget::parse("http://[::1]:8080")->url(), "http://[::1]:8080");
    EXPECT_EQ(ProxyTarget::parse("3000")->url(), "http://127.0.0.1:3000");
}

TEST(ProxyTarget, WhatCouldEndADirectiveOrIsNoTargetIsRefused) {
    for (const char* bad : {"",
                            "0",
                            "65536",
                            "http://",
                            "https://127.0.0.1:3000",
                            "ftp://x",
                            "127.0.0.1:",
                            "127.0.0.1:3000;",
                            "127.0.0.1:3000 backup",
                            "http://127.0.0.1:3000/a;b",
                            "http://127.0.0.1:3000/$host",
                            "http://127.0.0.1:3000/a b",
                            "http://127.0.0.1:3000/{x}",
                            "http://[::1",
                            "http://[nonsense]:80",
                            "http://a\"b:80",
                            "http://a\nb",
                            "-x:80",
                            "http://127.0.0.1:3000/x'y",
                            "http://user@127.0.0.1:80"}) {
        EXPECT_FALSE(ProxyTarget::parse(bad)) << bad;
    }
    EXPECT_FALSE(ProxyTarget::parse(std::string(3000, '1')));
}

TEST(ProxyTarget, OnlyThisMachinesAddressesAreLoopback) {
    for (const char* local : {"3000", "localhost:80", "LOCALHOST:80", "http://127.0.0.1:1",
                              "http://127.1.2.3:80", "http://[::1]:80"}) {
        EXPECT_TRUE(ProxyTarget::parse(local)->isLoopback()) << local;
    }
    // A name is never taken as this machine's, whatever it resolves to.
    for (const char* remote : {"http://10.0.0.5:80", "http://192.168.1.2:3000", "example.com:80",
                               "http://127.0.0.1.nip.io:80", "http://[::ffff:127.0.0.1]:80",
                               "http://0.0.0.0:80", "http://localhost.evil.com:80"}) {
        EXPECT_FALSE(ProxyTarget::parse(remote)->isLoopback()) << remote;
    }
}

TEST(DockerInspect, RunningContainersTheirLabelsAndThePortsPublishedHere) {
    const auto containers = vesk::docker::fromInspect(R"([
      {"Id": "abc123", "Name": "/shop-web", "State": {"Running": true},
       "Config": {"Image": "busybox", "Labels": {"vesk.domain": "shop.test", "vesk.port": "80",
                                                  "other": 7}},
       "NetworkSettings": {"Ports": {"80/tcp": [{"HostIp": "0.0.0.0", "HostPort": "8081"},
                                                {"HostIp": "::", "HostPort": "8081"}],
                                     "443/tcp": null, "9000/udp": [{"HostPort": "x"}]}}},
      {"Id": "def", "Name": "/stopped", "State": {"Running": false}},
      {"Id": "ghi", "Name": "/odd", "State": {"Running": "yes"}},
      {"Id": "jkl", "Name": "/plain", "State": {"Running": true},
       "Config": {"Labels": null}, "NetworkSettings": {"Ports": {"3000/tcp": [{"HostPort": "3000"}]}}},
      "not a container", 42])");
    ASSERT_EQ(containers.size(), 2U);
    const auto& shop = containers[0];
    EXPECT_EQ(shop.container.name, "shop-web");
    EXPECT_EQ(shop.container.image, "busybox");
    EXPECT_EQ(shop.container.resolvedDomain(), "shop");
    EXPECT_EQ(shop.container.ports, (std::vector<long long>{8081}));
    EXPECT_EQ(shop.container.labels.count("other"), 0U) << "a label that is no text";
    // vesk.port names the container's port: the one published here reaches it.
    EXPECT_EQ(vesk::docker::hostPort(shop), 8081);
    EXPECT_EQ(containers[1].container.resolvedDomain(), "plain");
    EXPECT_EQ(vesk::docker::hostPort(containers[1]), 3000);
    EXPECT_TRUE(vesk::docker::fromInspect("{\"not\": \"an array\"}").empty());
    EXPECT_TRUE(vesk::docker::fromInspect("[{").empty());
}

}  // namespace
