// Without libFuzzer, a fuzz target replays the inputs it is given (files, or
// every file of a folder), so the committed corpus runs as an ordinary test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

int replay_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int failures = 0, inputs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            ++failures;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            failures += replay_file(argv[i]);
            ++inputs;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        while (dirent* entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] == '.')
                continue;
            failures += replay_file(std::string(argv[i]) + "/" + entry->d_name);
            ++inputs;
        }
        if (dir)
            closedir(dir);
    }
    std::printf("replayed %d inputs\n", inputs);
    return failures || inputs == 0 ? 1 : 0;
}
