// Replays fuzz inputs through a target without libFuzzer: every file named,
// and every file in every directory named (in name order). The library's own
// output goes to /dev/null; a broken promise aborts with its report.
//   replay_<target> [--list] [-v] path...
// Large-file calls: a 32-bit build must read directories with 64-bit inodes.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;  // a target without regressions yet
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) collect(path + "/" + n, files);
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            for (const char* const* n = fuzz_names(); *n; ++n) printf("%s\n", *n);
            return 0;
        }
        if (arg == "-v") verbose = fuzz_verbose = true;
        else collect(arg, files);
    }
    fuzz_diag_fd = dup(2);
    if (!verbose) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    for (const std::string& f : files) {
        FILE* in = fopen(f.c_str(), "rb");
        if (!in) continue;
        std::vector<uint8_t> data;
        uint8_t chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, in)) > 0;) data.insert(data.end(), chunk, chunk + n);
        fclose(in);
        if (verbose) dprintf(fuzz_diag_fd, "%s\n", f.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    dprintf(fuzz_diag_fd, "replayed %zu inputs, no finding\n", files.size());
    return files.empty() ? 1 : 0;  // a corpus that is not there replays nothing
}
