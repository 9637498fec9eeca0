#include <gtest/gtest.h>

#include "quorlin_ports.h"

namespace {

using quorlin::PortKind;

// Which link targets are network ports, and their host and TCP port; every other target is a device.
TEST(PortUrl, OnlyWellFormedUrlsAreNetworkPorts) {
    const struct {
        const char* target;
        PortKind kind;
        const char* host;
        const char* service;
    } rows[] = {
        {"rfc2217://cradle7.example:4001", PortKind::kRfc2217, "cradle7.example", "4001"},
        {"socket://192.0.2.7:65535", PortKind::kSocket, "192.0.2.7", "65535"},
        {"rfc2217://[fd00::7]:1", PortKind::kRfc2217, "fd00::7", "1"},
        {"socket://fd00::7:4001", PortKind::kDevice, "", ""},  // IPv6 only in brackets
        {"rfc2217://[cradle7]:4001", PortKind::kDevice, "", ""},
        {"rfc2217://cradle7", PortKind::kDevice, "", ""},
        {"rfc2217://cradle7:", PortKind::kDevice, "", ""},
        {"rfc2217://:4001", PortKind::kDevice, "", ""},
        {"socket://cradle7:0", PortKind::kDevice, "", ""},
        {"socket://cradle7:65536", PortKind::kDevice, "", ""},
        {"socket://cradle7:04001", PortKind::kDevice, "", ""},
        {"rfc2217://cradle7:4001/", PortKind::kDevice, "", ""},
        {"rfc2217://user@cradle7:4001", PortKind::kDevice, "", ""},
        {"RFC2217://cradle7:4001", PortKind::kDevice, "", ""},
        {"/dev/ttyUSB0", PortKind::kDevice, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target);
        quorlin::PortDevice device;
        EXPECT_EQ(quorlin::ParsePortUrl(row.target, device), row.kind != PortKind::kDevice);
        EXPECT_EQ(device.Kind, row.kind);
        EXPECT_EQ(device.Host, row.host);
        EXPECT_EQ(device.Service, row.service);
    }
}

}  // namespace
