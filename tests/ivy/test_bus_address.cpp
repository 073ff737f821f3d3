#include "bus_address.h"

#include <gtest/gtest.h>

namespace {

using ivy::parse_bus_address;

std::vector<std::string> addresses_of(const ivy::BusAddress& bus) {
    std::vector<std::string> out;
    for (const auto a : bus.addresses) out.push_back(ivy::format_ipv4(a));
    return out;
}

struct Case {
    std::string text;
    std::vector<std::string> addresses;
    int port;
    std::vector<std::string> problems;
};

// The forms users type, read the way every agent on the bus reads them.
TEST(BusAddress, ReadsTheDocumentedForms) {
    const std::vector<Case> cases = {
        {"127.255.255.255:2010", {"127.255.255.255"}, 2010, {}},
        {"", {"127.255.255.255"}, 2010, {}},
        {":2345", {"127.255.255.255"}, 2345, {}},
        {"127:2011", {"127.255.255.255"}, 2011, {}},
        {"10.192.33:2012", {"10.192.33.255"}, 2012, {}},
        {"127.1.2", {"127.1.2.255"}, 2010, {}},
        {"127 .0.0.1:2013", {"127.0.0.1"}, 2013, {}},
        {"127.0.0.1:2354", {"127.0.0.1"}, 2354, {}},
        {"10.0.0,224.1.2.3:2345", {"10.0.0.255", "224.1.2.3"}, 2345, {}},
        {"127.255.255.255,:2361", {"127.255.255.255", "0.255.255.255"}, 2361, {}},
        {":abc", {"127.255.255.255"}, 2010, {}},
        {"127:0", {"127.255.255.255"}, 2010, {}},
        {"127: +2014x", {"127.255.255.255"}, 2014, {}},
        {"1.2.3.4:5:2015", {"1.2.3.4"}, 2015, {}},
        {"localhost:2357", {}, 2357, {"bad broadcast address 'localhost'"}},
        {"1.2.3.4.5:2358", {}, 2358, {"bad broadcast address '1.2.3.4.5'"}},
        {"127.x.0.1,127.2:2363", {"127.2.255.255"}, 2363, {"bad broadcast address '127.x.0.1'"}},
        {"127\t.1:2016", {}, 2016, {"bad broadcast address '127\\x09.1'"}},
        {"::1:2364", {}, 2364, {"IPv6 bus address '::1' is not supported"}},
        {"127.0.0.300:2017",
         {"127.0.0.44"},
         2017,
         {"address '127.0.0.300' has a number above 255, using 127.0.0.44"}},
        {":70000", {"127.255.255.255"}, 4464, {"port '70000' is out of range, using 4464"}},
        {":-1", {"127.255.255.255"}, 65535, {"port '-1' is out of range, using 65535"}},
    };
    for (const auto& c : cases) {
        const auto bus = parse_bus_address(c.text);
        EXPECT_EQ(addresses_of(bus), c.addresses) << c.text;
        EXPECT_EQ(bus.port, c.port) << c.text;
        EXPECT_EQ(bus.problems, c.problems) << c.text;
    }
}

// Classic agents overflow here; we keep the modular arithmetic whatever the
// length, and a port that wraps to 0 (unusable) falls back to the default.
TEST(BusAddress, LongDigitRunsWrapWithoutOverflow) {
    const auto port = parse_bus_address(":99999999999999999999");
    EXPECT_EQ(port.port, 65535);
    EXPECT_EQ(port.problems.size(), 1u);
    EXPECT_EQ(parse_bus_address(":1" + std::string(396, '0') + "2345").port, 2345);
    EXPECT_EQ(parse_bus_address(":65536").port, 2010);
    EXPECT_EQ(parse_bus_address(":65536").problems,
              std::vector<std::string>{"port '65536' is out of range, using 2010"});

    const auto address = parse_bus_address("1" + std::string(300, '0') + "127.1:2010");
    EXPECT_EQ(addresses_of(address), std::vector<std::string>{"127.1.255.255"});

    const std::string junk(100000, 'z');
    const auto bad = parse_bus_address(junk + ":" + junk);
    EXPECT_TRUE(bad.addresses.empty());
    ASSERT_EQ(bad.problems.size(), 1u);
    EXPECT_LT(bad.problems[0].size(), 300u) << "quoted text is bounded";
}

TEST(BusAddress, TellsMulticastFromBroadcast) {
    EXPECT_FALSE(ivy::is_multicast(parse_bus_address("223.255.255.255").addresses.at(0)));
    EXPECT_TRUE(ivy::is_multicast(parse_bus_address("224.0.0.0").addresses.at(0)));
    EXPECT_TRUE(ivy::is_multicast(parse_bus_address("239").addresses.at(0)));
    EXPECT_FALSE(ivy::is_multicast(parse_bus_address("240.0.0.0").addresses.at(0)));
}

}  // namespace
