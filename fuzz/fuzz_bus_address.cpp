// The bus text comes from the command line or IVYBUS: any bytes, any length.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "bus_address.h"
#include "fuzz_check.h"
#include "ivy_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ivy::BusAddress bus = ivy::parse_bus_address(text);
    FUZZ_CHECK(bus.port != 0);
    const std::string_view list = text.substr(0, text.find(':'));
    const auto items = static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
    FUZZ_CHECK(bus.addresses.size() <= items);
    for (const auto& problem : bus.problems) {
        // Quoted text is bounded and escaped: one short printable line.
        FUZZ_CHECK(problem.size() < 4 * ivy::max_quoted_text + 100);
        for (const char c : problem) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
    }
    for (const auto address : bus.addresses) {
        const auto back = ivy::parse_bus_address(ivy::format_ipv4(address));
        FUZZ_CHECK(back.addresses.size() == 1 && back.addresses[0] == address);
    }
    return 0;
}
