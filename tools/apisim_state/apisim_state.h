// The shared camera state record of the stand-in daemon, and the pointer
// that the library's snapshot reads it through.
#pragma once

#include "buf_def.h"

// System V key of the shared memory that holds the record.
#define APISIM_STATE_KEY 1688

extern "C" BUFFER_ENCODE_T* BufferEncode;
