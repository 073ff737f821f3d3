// SQLite statements, owned: finalized however the code holding one ends, so
// that no early return leaks one or leaves a database unclosable. The log and
// the outbox both use these.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "result.h"

namespace readings {

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// flags: SQLITE_PREPARE_PERSISTENT for a statement kept for the database's
// life. The failure is SQLite's own words; the caller says what it was for.
inline tools::Result<Statement> prepare(sqlite3* db, const char* sql, unsigned flags = 0) {
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, flags, &prepared, nullptr) != SQLITE_OK) {
        sqlite3_finalize(prepared);
        return tools::fail(sqlite3_errmsg(db));
    }
    return Statement(prepared);
}

// Runs a statement that returns no rows, then readies it for the next use.
inline bool step_done(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return rc == SQLITE_DONE;
}

// A column as text; empty for NULL.
inline std::string text_of(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

}  // namespace readings
