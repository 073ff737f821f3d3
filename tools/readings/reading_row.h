// A reading as the parameters ?1..?6 of a statement: time, aircraft,
// pressure, temperature, wind, direction. The page's log and the bridge's
// outbox keep readings in rows of this order, in columns of the same names:
// received_ms, aircraft, pressure_pa, temperature_c, wind_m_s, direction_deg.
#pragma once

#include <sqlite3.h>

#include <string_view>

#include "weather_message.h"

namespace readings {

// The id is bound without a copy: r must outlive the statement's next step.
inline void bind_reading_row(sqlite3_stmt* stmt, const StationReading& r) {
    const std::string_view id = r.id.view();
    sqlite3_bind_int64(stmt, 1, r.reading.received_ms);
    sqlite3_bind_text(stmt, 2, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_double(stmt, 3, r.reading.pressure);
    sqlite3_bind_double(stmt, 4, r.reading.temperature);
    sqlite3_bind_double(stmt, 5, r.reading.wind);
    sqlite3_bind_double(stmt, 6, r.reading.direction);
}

}  // namespace readings
