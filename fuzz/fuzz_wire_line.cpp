// Everything a peer sends passes here: the TCP stream cut into lines, each
// line parsed, Msg payloads cut into fields, and datagram lines read as
// announcements. The first input byte picks read sizes and the line bound,
// so that lines straddle reads and the over-long path is taken.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "ivy_limits.h"
#include "wire_codec.h"

namespace {

void check_frame(std::string_view line) {
    const auto frame = ivy::parse_line(line);
    if (!frame) return;
    FUZZ_CHECK(frame->payload.find('\0') == std::string_view::npos);
    FUZZ_CHECK(frame->payload.data() + frame->payload.size() <= line.data() + line.size());
    std::size_t seen = 0;
    const auto count =
        ivy::for_each_field(frame->payload, ivy::max_fields_per_msg, [&](std::string_view field) {
            FUZZ_CHECK(field.find(ivy::etx) == std::string_view::npos);
            ++seen;
        });
    FUZZ_CHECK(count ? *count == seen && seen <= ivy::max_fields_per_msg : seen == 0);
    std::string out;
    if (ivy::append_line(out, static_cast<ivy::MsgType>(frame->type), frame->id, frame->payload)) {
        FUZZ_CHECK(std::count(out.begin(), out.end(), '\n') == 1 && out.back() == '\n');
        const auto again = ivy::parse_line(std::string_view(out).substr(0, out.size() - 1));
        FUZZ_CHECK(again && again->type == frame->type && again->id == frame->id &&
                   again->payload == frame->payload);
    } else {
        FUZZ_CHECK(frame->payload.find('\n') != std::string_view::npos && out.empty());
    }
}

void check_announcement(std::string_view line) {
    const auto a = ivy::parse_announcement(line);
    if (!a) return;
    FUZZ_CHECK(a->port >= 1 && a->port <= 0xffff);
    FUZZ_CHECK(a->app_id.size() <= ivy::max_app_id_length);
    FUZZ_CHECK(a->app_name.size() <= ivy::max_app_name_length);
    FUZZ_CHECK(a->app_id.find(' ') == std::string_view::npos);
}

// The lines a plain split at LF gives, keeping those under the bound.
std::size_t expected_lines(std::string_view input, std::size_t max_line, std::size_t& overlong) {
    std::size_t lines = 0;
    for (std::size_t lf; (lf = input.find('\n')) != std::string_view::npos;
         input.remove_prefix(lf + 1)) {
        (lf + 1 > max_line ? overlong : lines) += 1;
    }
    if (input.size() >= max_line) ++overlong;  // known too long before its LF
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 16;
    const std::size_t max_line = (data[0] & 0x80) != 0 ? 1 + data[0] % 32 : ivy::max_line_length;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    check_frame(input);
    ivy::LineAssembler assembler(max_line);
    std::size_t lines = 0;
    std::size_t overlong = 0;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        const std::size_t n = std::min(chunk, input.size() - at);
        std::copy_n(input.data() + at, n, assembler.prepare(n));
        assembler.commit(n);
        while (const auto line = assembler.next_line()) {
            FUZZ_CHECK(line->size() < max_line && line->find('\n') == std::string_view::npos);
            check_frame(*line);
            check_announcement(*line);
            ++lines;
        }
        overlong += assembler.take_overlong();
        FUZZ_CHECK(assembler.buffered() < max_line);
    }
    std::size_t expected_overlong = 0;
    FUZZ_CHECK(lines == expected_lines(input, max_line, expected_overlong));
    FUZZ_CHECK(overlong == expected_overlong);
    return 0;
}
