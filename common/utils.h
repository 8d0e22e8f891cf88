#pragma once

// The utilities of the common runtime: paths, time, processes, text, sequences, read-id
// whitelists and chunks, text files and models, debug printing.

#include "common/debug_print.h"
#include "common/process_utils.h"
#include "common/read_id_whitelist.h"
#include "common/sequence_utils.h"
#include "common/text_file.h"
#include "common/text_utils.h"
