// The simulated handset's sound images and the scenario tables of files, libraries, processes
// and key presses.
#include <gtest/gtest.h>

#include "sim/devices/sound.h"
#include "tests/harness.h"

TEST(SimSound, GeneratedSoundsParseToTheirLengthAndBrokenImagesAreNoSound) {
  const std::vector<std::uint8_t> good = sim::GenerateWav(1800);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> image;
    std::string problem;  // empty: a sound of 1800 ms
  } cases[] = {
      {"generated", good, ""},
      {"text", {'h', 'e', 'l', 'l', 'o'}, "no RIFF/WAVE header"},
      {"header only", std::vector<std::uint8_t>(good.begin(), good.begin() + 12), "no complete format chunk"},
      {"no data chunk", std::vector<std::uint8_t>(good.begin(), good.begin() + 36), "no data chunk"},
      {"data cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 1),
       "the data chunk runs past the end of the image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const sim::WavInfo info = sim::ParseWav(c.image.data(), c.image.size());
    EXPECT_EQ(info.problem, c.problem);
    if (c.problem.empty()) {
      EXPECT_EQ(info.length, 1800 * sim::kMicrosPerMs);
    }
  }
}

TEST(SimScenario, MistakesInTheNewTablesNameTheirKey) {
  struct Case {
    std::string toml;
    std::string error;
  } cases[] = {
      {"[[file]]\npath = 'a.wav'\nwav_ms = 5\ncontents = 'x'\n", "key 'file[0].path': give exactly one of"},
      {"[[file]]\npath = 'a.wav'\nhost = 'no-such-file.wav'\n", "key 'file[0].host': cannot read"},
      {"[[file]]\npath = 'a.txt'\ncontents = 'x'\nshort_read_bytes = 2\n", "key 'file[0].short_read_bytes'"},
      {"[[process]]\nname = 'a.exe'\npid = 5\n[[process]]\nname = 'b.exe'\npid = 5\n", "key 'process[1].pid'"},
      {"[[process]]\nname = 'a.exe'\n[[process.window]]\ntitle = 'A'\non_close = 'maybe'\n",
       "key 'process[0].window[0].on_close'"},
      {"[[library]]\npath = 'x.dll'\nexport = ['Entry']\n", "key 'library[0].export': unknown key"},
      {"[[timeline]]\nat_ms = 5\ndo = 'key'\n", "key 'timeline[0].vk': missing"},
      {"[processes]\nsnapshot = 'sometimes'\n", "key 'processes.snapshot'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    testing_support::RunSpec spec;
    spec.scenario = c.toml;
    spec.args = {"1"};
    const testing_support::RunResult r = testing_support::Run(spec);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
  }
}
