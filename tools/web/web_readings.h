// The page speaks the readings core's language: its stations, readings,
// checks and texts are the ones the bridge uses, named here without the
// core's prefix.
#pragma once

#include "reading_text.h"
#include "refusal_log.h"
#include "weather_message.h"

namespace web {
using namespace readings;  // NOLINT(google-build-using-namespace)
}  // namespace web
