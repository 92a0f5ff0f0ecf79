#include "gps/position.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gps/nmea.h"
#include "tests/test_support.h"

namespace {

std::optional<GeoPosition> Parse(const std::string& text) {
  GeoPosition position{-999.0, -999.0};  // a refused text writes nothing
  if (!ParseRmcPosition(text, position.latitude, position.longitude, nullptr)) {
    EXPECT_EQ(position.latitude, -999.0);
    return std::nullopt;
  }
  return position;
}

std::string Rmc(const std::string& fields, const std::string& talker = "GP") {
  return FrameNmeaSentence(talker + "RMC," + fields);
}

// The last valid sentence of the text wins.
TEST(ParseRmcPosition, AcceptedSentencesGiveSignedDecimalDegrees) {
  const std::string munich =
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
  const std::string at_munich = Rmc("1,A,4807.038,N,01131.000,E,,,,,"),
                    melbourne = Rmc("2,A,3751.65,S,14507.36,E,,,,,");
  const std::string cut = Rmc("1,A,4807.038,N,01131.000,E,,,230394,,").substr(10);
  const double kLat = 48.1173, kLon = 11.516666667;
  const std::tuple<std::string, double, double> cases[] = {
      {munich + "\r\n", kLat, kLon}, {munich.substr(0, munich.size() - 1) + "a", kLat, kLon},
      {munich, kLat, kLon},  // the end of the text
      {"\x13\xff noise" + munich + "\r", kLat, kLon},
      {Rmc("081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E"), -37.860833333, 145.122666667},
      {Rmc("235947.000,A,0000.0600,N,00000.0600,W,0.0,0.0,010100,,"), 0.001, -0.001},
      // variation with its own E/W, then a mode
      {Rmc("1,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A"), kLat, kLon},
      {Rmc("1,A,9000.000,S,18000,W,,,,,"), -90.0, -180.0},
      {Rmc("1,A,4807.038,N,01131.000,E,,,,,", "GN"), kLat, kLon},
      {Rmc("1,A,4807.038,N,01131.000,E,,,,,", "BD"), kLat, kLon},
      {Rmc("1,A,4807.038,N,01131.000,E,,,,,", "QZ"), kLat, kLon},
      // A cut-off sentence does not swallow the next one.
      {cut + "$GPRMC,123519,A,48" + Rmc("2,A,3751.65,S,14507.36,W,,,,,"), -37.860833333, -145.122666667},
      {at_munich + melbourne + Rmc("3,V,0100.00,N,00100.00,E,,,,,") + "$GPRMC,4,A,0200.00,N,0",
       -37.860833333, 145.1226666667},
      {melbourne + at_munich, kLat, kLon},
  };
  for (const auto& [text, latitude, longitude] : cases) {
    SCOPED_TRACE(text);
    std::optional<GeoPosition> found = Parse(text);
    ASSERT_TRUE(found);
    EXPECT_NEAR(found->latitude, latitude, 1e-9);
    EXPECT_NEAR(found->longitude, longitude, 1e-9);
  }
}

TEST(ParseRmcPosition, NothingButAValidFixCounts) {
  const std::string munich =
      "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";
  const std::string rejected[] = {
      "", "\r\n\r\n", munich + "*6B\r\n", munich + "\r\n", munich + "*6", munich + "*6A \r\n",
      "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n",
      Rmc(",V,,,,,,,,,N"), Rmc("1,V,4807.038,N,01131.000,E,,,,,"),
      Rmc("1,A,4807.038,N,01131.000,E,,,,,", "PG"),  // proprietary $PGRMC
      Rmc("1,A,4807.038,N,01131.000,E,,,,,", "XX"),
      FrameNmeaSentence("GPRMCX,1,A,4807.038,N,01131.000,E,,,,,"),
      // A control byte anywhere in the body, though the checksum covers it.
      Rmc("1\t,A,4807.038,N,01131.000,E,,,,,"), Rmc("1,A,4807.038,N,01131.000,E,,,\x07,,"),
      Rmc("1,A,4807.038,N,01131.000,E,,,,\x7f,"), Rmc("1,A,4807\x01.038,N,01131.000,E,,,,,"),
  };
  for (const std::string& text : rejected) {
    EXPECT_FALSE(Parse(text)) << testing::PrintToString(text);
  }
  // Coordinates: a wrong hemisphere, a minute of 60, out of range, digits short or not digits.
  for (const char* fields : {
           "4807.038,X,01131.000,E", "4807.038,N,01131.000,", "4807.038,NN,01131.000,E",
           "4860.000,N,01131.000,E", "9100.000,N,01131.000,E", "4807.038,N,18100.000,E",
           "9000.001,S,01131.000,E", "807.038,N,01131.000,E", "4807.038,N,1131.000,E",
           "48O7.038,N,01131.000,E", "4807.0-8,N,01131.000,E", "4807;038,N,01131.000,E",
           "4807.038,N,01131 000,E"}) {
    EXPECT_FALSE(Parse(Rmc(std::string("1,A,") + fields + ",,,,,"))) << fields;
  }
  EXPECT_FALSE(Parse(Rmc("1,A,4807.038,N,01131.000,E")));  // fields missing
  EXPECT_FALSE(Parse(Rmc("1,A,4807.038,N,01131.000")));
}

// Real output of 17 receivers, each with the position an independent tool
// found in its first 9999 bytes (what one snapshot holds).
TEST(ParseRmcPosition, RealReceiverCaptures) {
  const std::string dir = NMEA_SAMPLES_DIR;
  const auto captures = ReadExpectedCaptures(dir);
  ASSERT_EQ(captures.size(), 17u);
  for (const ExpectedCapture& capture : captures) {
    SCOPED_TRACE(capture.name);
    const std::string text = ReadWholeFile(dir + "/" + capture.name + ".nmea");
    ASSERT_FALSE(text.empty());
    std::optional<GeoPosition> first = Parse(text.substr(0, 9999));
    ASSERT_EQ(first.has_value(), capture.latitude.has_value());
    if (first) {
      EXPECT_NEAR(first->latitude, *capture.latitude, 5e-9);
      EXPECT_NEAR(first->longitude, *capture.longitude, 5e-9);
    }
  }
}

}  // namespace
