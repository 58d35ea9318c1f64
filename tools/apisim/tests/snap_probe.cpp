// Takes one snapshot through the library, as a camera program would, with
// BufferEncode provided by apisim_state: writes the JPEG to argv[2].
#include <stdio.h>
#include <stdlib.h>

#include "api_arch.h"

static unsigned char picture[102400];

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int len = API_Video_SetJPGSnapShot(static_cast<unsigned char>(atoi(argv[1])), picture);
    if (len <= 0) return 1;
    FILE* f = fopen(argv[2], "wb");
    if (!f || fwrite(picture, 1, len, f) != static_cast<size_t>(len) || fclose(f) != 0) return 1;
    return 0;
}
