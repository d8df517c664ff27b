// Runs a fuzz target without a coverage-guided engine: every file named on
// the command line, then a fixed number of random mutations of each
// (FUZZ_ITERATIONS, default 2000; deterministic). Built when the compiler
// has no libFuzzer; the same targets link against libFuzzer otherwise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

std::string mutate(std::string s, std::mt19937& rng) {
  static const char* const kTokens[] = {"\"",
                                        "{",
                                        "}",
                                        "[",
                                        "]",
                                        ":",
                                        ",",
                                        "\\",
                                        "\n",
                                        "=",
                                        "\xff",
                                        "\xc3\xa9",
                                        "\xe2\x80\x8b",
                                        "0",
                                        "-1",
                                        "1e999",
                                        "null",
                                        "true",
                                        "[tool.plowline]"};
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < edits; ++i) {
    const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 4) {
      case 0:
        if (!s.empty() && pos < s.size()) s[pos] = static_cast<char>(rng());
        break;
      case 1:
        if (pos < s.size()) s.erase(pos, 1 + rng() % 8);
        break;
      case 2: s.insert(pos, kTokens[rng() % std::size(kTokens)]); break;
      default:
        if (!s.empty()) s.insert(pos, s.substr(rng() % s.size(), 1 + rng() % 16));
        break;
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("FUZZ_ITERATIONS");
  const long iterations = env ? std::strtol(env, nullptr, 10) : 2000;
  std::mt19937 rng(12345);
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (seeds.empty()) seeds.emplace_back();
  for (const auto& seed : seeds) run(seed);
  for (long i = 0; i < iterations; ++i) run(mutate(seeds[static_cast<size_t>(i) % seeds.size()], rng));
  std::cout << argv[0] << ": " << seeds.size() << " seeds, " << iterations << " mutations\n";
  return 0;
}
