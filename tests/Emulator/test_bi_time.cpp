/* Time and system-property built-ins: conversions under fixed time zones (set in children, as
 * the zone is process state), the clock against time(), and properties set and read back. */
#include <ctime>

#include "system_fixture.h"

namespace {

class BiTime : public SystemTest {};

/* Runs goals under the time zone tz in a child; answers R of each, space-separated. */
std::string in_zone(const char *tz, std::initializer_list<const char *> goals)
{
  forked_child child = run_forked([&] {
    setenv("TZ", tz, 1);
    tzset();
    SystemTest e;
    std::string report;
    for (const char *g : goals) report += (report.empty() ? "" : " ") + e.result(g);
    return report;
  });
  return child.exited(0) ? child.report : "<child died> " + child.err;
}

}  // namespace

TEST(BiTimeZones, MktimeNormalisesAndDatimeBreaksDownUnderTheZone)
{
  EXPECT_EQ(
      in_zone("UTC", {"'$mktime'(2024, 2, 30, 0, 0, 0, R)",
                      "'$datime'(0, Y, Mo, D, H, Mi, S), R = [Y, Mo, D, H, Mi, S]",
                      "'$mktime'(1970, 1, 1, 0, 0, 0, R)",
                      "'$datime'(1709251199, Y, Mo, D, H, Mi, S), R = [Y, Mo, D, H, Mi, S]",
                      "'$datime'(-1, Y, Mo, D, H, Mi, S), R = [Y, Mo, D, H, Mi, S]",
                      "'$mktime'(2038, 1, 19, 3, 14, 7, R)", "'$mktime'(2038, 1, 19, 3, 14, 8, R)",
                      "'$mktime'(2100, 1, 1, 0, 0, 0, R)", "'$mktime'(1969, 12, 31, 23, 59, 59, R)",
                      "'$datime'(2147483648, Y, Mo, D, H, Mi, S), R = [Y, Mo, D, H, Mi, S]"}),
      "1709251200 [1970,1,1,0,0,0] 0 [2024,2,29,23,59,59] [1969,12,31,23,59,59] "
      "2147483647 2147483648 4102444800 -1 [2038,1,19,3,14,8]")
      << "times are 64-bit, and -1 is a time like any other";
  /* Shifted by the zone: 0 is 09:00 in Tokyo, and 1 March 00:00 there is 15:00 UTC before. */
  EXPECT_EQ(in_zone("JST-9", {"'$datime'(0, Y, Mo, D, H, Mi, S), R = [Y, Mo, D, H, Mi, S]",
                              "'$mktime'(2024, 3, 1, 0, 0, 0, R)"}),
            "[1970,1,1,9,0,0] 1709218800");
}

TEST_F(BiTime, ArgumentsOutsideTheRangesFail)
{
  EXPECT_EQ(result("'$mktime'(a, 1, 1, 0, 0, 0, R)"), "<failed>");
  EXPECT_EQ(result("'$mktime'(2000, 1, 1, 0, 0, _, R)"), "<failed>");
  EXPECT_EQ(result("'$datime'(18446744073709551616, _, _, _, _, _, _)"), "<failed>");
  EXPECT_EQ(result("'$datime'(4611686018427387904, _, _, _, _, _, _)"), "<failed>")
      << "a year beyond the broken-down time's range";
  EXPECT_EQ(result("'$datime'(foo, _, _, _, _, _, _)"), "<failed>");
  EXPECT_EQ(result("'$datime'(0, 1969, _, _, _, _, _)"), "<failed>") << "a field that differs";
}

TEST_F(BiTime, TimeAndDatimeFollowTheClock)
{
  time_t before = time(nullptr);
  ASSERT_EQ(run("'$time'(T), '$datime'(Y, Mo, D, H, Mi, S), '$datime'(T, Y1, Mo1, D1, H1, Mi1, _)"),
            1);
  time_t after = time(nullptr);
  int64_t t = std::stoll(v("T"));
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  EXPECT_EQ(v("Y") + v("Mo") + v("D"), v("Y1") + v("Mo1") + v("D1"))
      << "the same day unless the test ran across midnight";
  int sec = std::stoi(v("S"));
  EXPECT_TRUE(sec >= 0 && sec <= 60);
}

TEST_F(BiTime, PropertiesSetAndGetFromEachSource)
{
  ASSERT_EQ(run("'$set_system_property'('QX_TEST_PROP', 'v 1')"), 1);
  EXPECT_EQ(result("'$get_system_property'('QX_TEST_PROP', properties, R)"), "v 1");
  EXPECT_EQ(result("'$get_system_property'('QX_TEST_PROP', merged, R)"), "v 1");
  EXPECT_EQ(result("'$get_system_property'('QX_TEST_PROP', environment, R)"), "<failed>");
  EXPECT_EQ(result("'$get_system_property'(foo, bar, R)"), "<failed>");
  EXPECT_EQ(result("'$get_system_property'(1, merged, R)"), "<failed>");
  EXPECT_EQ(result("'$get_system_property'('QX_TEST_PROP', merged, other)"), "<failed>");
  char *temp = nullptr;
  ASSERT_EQ(qxio_temp_directory(&temp, 0), 0);
  EXPECT_EQ(result("'$get_system_property'('QX_TEMP_DIR', properties, R)"), temp);
  qxio_free(temp);
  EXPECT_EQ(run("'$set_system_property'(a, 1)"), 0);
  /* The set property is in the list of properties and of the merged view, not in the
   * environment's. */
  for (const char *source : {"properties", "merged", "environment"})
    EXPECT_EQ(result(std::string("'$get_system_properties'(") + source +
                     ", L), (member('QX_TEST_PROP' = V, L) -> R = V ; R = none)"),
              std::string(source) == "environment" ? "none" : "v 1")
        << source;
  EXPECT_EQ(result("'$get_system_properties'(environment, L), member('HOME' = R, L)"),
            getenv("HOME"));
  EXPECT_EQ(result("'$get_system_properties'(other, R)"), "<failed>");
}
