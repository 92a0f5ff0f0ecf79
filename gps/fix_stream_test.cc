#include "gps/fix_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gps/nmea.h"
#include "tests/test_support.h"

namespace {

// A recording read to its end: the latitudes of the fixes handed out.
std::vector<double> Fixes(const std::string& text) {
  TempDir dir;
  const std::string path = dir.File("log");
  WriteWholeFile(path, text);
  FixStream stream(path.c_str(), 0, 0, false);
  EXPECT_EQ(stream.kind(), SourceKind::kRecording);
  EXPECT_TRUE(stream.Open());
  std::vector<double> latitudes;
  StreamFix fix;
  StreamEvent event;
  while ((event = stream.Next(fix)) == StreamEvent::kFix) latitudes.push_back(fix.latitude);
  EXPECT_EQ(event, StreamEvent::kEnded);
  return latitudes;
}

TEST(FixStream, ANewFixIsAValidRmcWithANewTime) {
  const std::string at1 = FrameNmeaSentence("GPRMC,120001,A,4801.000,N,01131.000,E,,,230394,,"),
                    at2 = FrameNmeaSentence("GNRMC,120002,A,4802.000,S,01131.000,E,,,230394,,"),
                    no_fix = FrameNmeaSentence("GPRMC,120003,V,4803.000,N,01131.000,E,,,230394,,"),
                    no_time = FrameNmeaSentence("GPRMC,,A,4804.000,N,01131.000,E,,,230394,,");
  const std::pair<std::string, std::vector<double>> cases[] = {
      {at1 + at1 + at2 + at2, {48 + 1 / 60.0, -48 - 2 / 60.0}},
      {at1 + no_fix + at1, {48 + 1 / 60.0}},
      // Without a time, a fix cannot be told from the last: each counts.
      {no_time + no_time, {48 + 4 / 60.0, 48 + 4 / 60.0}},
      // A line longer than any sentence is noise; the fix after it counts.
      {std::string(40000, 'x') + at1, {48 + 1 / 60.0}},
      {at1.substr(0, at1.size() - 2), {}},  // no line end: never complete
      {"", {}},
  };
  for (const auto& [text, latitudes] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    const std::vector<double> found = Fixes(text);
    ASSERT_EQ(found.size(), latitudes.size());
    for (size_t i = 0; i < found.size(); ++i) EXPECT_NEAR(found[i], latitudes[i], 1e-9);
  }
}

}  // namespace
