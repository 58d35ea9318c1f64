/* A provider of BufferEncode as a camera's own would be, for the end-to-end
 * test: loaded with apictl (LD_PRELOAD), its constructor points BufferEncode
 * at a record of its own whose snapshot is the 9 bytes "FAKE-JPEG". Built
 * twice: as usual (its store lands in apictl's BufferEncode, which takes the
 * place of its own) and with -Bsymbolic (it keeps its own copy). */
#include <string.h>

#include "buf_def.h"

__attribute__((visibility("default"))) BUFFER_ENCODE_T* BufferEncode;
static BUFFER_ENCODE_T record;

__attribute__((constructor)) static void provide(void) {
    memcpy(record.JPGBSnapBuffer, "FAKE-JPEG", 9);
    record.JPGSnapLen = 9;
    BufferEncode = &record;
}
