#pragma once

// Path, time, process and text utilities of the common runtime.

#include "common/process_utils.h"

#if __has_include("common/text_utils.h")
#include "common/text_utils.h"
#endif
