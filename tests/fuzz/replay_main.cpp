// Replays a fuzz target's corpus without libFuzzer: every file in the
// directories (or files) named on the command line is one input.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replayFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    std::vector<uint8_t> bytes;
    int c;
    while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    // An exact-size copy, so an over-read trips the sanitizers.
    auto* exact = new uint8_t[bytes.size() ? bytes.size() : 1];
    std::copy(bytes.begin(), bytes.end(), exact);
    LLVMFuzzerTestOneInput(exact, bytes.size());
    delete[] exact;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        if (!dir) {
            replayed += replayFile(argv[i]);
            continue;
        }
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            replayed += replayFile(std::string(argv[i]) + "/" + entry->d_name);
        }
        closedir(dir);
    }
    // A target that aborts never gets here: the summary line is the proof.
    // The whole corpus counts as one test.
    std::printf("replayed %d inputs\n%d passed, %d failed\n", replayed, replayed > 0, replayed == 0);
    return replayed > 0 ? 0 : 1;
}
