#include "gps/position.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "gps/nmea.h"
#include "tests/test_support.h"

namespace {

// The text as the run would send it: "goto %g %g 12".
std::string GotoText(double latitude, double longitude) {
  char text[64];
  snprintf(text, sizeof text, "goto %g %g 12", latitude, longitude);
  return text;
}

struct Found {
  bool found;
  double latitude;
  double longitude;
};

Found Parse(const std::string& text) {
  // Sentinels show whether the outputs were written.
  Found result{false, -999.0, -999.0};
  result.found = ParseRmcPosition(text, result.latitude, result.longitude);
  return result;
}

TEST(Nmea, ChecksumOfKnownSentences) {
  EXPECT_EQ(NmeaChecksum("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,"
                         "230394,003.1,W"),
            0x6A);
  EXPECT_EQ(NmeaChecksum("GPRMC,,V,,,,,,,,,,N"), 0x53);
  EXPECT_EQ(FrameNmeaSentence("GPRMC,,V,,,,,,,,,,N"),
            "$GPRMC,,V,,,,,,,,,,N*53\r\n");
}

TEST(ParseRmcPosition, WorkedExamplesGiveSignedDecimalDegrees) {
  Found munich = Parse(
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
  ASSERT_TRUE(munich.found);
  EXPECT_NEAR(munich.latitude, 48.1173, 1e-9);
  EXPECT_NEAR(munich.longitude, 11.516666667, 1e-9);
  EXPECT_EQ(GotoText(munich.latitude, munich.longitude),
            "goto 48.1173 11.5167 12");

  Found melbourne = Parse(
      "$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E*62\r\n");
  ASSERT_TRUE(melbourne.found);
  EXPECT_EQ(GotoText(melbourne.latitude, melbourne.longitude),
            "goto -37.8608 145.123 12");

  Found greenwich = Parse(
      "$GPRMC,235947.000,A,0000.0600,N,00000.0600,W,0.0,0.0,010100,,*1F\r\n");
  ASSERT_TRUE(greenwich.found);
  EXPECT_EQ(GotoText(greenwich.latitude, greenwich.longitude),
            "goto 0.001 -0.001 12");
}

TEST(ParseRmcPosition, FieldsAfterTheLongitudeLeaveItAlone) {
  // Magnetic variation with its own E/W, then a mode indicator.
  Found mode = Parse(
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*07");
  ASSERT_TRUE(mode.found);
  EXPECT_NEAR(mode.longitude, 11.516666667, 1e-9);
  EXPECT_NEAR(mode.latitude, 48.1173, 1e-9);
}

TEST(ParseRmcPosition, NothingButAValidGprmcFixCounts) {
  const std::string good_body =
      "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";
  const char* rejected[] = {
      "",
      "\r\n\r\n",
      // the same sentence with a checksum that does not match
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*6A",
      // no checksum, or a cut-off one
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W\r\n",
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6",
      // something after the checksum on the same line
      ("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A "
       "\r\n"),
      "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n",
  };
  for (const char* text : rejected) {
    EXPECT_FALSE(Parse(text).found) << text;
  }
  const std::string bodies[] = {
      "GPRMC,,V,,,,,,,,,,N",                                    // no fix
      "GPRMC,123519,V,4807.038,N,01131.000,E,,,230394,,",       // stale fix
      "GNRMC,123519,A,4807.038,N,01131.000,E,,,230394,,",       // other talker
      "GPRMCX,123519,A,4807.038,N,01131.000,E,,,230394,,",
      "GPRMC,123519,A,4807.038,X,01131.000,E,,,230394,,",       // hemisphere
      "GPRMC,123519,A,4807.038,N,01131.000,,,,230394,,",
      "GPRMC,123519,A,4807.038,NN,01131.000,E,,,230394,,",
      "GPRMC,123519,A,4860.000,N,01131.000,E,,,230394,,",       // minutes 60
      "GPRMC,123519,A,9100.000,N,01131.000,E,,,230394,,",       // beyond 90
      "GPRMC,123519,A,4807.038,N,18100.000,E,,,230394,,",       // beyond 180
      "GPRMC,123519,A,9000.001,S,01131.000,E,,,230394,,",
      "GPRMC,123519,A,807.038,N,01131.000,E,,,230394,,",        // digits
      "GPRMC,123519,A,4807.038,N,1131.000,E,,,230394,,",
      "GPRMC,123519,A,36000.0000,N,72000.0000,E,,,230394,,",
      "GPRMC,123519,A,48O7.038,N,01131.000,E,,,230394,,",       // letter O
      "GPRMC,123519,A,4807.0-8,N,01131.000,E,,,230394,,",
      "GPRMC,123519,A,-4807.038,N,01131.000,E,,,230394,,",
      "GPRMC,123519,A,4807.038,N,01131.000,E",                  // cut short
      "GPRMC,123519,A,4807.038,N,01131.000",
      "GPRMC,123519,A,4807\x01.038,N,01131.000,E,,,230394,,",   // noise byte
  };
  for (const std::string& body : bodies) {
    EXPECT_FALSE(Parse(FrameNmeaSentence(body)).found) << body;
  }
  ASSERT_TRUE(Parse(FrameNmeaSentence(good_body)).found);
}

TEST(ParseRmcPosition, OutputsAreUntouchedWhenNothingIsFound) {
  double latitude = 1.5, longitude = 2.5;
  EXPECT_FALSE(ParseRmcPosition("$GPRMC,,V,,,,,,,,,,N*53\r\n", latitude,
                                longitude));
  EXPECT_EQ(latitude, 1.5);
  EXPECT_EQ(longitude, 2.5);
}

TEST(ParseRmcPosition, FramingAndNoise) {
  const std::string first =
      FrameNmeaSentence("GPRMC,1,A,4807.038,N,01131.000,E,,,230394,,");
  const std::string second =
      FrameNmeaSentence("GPRMC,2,A,3751.65,S,14507.36,W,,,130998,,");
  // Noise before the "$" of a line is ignored; a lowercase checksum and a
  // line ending in a bare CR or LF, or in the end of the text, are fine.
  EXPECT_TRUE(Parse("\x13\xff garbage" + first).found);
  EXPECT_TRUE(Parse("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,"
                    "230394,003.1,W*6a\r\n")
                  .found);
  EXPECT_TRUE(Parse(first.substr(0, first.size() - 2)).found);
  EXPECT_TRUE(Parse(first.substr(0, first.size() - 2) + "\r" +
                    second.substr(0, second.size() - 2) + "\n")
                  .found);

  // A sentence cut off by the start of the snapshot or by another one
  // affects nothing, and does not swallow the next sentence.
  Found cut = Parse(first.substr(10) + "$GPRMC,123519,A,48" + second);
  ASSERT_TRUE(cut.found);
  EXPECT_NEAR(cut.latitude, -37.8608333, 1e-6);
  EXPECT_NEAR(cut.longitude, -145.1226667, 1e-6);
}

TEST(ParseRmcPosition, TheLastValidSentenceWins) {
  const std::string a = FrameNmeaSentence("GPRMC,1,A,4807.038,N,01131.000,E,,,230394,,");
  const std::string b = FrameNmeaSentence("GPRMC,2,A,3751.65,S,14507.36,E,,,130998,,");
  const std::string no_fix = FrameNmeaSentence("GPRMC,3,V,0100.00,N,00100.00,E,,,,,");
  Found found = Parse(a + b + no_fix + "$GPRMC,4,A,0200.00,N,0");
  ASSERT_TRUE(found.found);
  EXPECT_NEAR(found.latitude, -37.8608333, 1e-6);
  found = Parse(b + a);
  EXPECT_NEAR(found.latitude, 48.1173, 1e-9);
}

// Real output of 17 receivers, each with the position an independent tool
// found in its first 9999 bytes (what one snapshot holds) and in the whole.
TEST(ParseRmcPosition, RealReceiverCaptures) {
  const std::string dir = SharedNmeaDir();
  if (dir.empty()) {
    GTEST_SKIP() << "NOTICE: ../shared/nmea is absent; the receiver captures "
                    "are not checked";
  }
  const auto captures = ReadExpectedCaptures(dir);
  ASSERT_EQ(captures.size(), 17u);
  for (const ExpectedCapture& capture : captures) {
    SCOPED_TRACE(capture.name);
    const std::string text = ReadWholeFile(dir + "/" + capture.name + ".nmea");
    ASSERT_FALSE(text.empty());
    Found first = Parse(text.substr(0, 9999));
    ASSERT_EQ(first.found, capture.latitude.has_value());
    if (first.found) {
      EXPECT_NEAR(first.latitude, *capture.latitude, 5e-9);
      EXPECT_NEAR(first.longitude, *capture.longitude, 5e-9);
      EXPECT_EQ(GotoText(first.latitude, first.longitude), capture.goto_first);
    }
    Found whole = Parse(text);
    ASSERT_EQ(whole.found, capture.latitude_whole.has_value());
    if (whole.found) {
      EXPECT_NEAR(whole.latitude, *capture.latitude_whole, 5e-9);
      EXPECT_NEAR(whole.longitude, *capture.longitude_whole, 5e-9);
    }
  }
}

}  // namespace
