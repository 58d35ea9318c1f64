// The stand-in's camera picture: colour bars with the channel and the time
// written across them, encoded as a JPEG.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <jpeglib.h>

#include "serve.h"

namespace apisim {
namespace {

constexpr int kWidth = 320, kHeight = 240;

// 5x7 glyphs, one row per byte, bit 4 the leftmost column.
struct Glyph {
    char c;
    unsigned char rows[7];
};
const Glyph kFont[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'S', {15, 16, 16, 14, 1, 1, 30}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {':', {0, 12, 12, 0, 12, 12, 0}},
    {'-', {0, 0, 0, 31, 0, 0, 0}},
};

void draw_text(unsigned char* rgb, int x, int y, int scale, const char* text) {
    for (; *text; ++text, x += 6 * scale) {
        const Glyph* g = nullptr;
        for (const Glyph& k : kFont)
            if (k.c == *text) g = &k;
        if (!g) continue;
        for (int row = 0; row < 7 * scale; ++row)
            for (int col = 0; col < 5 * scale; ++col) {
                if (!(g->rows[row / scale] & (16 >> (col / scale)))) continue;
                const int px = x + col, py = y + row;
                if (px < 0 || px >= kWidth || py < 0 || py >= kHeight) continue;
                memset(rgb + 3 * (py * kWidth + px), 255, 3);
            }
    }
}

}  // namespace

int render_snapshot(int channel, unsigned char* out, size_t room) {
    static unsigned char rgb[kWidth * kHeight * 3];
    static const unsigned char bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                             {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                             {16, 16, 235},   {16, 16, 16}};
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            unsigned char* p = rgb + 3 * (y * kWidth + x);
            if (y < kHeight * 2 / 3) {
                memcpy(p, bars[x * 8 / kWidth], 3);
            } else {
                const unsigned char level = static_cast<unsigned char>(x * 255 / (kWidth - 1));
                p[0] = p[1] = p[2] = level / 3;
            }
        }
    char label[32], when[32];
    snprintf(label, sizeof label, "APISIM CH %d", channel);
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    for (int y = 160; y < 232; ++y) memset(rgb + 3 * y * kWidth, 0, 3 * kWidth);
    draw_text(rgb, 8, 166, 3, label);
    draw_text(rgb, 8, 202, 2, when);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb + 3 * cinfo.next_scanline * kWidth;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    int len = -1;
    if (size <= room) {
        memcpy(out, buffer, size);
        len = static_cast<int>(size);
    }
    free(buffer);
    return len;
}

}  // namespace apisim
