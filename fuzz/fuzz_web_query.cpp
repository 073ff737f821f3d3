// The query of anemobus-web's /api/readings and /api/readings.csv, as any
// client on the network may send it: any bytes. What comes out must be a
// span that every loop over it can take: within 1970-2100, in order, no
// longer than the limit, in buckets that keep within the points asked for.
#include <cstdint>
#include <string>
#include <string_view>

#include "downsample.h"
#include "fuzz_check.h"
#include "web_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    web::QueryParams params;
    if (!web::parse_query_string(text, &params)) return 0;
    FUZZ_CHECK(params.size() <= web::max_query_params);
    for (const auto& param : params) {
        const auto t = web::parse_time_ms(param.second);
        FUZZ_CHECK(!t || (*t >= 0 && *t <= web::max_query_time_ms));
    }
    const std::int64_t now = 1'780'000'000'000;
    const auto q =
        web::parse_range_query({web::query_param(params, "from"), web::query_param(params, "to"),
                                web::query_param(params, "id"), web::query_param(params, "points")},
                               now);
    if (!q) {
        FUZZ_CHECK(!q.error().empty());
        return 0;
    }
    FUZZ_CHECK(q->from_ms >= 0 && q->from_ms <= q->to_ms && q->to_ms <= web::max_query_time_ms);
    FUZZ_CHECK(q->to_ms - q->from_ms <= std::int64_t{400} * 86'400'000);
    FUZZ_CHECK(q->points >= 10 && q->points <= 5000);
    const std::int64_t width = web::bucket_width_ms(q->from_ms, q->to_ms, q->points);
    FUZZ_CHECK(width > 0 &&
               (q->to_ms - q->from_ms) / width <= static_cast<std::int64_t>(q->points));
    // A time written back (in the CSV's name and rows) reads as itself.
    for (const std::int64_t t : {q->from_ms, q->to_ms})
        FUZZ_CHECK(web::parse_time_ms(web::format_utc(t)) == t);
    return 0;
}
