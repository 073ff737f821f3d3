// A peer's regexp and one of our texts: the input up to the first LF is the
// regexp (a peer cannot send an LF in one), the rest the text. Whatever
// matches, nothing that could break a line may be appended, and the match
// limits must end every search.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "ivy_limits.h"
#include "pattern.h"
#include "wire_codec.h"

namespace {

void check_match(const ivy::Pattern& pattern, std::string_view text) {
    std::string out = "head";
    const ivy::MatchResult result = pattern.append_msg_payload(text, out);
    FUZZ_CHECK(out.compare(0, 4, "head") == 0);
    if (result != ivy::MatchResult::matched) {
        FUZZ_CHECK(out == "head");
        return;
    }
    const std::string_view payload = std::string_view(out).substr(4);
    FUZZ_CHECK(payload.find_first_of("\r\n") == std::string_view::npos);
    FUZZ_CHECK(payload.empty() || payload.back() == ivy::etx);
    std::string line;
    FUZZ_CHECK(ivy::append_line(line, ivy::MsgType::msg, 0, payload));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lf = input.find('\n');
    const std::string_view regexp = input.substr(0, lf);
    const std::string_view text = lf == std::string_view::npos ? "" : input.substr(lf + 1);

    ivy::CompileError error;
    const auto pattern = ivy::Pattern::compile(regexp, &error);
    if (!pattern) {
        FUZZ_CHECK(error.offset >= 0 && static_cast<std::size_t>(error.offset) <= regexp.size());
        FUZZ_CHECK(!error.message.empty());
        return 0;
    }
    FUZZ_CHECK(pattern->text() == regexp);
    check_match(*pattern, text);
    check_match(*pattern, ivy::without_final_lf(text));
    return 0;
}
