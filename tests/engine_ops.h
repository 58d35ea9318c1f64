// Declarations of the engine tests' own operations.
#pragma once
extern "C" {
#define OP(name, command, params, request, reply) int name params;
#include "engine_ops.def"
#undef OP
}
