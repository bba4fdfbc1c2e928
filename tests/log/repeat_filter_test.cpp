#include "log/repeat_filter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/cp1251.h"

namespace notavero {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Time points of a fake clock, from an arbitrary start.
LogRepeatFilter::Clock::time_point At(LogRepeatFilter::Clock::duration since_start) {
  return LogRepeatFilter::Clock::time_point(std::chrono::hours(1000)) + since_start;
}

const std::string kError = Cp1251(u8"Ошибка в потоке: Ошибка кассы: ").str();

std::string Repeated(const std::string& line, int count) {
  return line + Cp1251(u8" (повторов: ").str() + std::to_string(count) + ")";
}

TEST(LogRepeatFilterTest, RepeatsAreHeldBackAndWrittenOnceAMinuteWithTheirCount) {
  LogRepeatFilter filter;
  EXPECT_THAT(filter.Filter(kError, At(seconds(0))), ElementsAre(kError));
  // An error on every poll for a minute: 599 repeats held back.
  for (int i = 1; i < 600; ++i) {
    EXPECT_THAT(filter.Filter(kError, At(milliseconds(100 * i))), IsEmpty()) << i;
  }
  EXPECT_EQ(filter.HeldBack(), 599U);
  EXPECT_THAT(filter.Filter(kError, At(seconds(60))), ElementsAre(Repeated(kError, 599)));
  EXPECT_EQ(filter.HeldBack(), 0U);

  // The minute counts from the last written line, to the millisecond.
  EXPECT_THAT(filter.Filter(kError, At(seconds(61))), IsEmpty());
  EXPECT_THAT(filter.Filter(kError, At(milliseconds(119999))), IsEmpty());
  EXPECT_THAT(filter.Filter(kError, At(seconds(120))), ElementsAre(Repeated(kError, 2)));
  // A repeat after a quiet minute has nothing held back: the plain line.
  EXPECT_THAT(filter.Filter(kError, At(seconds(200))), ElementsAre(kError));
}

TEST(LogRepeatFilterTest, ADifferentLineBringsOutThePreviousCountFirst) {
  LogRepeatFilter filter;
  EXPECT_THAT(filter.Filter("A", At(seconds(0))), ElementsAre("A"));
  EXPECT_THAT(filter.Filter("A", At(seconds(1))), IsEmpty());
  EXPECT_THAT(filter.Filter("A", At(seconds(2))), IsEmpty());
  EXPECT_THAT(filter.Filter("B", At(seconds(3))), ElementsAre(Repeated("A", 2), "B"));
  // B was not repeated: A alone, written as new although it was seen a
  // moment ago.
  EXPECT_THAT(filter.Filter("A", At(seconds(4))), ElementsAre("A"));
  EXPECT_THAT(filter.Filter("A", At(seconds(5))), IsEmpty());
  // The empty line is a line like any other, and so are lines that differ
  // only in case.
  EXPECT_THAT(filter.Filter("", At(seconds(6))), ElementsAre(Repeated("A", 1), ""));
  EXPECT_THAT(filter.Filter("", At(seconds(7))), IsEmpty());
  EXPECT_THAT(filter.Filter("a", At(seconds(8))), ElementsAre(Repeated("", 1), "a"));
}

TEST(LogRepeatFilterTest, FlushBringsOutTheCountAndForgetsTheLine) {
  LogRepeatFilter filter;
  EXPECT_THAT(filter.Flush(), IsEmpty());
  EXPECT_THAT(filter.Filter(kError, At(seconds(0))), ElementsAre(kError));
  EXPECT_THAT(filter.Flush(), IsEmpty()) << "nothing was held back";
  EXPECT_THAT(filter.Filter(kError, At(seconds(1))), ElementsAre(kError)) << "forgotten: written as new";
  EXPECT_THAT(filter.Filter(kError, At(seconds(2))), IsEmpty());
  EXPECT_THAT(filter.Filter(kError, At(seconds(3))), IsEmpty());
  EXPECT_THAT(filter.Flush(), ElementsAre(Repeated(kError, 2)));
  EXPECT_THAT(filter.Flush(), IsEmpty());
  EXPECT_THAT(filter.Filter(kError, At(seconds(4))), ElementsAre(kError));
}

TEST(LogRepeatFilterTest, IntervalIsSettableAndTheCountIsWindows1251Bytes) {
  LogRepeatFilter filter(seconds(5));
  EXPECT_THAT(filter.Filter("x", At(seconds(0))), ElementsAre("x"));
  EXPECT_THAT(filter.Filter("x", At(seconds(4))), IsEmpty());
  const std::string expected = "x (\xEF\xEE\xE2\xF2\xEE\xF0\xEE\xE2: 1)";  // "повторов"
  EXPECT_THAT(filter.Filter("x", At(seconds(5))), ElementsAre(expected));
}

}  // namespace
}  // namespace notavero
