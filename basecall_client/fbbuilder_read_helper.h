#pragma once

// The helpers that fill one ReadBlockData table from a read live with the message builders.
#include "basecall_client/read_block_message_builder.h"
