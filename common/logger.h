#pragma once

// The logging interface of the common runtime: severities, attribute names, the four global
// loggers (error, warning, info, verbose), option records, the logger group and the library core
// that holds the library's sinks (the Boost.Log core's sinks never see the library's records).
//
// Writing a record:  ZEV_LOG(common::logging::warning) << "text";
// The record carries the writing function's signature as its "Function" attribute.

#include "common/logging/attributes.h"
#include "common/logging/global_loggers.h"
#include "common/logging/library_core.h"
#include "common/logging/logger_group.h"
#include "common/logging/logger_options.h"
#include "common/logging/singleton.h"
