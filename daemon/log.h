// The daemon's one log call convention: every message is a single
// sns_log_message call whose format begins "%s:%d, ", followed by the name of
// the function the message belongs to and the source line of the call.
//
//   SNS_LOG(sensors_log::info, "sensors daemon starting");
//   SNS_LOG_AS("handle_events", sensors_log::error, "mkdir failed errno:%d", e);
//
// SNS_LOG names the enclosing function; SNS_LOG_AS names one explicitly, for
// messages that carry another function's name (and inside lambdas, where
// __func__ would be "operator()").
#pragma once

#include "interfaces/sensors_log.h"

#define SNS_LOG_AS(function, level, format, ...) \
  sns_log_message((level), "%s:%d, " format, (function), __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define SNS_LOG(level, format, ...) SNS_LOG_AS(__func__, level, format __VA_OPT__(, ) __VA_ARGS__)
