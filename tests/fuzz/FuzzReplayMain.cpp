// Outside a fuzzing build each fuzz target is this program: it runs the target once on every file
// named, or in a folder named, on its command line (the seed corpus) and fails when there is none.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

namespace {

std::vector<std::filesystem::path> Inputs(int argc, char** argv) {
  std::vector<std::filesystem::path> Files;
  for (int I = 1; I < argc; ++I) {
    const std::filesystem::path Path = argv[I];
    if (!std::filesystem::is_directory(Path)) {
      Files.push_back(Path);
      continue;
    }
    for (const auto& Entry : std::filesystem::directory_iterator(Path))
      if (Entry.is_regular_file()) Files.push_back(Entry.path());
  }
  return Files;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::filesystem::path> Files = Inputs(argc, argv);
  for (const std::filesystem::path& File : Files) {
    std::ifstream In(File, std::ios::binary);
    if (!In) {
      std::fprintf(stderr, "cannot read %s\n", File.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> Bytes{std::istreambuf_iterator<char>(In), {}};
    LLVMFuzzerTestOneInput(Bytes.data(), Bytes.size());
  }
  std::printf("%zu inputs run\n", Files.size());
  return Files.empty() ? 1 : 0;
}
