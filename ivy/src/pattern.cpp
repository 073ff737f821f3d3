#include "pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <climits>

#include "ivy_limits.h"
#include "wire_codec.h"

namespace ivy {
namespace {

struct CodeFree {
    void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct ContextFree {
    void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};

// PCRE2 wants a pointer even for an empty text; a default string_view has none.
PCRE2_SPTR bytes_of(std::string_view text) {
    return reinterpret_cast<PCRE2_SPTR>(text.data() != nullptr ? text.data() : "");
}

std::string error_message(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (n < 0) return "unknown error " + std::to_string(code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

void set_error(CompileError* error, std::size_t offset, std::string message) {
    if (error == nullptr) return;
    error->offset = offset > INT_MAX ? INT_MAX : static_cast<int>(offset);
    error->message = std::move(message);
}

bool is_unsafe(std::string_view capture) {
    return capture.find_first_of("\r\n") != std::string_view::npos;
}

// What every match shares (see pattern.h): one match data block sized for
// the most groups a regexp may have, and the limits of the interpreter and
// of the JIT. Made once, never freed (the process's patterns all use it).
struct Scratch {
    std::unique_ptr<pcre2_match_data, MatchDataFree> match_data;
    std::unique_ptr<pcre2_match_context, ContextFree> context;      // interpreter's limits
    std::unique_ptr<pcre2_match_context, ContextFree> jit_context;  // the JIT's
};

// nullptr when memory is short; compile() then refuses the pattern, so a
// pattern that exists always has its scratch.
Scratch* make_scratch() {
    auto made = std::make_unique<Scratch>();
    made->match_data.reset(pcre2_match_data_create(max_capture_groups + 1, nullptr));
    made->context.reset(pcre2_match_context_create(nullptr));
    made->jit_context.reset(pcre2_match_context_create(nullptr));
    if (!made->match_data || !made->context || !made->jit_context) return nullptr;
    pcre2_set_match_limit(made->context.get(), pcre_match_limit);
    pcre2_set_depth_limit(made->context.get(), pcre_depth_limit);
    pcre2_set_heap_limit(made->context.get(), pcre_heap_limit_kib);
    pcre2_set_match_limit(made->jit_context.get(), pcre_jit_match_limit);
    return made.release();
}

Scratch* scratch() {
    static Scratch* const shared = make_scratch();
    return shared;
}

}  // namespace

struct Pattern::Impl {
    std::unique_ptr<pcre2_code, CodeFree> code;
    bool jit = false;

    int run(std::string_view text, Scratch& with) const;
};

// The JIT ignores the depth limit and uses its own small stack instead; when
// that runs out the interpreter, which honours both limits, gets a second go
// rather than refusing a pattern that is merely deep. Each has a match limit
// of its own: the interpreter is about ten times slower per unit.
int Pattern::Impl::run(std::string_view text, Scratch& with) const {
    pcre2_match_data* const data = with.match_data.get();
    if (!jit) {
        return pcre2_match(code.get(), bytes_of(text), text.size(), 0, 0, data, with.context.get());
    }
    const int rc =
        pcre2_match(code.get(), bytes_of(text), text.size(), 0, 0, data, with.jit_context.get());
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        return pcre2_match(code.get(), bytes_of(text), text.size(), 0, PCRE2_NO_JIT, data,
                           with.context.get());
    }
    return rc;
}

Pattern::~Pattern() = default;

std::unique_ptr<Pattern> Pattern::compile(std::string_view text, CompileError* error) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    std::unique_ptr<pcre2_code, CodeFree> compiled(
        pcre2_compile(bytes_of(text), text.size(), 0, &code, &offset, nullptr));
    if (!compiled) {
        set_error(error, offset, error_message(code));
        return nullptr;
    }
    std::uint32_t groups = 0;
    pcre2_pattern_info(compiled.get(), PCRE2_INFO_CAPTURECOUNT, &groups);
    if (groups > max_capture_groups) {
        set_error(error, 0,
                  "too many capturing groups (" + std::to_string(groups) + ", at most " +
                      std::to_string(max_capture_groups) + ")");
        return nullptr;
    }
    if (scratch() == nullptr) {
        set_error(error, 0, "out of memory");
        return nullptr;
    }
    std::unique_ptr<Pattern> pattern(new Pattern());
    pattern->impl_ = std::make_unique<Impl>();
    std::size_t code_size = 0;
    std::size_t jit_size = 0;
    pcre2_pattern_info(compiled.get(), PCRE2_INFO_SIZE, &code_size);
    // Where the platform has no JIT (or refuses writable code) this fails
    // and matching interprets, within its own limits; so do large patterns.
    if (code_size <= pcre_max_jit_code) {
        pattern->impl_->jit = pcre2_jit_compile(compiled.get(), PCRE2_JIT_COMPLETE) == 0;
    }
    if (pattern->impl_->jit) pcre2_pattern_info(compiled.get(), PCRE2_INFO_JITSIZE, &jit_size);
    pattern->impl_->code = std::move(compiled);
    pattern->text_ = std::string(text);
    pattern->memory_ = text.size() + code_size + jit_size;
    return pattern;
}

MatchResult Pattern::append_msg_payload(std::string_view text, std::string& out) const {
    Scratch& with = *scratch();
    const int rc = impl_->run(text, with);
    if (rc == PCRE2_ERROR_NOMATCH) return MatchResult::no_match;
    if (rc < 0) return MatchResult::limit_hit;
    // 0 means the match data could not hold every group: it is sized for the
    // most groups compile() lets through, so this cannot happen, but it
    // would mean lost fields.
    if (rc == 0) return MatchResult::too_many_groups;
    const auto highest = static_cast<std::size_t>(rc - 1);
    if (highest > max_fields_per_msg) return MatchResult::too_many_groups;

    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(with.match_data.get());
    const auto capture = [&](std::size_t group) {
        const PCRE2_SIZE start = ovector[2 * group];
        const PCRE2_SIZE end = ovector[2 * group + 1];
        if (start == PCRE2_UNSET || start > end || end > text.size()) return std::string_view();
        return text.substr(start, end - start);
    };
    for (std::size_t group = 1; group <= highest; ++group) {
        if (is_unsafe(capture(group))) return MatchResult::unsafe_capture;
    }
    for (std::size_t group = 1; group <= highest; ++group) {
        out += capture(group);
        out += etx;
    }
    return MatchResult::matched;
}

std::string compile_error_text(std::string_view regexp, const CompileError& error) {
    std::string text = "Error compiling '";
    text += regexp;
    text += "', ";
    text += error.message;
    return text;
}

}  // namespace ivy
