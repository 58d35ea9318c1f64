// apictl dump and load: the camera's settings as one JSON document, and such
// a document (or any part of it) applied again through the set operations.
#pragma once

#include "run.h"

namespace apictl {

int dump_settings(int argc, char** argv, const Run& how);
int load_settings(int argc, char** argv, const Run& how);

}  // namespace apictl
